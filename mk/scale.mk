# Scale: the framework churn run (ten thousand passes on a test clock, a few
# seconds) and the built service against 10, 100 and 1,000 network interfaces
# and a 100,000-file tree, in namespaces of its own (about two minutes; skips
# with the reason when namespaces cannot be made). Writes the scale section of
# docs/performance.md.
SCALE_SECONDS ?= 15
SCALE_FILES ?= 100000

.PHONY: scale
scale: build
	./build/bin/tests_scale
	python3 tests/scale/scale.py --tallywick $(CURDIR)/build/bin/tallywick --seconds $(SCALE_SECONDS) \
	  --files $(SCALE_FILES) --out $(CURDIR)/docs/performance.md

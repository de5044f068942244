# libFuzzer runs of the /proc parsers and the configuration loader (fuzz/).
# Each target runs FUZZ_SECONDS (default 600) on a corpus in
# build-fuzz/corpus/<target>, seeded from the fixture trees under
# tests/fixtures/proc, or for config from examples/ and fuzz/seeds/config/.
# Crash, timeout and slow-unit files are written to build-fuzz/, not beside
# the fixtures the runs start in.
FUZZ_SECONDS ?= 600
FUZZ_TARGETS ?= meminfo stat cpuinfo loadavg diskstats netdev pidstat pidstatm cmdline config

.PHONY: fuzz fuzz-build
fuzz-build:
	@command -v clang++ >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends clang libclang-rt-14-dev
	CXX=clang++ cmake -S fuzz -B build-fuzz
	cmake --build build-fuzz -j $(JOBS)

fuzz: fuzz-build
	@set -e; cd tests/fixtures/proc; for t in $(FUZZ_TARGETS); do \
	  flags=; case $$t in netdev) seeds="*/net/dev";; pid*) seeds="*/[0-9]*/$${t#pid}";; \
	    cmdline) seeds="*/[0-9]*/cmdline";; \
	    config) seeds="../../../examples/*.xml ../../../fuzz/seeds/config/*"; flags=-max_len=65536;; \
	    *) seeds="*/$$t";; esac; \
	  corpus=../../../build-fuzz/corpus/$$t; mkdir -p $$corpus; \
	  for f in $$seeds; do [ -f "$$f" ] && cp "$$f" "$$corpus/seed-$$(echo $${f#../../../} | tr / _)"; done; \
	  echo "fuzz_$$t: $(FUZZ_SECONDS) s"; \
	  ../../../build-fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -artifact_prefix=../../../build-fuzz/ $$flags $$corpus \
	    > ../../../build-fuzz/fuzz_$$t.log 2>&1 || { tail -n 40 ../../../build-fuzz/fuzz_$$t.log; exit 1; }; \
	  grep -E "^#[0-9]+.*DONE|stat::number_of_executed_units|stat::peak_rss" ../../../build-fuzz/fuzz_$$t.log; \
	  echo "corpus: $$(ls $$corpus | wc -l) files"; \
	done

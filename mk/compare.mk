# Cost comparison against established collectors (sysstat's sadc, collectd,
# prometheus-node-exporter), installed from Debian. Long: about
# RUNS x (DURATION + 5) seconds, every collector running at once.
COMPARE_PKGS := sysstat collectd-core prometheus-node-exporter strace
DURATION ?= 60
RUNS ?= 3

.PHONY: compare
compare: build
	@missing=""; for p in $(COMPARE_PKGS); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  DEBIAN_FRONTEND=noninteractive apt-get update && \
	  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing; \
	fi
	python3 tests/scale/comparePassFiles_test.py
	python3 bench/compare/compare.py --duration $(DURATION) --runs $(RUNS) --out docs/performance.md

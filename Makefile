# tallywick: thin wrapper around CMake. Every target first makes sure the Debian
# packages the build and the tests need are installed (`make deps`).

PKGS := g++ cmake make pkg-config libboost-dev libboost-regex-dev libsqlite3-dev sqlite3 \
        libpugixml-dev libgtest-dev libgmock-dev libbenchmark-dev python3 python3-prometheus-client procps util-linux
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE_FLAGS ?=
CTEST_FLAGS ?= --output-on-failure

.PHONY: all deps build test run sanitize tsan bench clean

all: build

deps:
	@missing=""; for p in $(PKGS); do \
	  dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  if [ "$$(id -u)" = 0 ]; then \
	    echo "Installing:$$missing"; \
	    DEBIAN_FRONTEND=noninteractive apt-get update && \
	    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $$missing; \
	  else \
	    echo "Missing packages. Run as root:"; \
	    echo "  apt-get update && apt-get install -y --no-install-recommends$$missing"; \
	    exit 1; \
	  fi; \
	fi

build/CMakeCache.txt: | deps
	cmake -S . -B build $(CMAKE_FLAGS)

build: deps build/CMakeCache.txt
	cmake --build build -j $(JOBS)

test: build
	cd build && ctest $(CTEST_FLAGS) -j $(JOBS)

# The example keeps everything under ./var and logs to the terminal.
run: build
	mkdir -p var
	./build/bin/tallywick examples/tallywick.xml

build-asan/CMakeCache.txt: | deps
	cmake -S . -B build-asan -DTW_SANITIZE=address $(CMAKE_FLAGS)

sanitize: deps build-asan/CMakeCache.txt
	cmake --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest $(CTEST_FLAGS) -j $(JOBS)

build-tsan/CMakeCache.txt: | deps
	cmake -S . -B build-tsan -DTW_SANITIZE=thread $(CMAKE_FLAGS)

# TSan: the unit tests (every multi-threaded one among them).
tsan: deps build-tsan/CMakeCache.txt
	cmake --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 ctest $(CTEST_FLAGS) -j $(JOBS) -L unit

bench: build
	@for b in build/bin/bench_*; do [ -x "$$b" ] && "$$b"; done

# Further targets (packaging, fuzzing, comparisons) live in mk/*.mk.
-include mk/*.mk

clean:
	rm -rf build build-asan build-tsan

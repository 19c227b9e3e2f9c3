# Quick start:
#   make demo   build the quorstore tool and run it on the built-in sample image
#   make test   build everything and run every test
#
# On a fresh Debian machine, run as root, the targets install the packages
# they need first (scripts/install-deps.sh).

BUILD_DIR ?= build
BUILD_TYPE ?= RelWithDebInfo
CXX ?= g++
JOBS ?= $(shell nproc)
CMAKE_ARGS ?=
# Ninja when it is there, else make; the scripts' cmake calls inherit it.
export CMAKE_GENERATOR ?= $(if $(shell command -v ninja 2>/dev/null),Ninja,Unix Makefiles)

.PHONY: all deps configure build test test-asan demo bench fuzz fuzz-smoke coverage tidy memcheck clean \
        powercut-long soak

all: build

deps:
	@scripts/install-deps.sh

configure: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
	      -DCMAKE_CXX_COMPILER=$(CXX) $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD_DIR) -j $(JOBS)

# The power-cut tests print "power cuts: <workload>: <N> cut points"; the
# sum over the last ctest run.
# A workload run twice (the EFS tests also run with table CRCs) counts once.
POWERCUT_TOTAL = awk '/^power cuts: .*: [0-9]+ cut points$$/ && !seen[$$0]++ { n += $$(NF-2); t += 1 } \
	END { printf "power cuts: %d cut points over %d workloads\n", n, t }' \
	$(BUILD_DIR)/Testing/Temporary/LastTest.log

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure -j $(JOBS)
	@$(POWERCUT_TOTAL)

# Every power-cut test at every cut of every operation (every offset, torn
# byte and erase shape); prints each workload's count and the total.
powercut-long: build
	cd $(BUILD_DIR) && QUOR_POWERCUT=long ctest -R 'PowerCut|power_cut' -j $(JOBS) \
	    --output-on-failure --timeout 14400; status=$$?; \
	    grep -h '^power cuts:\|^  by policy:' Testing/Temporary/LastTest.log; exit $$status
	@$(POWERCUT_TOTAL)

# The randomized model tests of AFS, EFS and the FCS with remounts and power
# cuts, for SOAK_SECONDS per file system; reports operations, remounts, cuts
# and mismatches. SOAK_SEED=<n> draws another sequence of operations and
# cuts; a failure in round i replays with QUOR_SOAK_ROUNDS=i+1 (same seed).
SOAK_SECONDS ?= 60
SOAK_SEED ?=
soak: build
	cd $(BUILD_DIR) && QUOR_SOAK_SECONDS=$(SOAK_SECONDS) \
	    $(if $(SOAK_SEED),QUOR_POWERCUT_SEED=$(SOAK_SEED)) ./test_interface \
	    --gtest_filter='Soak*' --gtest_also_run_disabled_tests

# The whole suite under AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan:
	$(MAKE) test BUILD_DIR=build-asan BUILD_TYPE=Debug CXX=clang++ \
	    CMAKE_ARGS="-DQUOR_SANITIZE=ON -DQUOR_BUILD_BENCH=OFF $(CMAKE_ARGS)"

# Builds only the tool the demo runs, not the tests and benchmarks; renders
# the flash map in headless Chromium when it is installed.
demo: configure
	cmake --build $(BUILD_DIR) -j $(JOBS) --target quorstore
	QUOR_DEMO_BROWSER=1 scripts/demo.sh $(BUILD_DIR)/tools/quorstore/quorstore

# Every benchmark program BENCH_REPETITIONS times, then one table of the
# medians (time, MB/s, share of memcpy, goals); results in $(BUILD_DIR)/bench-results.
BENCH_REPETITIONS ?= 5
BENCH_MIN_TIME ?= 0.2
bench: build
	@scripts/bench.sh $(BUILD_DIR) $(BENCH_REPETITIONS) $(BENCH_MIN_TIME)

# libFuzzer targets under ASan + UBSan, FUZZ_SECONDS per target.
FUZZ_SECONDS ?= 60
fuzz: deps
	scripts/fuzz.sh $(FUZZ_SECONDS)

# Every fuzz target for a short fixed time (CI).
fuzz-smoke: deps
	scripts/fuzz-smoke.sh

# Line and branch coverage of storage/ (clang source-based coverage).
coverage: export QUOR_QUALITY_TOOLS = 1
coverage: deps
	scripts/coverage.sh build-cov

# clang-tidy over storage/ with the checks of .clang-tidy; fails on any finding.
tidy: export QUOR_QUALITY_TOOLS = 1
tidy: build
	scripts/tidy.sh $(BUILD_DIR)

# Every test program under valgrind memcheck (memory errors, uninitialised
# reads, leaks).
memcheck: export QUOR_QUALITY_TOOLS = 1
memcheck: deps
	scripts/memcheck.sh build-memcheck

clean:
	rm -rf build build-asan build-clang build-fuzz build-cov build-memcheck

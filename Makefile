# Drives CMake. `make test` and `make demo` work on a fresh Debian 12
# machine: missing Debian packages are installed first, for the demo only
# those that building needs.
BUILD       ?= build
DEMO_BUILD  ?= build-demo
ASAN_BUILD  ?= build-asan
BENCH_BUILD ?= build-bench
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)

# The legs of `make test`, in order. Each is a target that runs its suite
# with `ctest ... $(JUNIT)`, which leaves its results in $(RESULTS)/LEG.xml;
# `make test` runs every leg even when one fails and ends with one summary.
TEST_LEGS = test-sanitized test-native test-fuzz test-wine test-vm
RESULTS   ?= build-results
JUNIT      = --output-junit $(abspath $(RESULTS))/$@.xml
# Run first in every leg, so that a leg that fails early leaves no stale report.
LEG_START  = @mkdir -p $(RESULTS) && rm -f $(RESULTS)/$@.xml

.PHONY: all deps deps-build build test test-native test-sanitized demo bench clean

all: build

deps:
	@bash scripts/install-deps.sh

# What building the programs and the simulated device needs, and no more.
deps-build:
	@bash scripts/install-deps.sh build

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

test-native: build
	$(LEG_START)
	ctest --test-dir $(BUILD) --output-on-failure $(JUNIT)

# The same suite with AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitized: deps
	$(LEG_START)
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DPELKRON_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure $(JUNIT)

# The Windows programs, cross-built with MinGW-w64 for 64-bit and 32-bit
# Windows, run under Wine against the same simulated device. The suite has a
# build folder of its own, so that test-native never runs it a second time.
WIN_BUILD   ?= build-win
WIN32_BUILD ?= build-win32
WINE_BUILD  ?= build-wine
DIST        ?= dist

.PHONY: windows-builds test-wine windows-zips
windows-builds: deps
	cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release
	cmake --build $(WIN_BUILD) -j $(JOBS)
	cmake -S . -B $(WIN32_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake -DCMAKE_BUILD_TYPE=Release
	cmake --build $(WIN32_BUILD) -j $(JOBS)

test-wine: deps
	$(LEG_START)
	$(MAKE) --no-print-directory windows-builds
	cmake -S . -B $(WINE_BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELKRON_WINE_EXE_DIR=$(abspath $(WIN_BUILD)) \
	  -DPELKRON_WINE32_EXE_DIR=$(abspath $(WIN32_BUILD))
	cmake --build $(WINE_BUILD) -j $(JOBS) --target upload_wine_test upload_wine32_test
	ctest --test-dir $(WINE_BUILD) -L wine --output-on-failure $(JUNIT)

# The .zip files for Windows users, 64-bit and 32-bit, with SHA256SUMS
# beside them, in $(DIST).
windows-zips: windows-builds
	rm -rf $(DIST)
	bash packaging/windows/make-zips.sh $(DIST) $(WIN_BUILD) $(WIN32_BUILD)

# Both programs on the kernel's real serial drivers (8250 UART, FTDI USB)
# in a QEMU machine with Debian's kernel; static programs, so a build
# folder of its own, which also keeps the downloaded kernel.
VM_BUILD ?= build-vm

.PHONY: test-vm
test-vm: deps
	$(LEG_START)
	cmake -S . -B $(VM_BUILD) -DCMAKE_BUILD_TYPE=Release -DPELKRON_STATIC=ON -DPELKRON_VM_TESTS=ON
	cmake --build $(VM_BUILD) -j $(JOBS) --target vm_test vm_guest
	ctest --test-dir $(VM_BUILD) -L vm --output-on-failure $(JUNIT)

# The network backend's parser under libFuzzer (Debian's clang): a short run
# from the committed seeds in `make test`, the same every time; `make fuzz`
# runs it for FUZZ_SECONDS more, keeping what it finds in the build folder.
FUZZ_BUILD   ?= build-fuzz
FUZZ_SECONDS ?= 600

.PHONY: test-fuzz fuzz
test-fuzz: deps
	$(LEG_START)
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPELKRON_FUZZ=ON
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target rfc2217_fuzz
	ctest --test-dir $(FUZZ_BUILD) -L fuzz --output-on-failure $(JUNIT)

fuzz: test-fuzz
	mkdir -p $(FUZZ_BUILD)/corpus
	$(FUZZ_BUILD)/tests/fuzz/rfc2217_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=600 -rss_limit_mb=2048 \
	  -malloc_limit_mb=64 -print_final_stats=1 $(FUZZ_BUILD)/corpus tests/fuzz/corpus/rfc2217

test: deps
	@rm -rf $(RESULTS) && mkdir -p $(RESULTS)
	@for leg in $(TEST_LEGS); do \
	  $(MAKE) --no-print-directory $$leg; echo $$? > $(RESULTS)/$$leg.status; \
	done; \
	python3 scripts/test-summary.py $(RESULTS) $(TEST_LEGS)

# The programs and the device tool only: no tests, so no test tools.
demo: deps-build
	@mkdir -p $(DEMO_BUILD)
	@echo "Building pelkron, pelkron2 and pelkron-device in $(DEMO_BUILD)/ (log: $(DEMO_BUILD)/build.log)"
	@{ cmake -S . -B $(DEMO_BUILD) -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF && \
	   cmake --build $(DEMO_BUILD) -j $(JOBS) --target pelkron pelkron2 pelkron-device; } > $(DEMO_BUILD)/build.log 2>&1 \
	  || { cat $(DEMO_BUILD)/build.log; exit 1; }
	@bash scripts/demo.sh $(DEMO_BUILD)

# Speed and memory, in a Release build: a table here, JSON in the build folder.
bench: deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target pelkron_bench
	$(BENCH_BUILD)/bench/pelkron_bench $(BENCH_BUILD)/bench.json

clean:
	rm -rf $(BUILD) $(DEMO_BUILD) $(ASAN_BUILD) $(BENCH_BUILD) $(WIN_BUILD) $(WIN32_BUILD) $(WINE_BUILD) $(VM_BUILD) $(FUZZ_BUILD) $(RESULTS) $(DIST)

# Drives CMake. `make test` and `make demo` work on a fresh Debian 12
# machine: missing Debian packages are installed first.
BUILD       ?= build
ASAN_BUILD  ?= build-asan
BENCH_BUILD ?= build-bench
JOBS       ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all deps build test test-native test-sanitized demo bench clean

all: build

deps:
	@bash scripts/install-deps.sh

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD) -j $(JOBS)

test-native: build
	ctest --test-dir $(BUILD) --output-on-failure

# The same suite with AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitized: deps
	cmake -S . -B $(ASAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DPELKRON_SANITIZE=ON
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	ctest --test-dir $(ASAN_BUILD) --output-on-failure

test: test-sanitized test-native

demo: build
	bash scripts/demo.sh $(BUILD)

# Speed and memory, in a Release build: a table here, JSON in the build folder.
bench: deps
	cmake -S . -B $(BENCH_BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BENCH_BUILD) -j $(JOBS) --target pelkron_bench
	$(BENCH_BUILD)/bench/pelkron_bench $(BENCH_BUILD)/bench.json

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(BENCH_BUILD)

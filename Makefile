# A thin wrapper over CMake; the build lives in build/.
BUILD := build
JOBS := $(shell nproc 2>/dev/null || echo 2)
FUZZ_SECONDS ?= 60

.PHONY: all run test bench fuzz clean

all:
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release
	cmake --build $(BUILD) -j $(JOBS)

run: all
	$(BUILD)/ulvane_server -db=examples/db

test: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) -LE slow

bench: all
	bench/run_benchmarks.sh $(BUILD)

fuzz:
	CC=clang CXX=clang++ cmake -S . -B build-fuzz -DULVANE_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build build-fuzz -j $(JOBS)
	tests/fuzz/run_fuzzers.sh build-fuzz $(FUZZ_SECONDS)

clean:
	rm -rf $(BUILD) build-sanitize build-fuzz

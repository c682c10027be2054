# The two set-up commands of the README, and a few helpers around them.
JOBS ?= $(shell nproc)
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: deps configure build run test asan bench clean

deps:
	scripts/install-deps

configure:
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

# On macOS the application starts as it is; elsewhere it runs inside a sandbox (scripts/sandbox).
run: deps build
ifeq ($(shell uname -s),Darwin)
	exec $(BUILD)/Sources/PelApp/pelloran
else
	BUILD=$(BUILD) scripts/sandbox
endif

test: deps build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DPEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug"

bench:
	$(MAKE) build BUILD=build-bench CMAKE_FLAGS="-DPEL_BENCH=ON -DCMAKE_BUILD_TYPE=Release"

clean:
	rm -rf build build-asan build-bench

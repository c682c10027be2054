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

run: deps build
	@if [ -x $(BUILD)/Sources/PelApp/pelloran ]; then \
		exec $(BUILD)/Sources/PelApp/pelloran; \
	else \
		echo "Libraries built; the application is not built yet."; \
	fi

test: deps build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

asan:
	$(MAKE) test BUILD=build-asan CMAKE_FLAGS="-DPEL_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug"

bench:
	$(MAKE) build BUILD=build-bench CMAKE_FLAGS="-DPEL_BENCH=ON -DCMAKE_BUILD_TYPE=Release -DPEL_APP=OFF"

clean:
	rm -rf build build-asan build-bench

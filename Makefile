# The two set-up commands of the README, and a few helpers around them.
JOBS ?= $(shell nproc)
BUILD ?= build
CMAKE_FLAGS ?=

.PHONY: deps configure build run test asan tsan bench clean

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

# The suites that do not link Qt, under the thread sanitizer: a race in the executors, the queues or
# the analytics threads fails the run the first time it shows. A failed test is not run again: a
# race that shows once is a race.
TSAN_SUITES = PlatformTests PelKitTests TallyTests SentryTests
tsan:
	cmake -S . -B build-tsan -G Ninja -DPEL_TSAN=ON -DPEL_APP=OFF $(CMAKE_FLAGS)
	cmake --build build-tsan -j $(JOBS) --target $(TSAN_SUITES)
	TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/Tests/tsan.supp $(TSAN_OPTIONS)" \
		ctest --test-dir build-tsan --output-on-failure -j $(JOBS)

bench:
	$(MAKE) build BUILD=build-bench CMAKE_FLAGS="-DPEL_BENCH=ON -DCMAKE_BUILD_TYPE=Release"

clean:
	rm -rf build build-asan build-tsan build-bench

# Front door of the project. `make demo` installs what is missing, builds and walks through the
# driver against the simulator; `make test` builds both ways and runs every suite.
BUILD ?= build
WIN_BUILD ?= build-win32
JOBS ?= 2
MAKEFLAGS += --no-print-directory
BUILD_TYPE ?= RelWithDebInfo
SANITIZE_BUILD ?= build-sanitize
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= $(BUILD)/fuzz
FUZZ_SECONDS ?= 30
SOAK_TRANSACTIONS ?= 20000

.PHONY: all deps build build-win32 demo test test-native test-sanitize test-tsan test-win32 bench fuzz soak format clean

all: build

deps:
	@scripts/deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

demo: build
	@$(BUILD)/qm4720ctl demo

test: test-native test-sanitize test-tsan test-win32

test-native: build
	@ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

# The whole native suite again under AddressSanitizer and UndefinedBehaviorSanitizer.
test-sanitize: deps
	@cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DQM_SANITIZE=ON >/dev/null
	@cmake --build $(SANITIZE_BUILD) -j$(JOBS)
	@ctest --test-dir $(SANITIZE_BUILD) --output-on-failure -j$(JOBS)

# Calls from several threads on shared and separate ports, built with clang under
# ThreadSanitizer: a race report or a wrong value fails the run.
test-tsan: deps
	@cmake -S . -B $(TSAN_BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DCMAKE_CXX_COMPILER=clang++ \
		-DQM_THREAD_SANITIZE=ON >/dev/null
	@cmake --build $(TSAN_BUILD) -j$(JOBS) --target qm4720_posix_tests
	@TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" $(TSAN_BUILD)/qm4720_posix_tests \
		--gtest_filter='ExchangeThreads.*:SerialPort.AStaleHandle*'

# Each libFuzzer target for FUZZ_SECONDS from its seed corpus (fuzz/run.sh).
fuzz: deps
	@FUZZ_BUILD=$(FUZZ_BUILD) FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS) fuzz/run.sh fuzz

# The fault soak at length: SOAK_TRANSACTIONS transactions against the simulator.
soak: build
	@QM_SOAK_TRANSACTIONS=$(SOAK_TRANSACTIONS) $(BUILD)/qm4720_posix_tests --gtest_filter='FaultSoak.*'

test-win32: deps
	@WIN_BUILD=$(WIN_BUILD) JOBS=$(JOBS) scripts/test-win32.sh

# The driver against its floor on a paced line, and the core against the clock: one table, and
# the same figures as CSV in $(BUILD)/bench/. BENCH_SLOW=1 adds the slow baud rates.
bench: build
	@cmake --build $(BUILD) --target qm4720_bench -j$(JOBS)
	@$(BUILD)/qm4720_bench --out $(BUILD)/bench $(BENCH_ARGS)

build-win32: deps
	@cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(WIN_BUILD) -j$(JOBS)

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(WIN_BUILD) $(SANITIZE_BUILD) $(TSAN_BUILD)

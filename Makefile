# Front door of the project. `make demo` installs what is missing, builds and walks through the
# driver against the simulator; `make test` builds every way and runs every suite.
BUILD ?= build
WIN_BUILD ?= build-win32
WIN64_BUILD ?= build-win64
JOBS ?= 2
MAKEFLAGS += --no-print-directory
BUILD_TYPE ?= RelWithDebInfo
SANITIZE_BUILD ?= build-sanitize
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= $(BUILD)/fuzz
FUZZ_SECONDS ?= 30
SOAK_TRANSACTIONS ?= 20000

.PHONY: all deps deps-native build build-win32 build-win64 demo test test-native test-sanitize \
	test-tsan test-windows test-win32 test-win64 bench fuzz soak format clean package

all: build

# Everything; deps-native only what the native module and tools need.
deps:
	@scripts/deps.sh all

deps-native:
	@scripts/deps.sh native

# The module and the programs beside it; the test programs are built by the test targets.
build: deps-native
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS) --target qm4720 qm4720ctl qm4720sim qm4720d

demo: build
	@$(BUILD)/qm4720ctl demo

test: test-native test-sanitize test-tsan test-windows

test-native: deps build
	@cmake --build $(BUILD) -j$(JOBS)
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
soak: deps build
	@cmake --build $(BUILD) -j$(JOBS) --target qm4720_posix_tests
	@QM_SOAK_TRANSACTIONS=$(SOAK_TRANSACTIONS) $(BUILD)/qm4720_posix_tests --gtest_filter='FaultSoak.*'

# Every Windows suite that this host can run, each skipped one named with the reason
# (scripts/test-windows.sh). The end-to-end suites use the native simulator.
test-windows: deps build
	@WIN_BUILD=$(WIN_BUILD) WIN64_BUILD=$(WIN64_BUILD) JOBS=$(JOBS) scripts/test-windows.sh

test-win32: deps build
	@WIN_BUILD=$(WIN_BUILD) JOBS=$(JOBS) scripts/test-windows.sh i686

test-win64: deps build
	@WIN64_BUILD=$(WIN64_BUILD) JOBS=$(JOBS) scripts/test-windows.sh x86_64

# The driver against its floor on a paced line, and the core against the clock: one table, and
# the same figures as CSV in $(BUILD)/bench/. BENCH_SLOW=1 adds the slow baud rates. Then the
# service's own (qm4720d_bench): lines in parallel, silent meters, history inserts, its processor
# time and memory (BENCH_SLOW=1: a 10-minute run); qm4720d's Modbus server against a bare libmodbus server,
# 16 clients reading; qm4720d's GET /metrics while 32 meters are polled; and its MQTT
# publisher through a local mosquitto (readings a second).
bench: deps build
	@cmake --build $(BUILD) --target qm4720_bench qm4720d_bench -j$(JOBS)
	@$(BUILD)/qm4720_bench --out $(BUILD)/bench $(BENCH_ARGS)
	@$(BUILD)/qm4720d_bench --out $(BUILD)/bench
	@cmake --build $(BUILD) --target qm4720_modbus_bench -j$(JOBS)
	@$(BUILD)/qm4720_modbus_bench --out $(BUILD)/bench
	@cmake --build $(BUILD) --target qm4720d_metrics_bench -j$(JOBS)
	@$(BUILD)/qm4720d_metrics_bench --out $(BUILD)/bench
	@cmake --build $(BUILD) --target qm4720d_mqtt_bench -j$(JOBS)
	@$(BUILD)/qm4720d_mqtt_bench --out $(BUILD)/bench

build-win32: deps
	@cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(WIN_BUILD) -j$(JOBS)

build-win64: deps
	@cmake -S . -B $(WIN64_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(WIN64_BUILD) -j$(JOBS)

# The Debian package (build-deb/packages/) and a zip per Windows architecture
# (build-win32/packages/, build-win64/packages/), each through CPack. The package comes from a
# tree of its own configured for /usr, so that GNUInstallDirs gives Debian's folders (the
# multiarch libdir, Python's dist-packages).
DEB_BUILD ?= build-deb
package: deps
	@cmake -S . -B $(DEB_BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DCMAKE_INSTALL_PREFIX=/usr \
		-DBUILD_TESTING=OFF >/dev/null
	@cmake --build $(DEB_BUILD) -j$(JOBS) --target package
	@cmake -S . -B $(WIN_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(WIN_BUILD) -j$(JOBS) --target package
	@cmake -S . -B $(WIN64_BUILD) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release >/dev/null
	@cmake --build $(WIN64_BUILD) -j$(JOBS) --target package

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(WIN_BUILD) $(WIN64_BUILD) $(SANITIZE_BUILD) $(TSAN_BUILD) $(DEB_BUILD)

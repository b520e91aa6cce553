# Front door of the project. `make demo` installs what is missing, builds the module and the
# programs beside it and walks through the driver against the simulator; `make service` and
# `make python` add the service and the binding; `make test` builds every way and runs every suite.
BUILD ?= build
WIN_BUILD ?= build-win32
WIN64_BUILD ?= build-win64
JOBS ?= 2
MAKEFLAGS += --no-print-directory
BUILD_TYPE ?= RelWithDebInfo
# The sanitizer trees keep their debugging sections for the reports, whatever BUILD_TYPE is.
SANITIZE_BUILD_TYPE ?= RelWithDebInfo
SANITIZE_BUILD ?= build-sanitize
TSAN_BUILD ?= build-tsan
FUZZ_BUILD ?= $(BUILD)/fuzz
FUZZ_SECONDS ?= 30
SOAK_TRANSACTIONS ?= 20000
# How many tests ctest runs at once: most of the native suite waits on lines, timers and child
# programs rather than computing, so more than the cores. Tests that share a port, a broker or a
# registry hold a resource lock (see the CMake files).
TEST_JOBS ?= 6
# The soak holds every call to its deadline plus 100 ms against the clock: it runs after the others,
# alone, so that no test beside it (valgrind, the fuzz build) takes the processor it times.
TIMED_TESTS = ^posix\.FaultSoak\.

# Every tree is configured with Ninja when it is installed (make deps installs it) and compiles
# through ccache when that is: the cache lives outside the clone (ccache's own folder), and paths
# below this folder are hashed relative to it, so a second clone on the same machine hits it too.
# Sub-projects configured by scripts and tests (the fuzz targets, the consumer) take the launcher
# from the environment.
export CCACHE_BASEDIR := $(CURDIR)
export CCACHE_NOHASHDIR := true
export CCACHE_MAXSIZE ?= 10G
LAUNCHER = $(shell command -v ccache >/dev/null && echo ccache)
export CMAKE_CXX_COMPILER_LAUNCHER = $(LAUNCHER)
export CMAKE_C_COMPILER_LAUNCHER = $(LAUNCHER)
# configure FOLDER, ARGUMENTS: a folder keeps the generator it was first configured with.
configure = cmake -S . -B $(1) $(if $(wildcard $(1)/CMakeCache.txt),,$(if $(shell command -v ninja),-G Ninja)) $(2) >/dev/null

.PHONY: all deps deps-build deps-service build service python demo test test-native \
	test-sanitize test-tsan test-windows test-win32 test-win64 bench fuzz soak format clean \
	package build-win32 build-win64

all: build

# Everything; deps-build only what the module and the programs beside it need, deps-service that
# and what the service and the Python binding need.
deps:
	@scripts/deps.sh all

deps-build:
	@scripts/deps.sh build

deps-service:
	@scripts/deps.sh service

# The module and the programs beside it. A new tree leaves the service and the binding out; a tree
# that has them keeps them (the targets below build only these three either way).
build: deps-build
	@$(call configure,$(BUILD),-DCMAKE_BUILD_TYPE=$(BUILD_TYPE) \
		$(if $(wildcard $(BUILD)/CMakeCache.txt),,-DQM_SERVICE=OFF -DQM_PYTHON=OFF))
	@cmake --build $(BUILD) -j$(JOBS) --target qm4720 qm4720ctl qm4720sim

demo: build
	@$(BUILD)/qm4720ctl demo

# qm4720d (and qm4720ctl with its history command) in the same tree.
service: deps-service
	@$(call configure,$(BUILD),-DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DQM_SERVICE=ON)
	@cmake --build $(BUILD) -j$(JOBS) --target qm4720 qm4720ctl qm4720sim qm4720d

# The Python binding, build/qm4720.*.so (PYTHONPATH=build).
python: deps-service
	@$(call configure,$(BUILD),-DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DQM_PYTHON=ON)
	@cmake --build $(BUILD) -j$(JOBS) --target qm4720 qm4720_python

test: test-native test-sanitize test-tsan test-windows

test-native: deps
	@$(call configure,$(BUILD),-DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DQM_SERVICE=ON -DQM_PYTHON=ON)
	@cmake --build $(BUILD) -j$(JOBS)
	@ctest --test-dir $(BUILD) --output-on-failure -j$(TEST_JOBS) -E '$(TIMED_TESTS)'
	@ctest --test-dir $(BUILD) --output-on-failure -R '$(TIMED_TESTS)'

# The native suite again under AddressSanitizer and UndefinedBehaviorSanitizer, but for the tests
# labelled `programs`: they only run other programs (real clients, scripts, compilers) against
# ours, and the plain tree runs them.
test-sanitize: deps
	@$(call configure,$(SANITIZE_BUILD),-DCMAKE_BUILD_TYPE=$(SANITIZE_BUILD_TYPE) -DQM_SANITIZE=ON)
	@cmake --build $(SANITIZE_BUILD) -j$(JOBS)
	@ctest --test-dir $(SANITIZE_BUILD) --output-on-failure -j$(TEST_JOBS) -LE programs \
		-E '$(TIMED_TESTS)'
	@ctest --test-dir $(SANITIZE_BUILD) --output-on-failure -R '$(TIMED_TESTS)'

# Calls from several threads on shared and separate ports, built with clang under
# ThreadSanitizer: a race report or a wrong value fails the run. The tree also compiles every
# program that ships, so that clang's warnings are checked on all of them: clang warns from its
# front end, the same at every optimisation level (GCC's depend on the optimiser: the native tree
# checks them in the build type it is given, CI's a Release build).
TSAN_PROGRAMS = qm4720 qm4720ctl qm4720sim qm4720d qm4720_python qm4720_example_cpp \
	qm4720_example_read_pv qm4720_example_raw_interfaces
test-tsan: deps
	@$(call configure,$(TSAN_BUILD),-DCMAKE_BUILD_TYPE=$(SANITIZE_BUILD_TYPE) \
		-DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang -DQM_THREAD_SANITIZE=ON)
	@cmake --build $(TSAN_BUILD) -j$(JOBS) --target qm4720_posix_tests $(TSAN_PROGRAMS)
	@TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" $(TSAN_BUILD)/qm4720_posix_tests \
		--gtest_filter='ExchangeThreads.*:SerialPort.AStaleHandle*'

# Each libFuzzer target for FUZZ_SECONDS from its seed corpus (fuzz/run.sh).
fuzz: deps
	@FUZZ_BUILD=$(FUZZ_BUILD) FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS=$(JOBS) fuzz/run.sh fuzz

# The fault soak at length: SOAK_TRANSACTIONS transactions against the simulator.
soak: deps
	@$(call configure,$(BUILD),-DCMAKE_BUILD_TYPE=$(BUILD_TYPE))
	@cmake --build $(BUILD) -j$(JOBS) --target qm4720_posix_tests
	@QM_SOAK_TRANSACTIONS=$(SOAK_TRANSACTIONS) $(BUILD)/qm4720_posix_tests --gtest_filter='FaultSoak.*'
	@cmake --build $(BUILD) -j$(JOBS) --target qm4720d qm4720sim qm4720
	@/usr/bin/python3 service/tests/clients/mqtt_forward_client.py --sim $(BUILD)/qm4720sim \
		--service $(BUILD)/qm4720d --module $(BUILD)/qm4720.so --outage-s 60 --max-age-s 0

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
# time and memory (BENCH_SLOW=1: a 10-minute run); the history of 100 registers at 1 s for a day
# (BENCH_SLOW=1: 30 days) written and read, against the earlier single table; qm4720d's resident
# memory with the history on beside it off, meters often silent (2 minutes, BENCH_SLOW=1 an hour);
# qm4720d's Modbus server against a bare libmodbus server,
# 16 clients reading; qm4720d's GET /metrics while 32 meters are polled; and its MQTT
# publisher through a local mosquitto (readings a second); the page's trend of 30 days in headless
# Chromium (3 days of history, BENCH_SLOW=1 a month).
bench: deps build
	@cmake --build $(BUILD) --target qm4720_bench qm4720d_bench -j$(JOBS)
	@$(BUILD)/qm4720_bench --out $(BUILD)/bench $(BENCH_ARGS)
	@$(BUILD)/qm4720d_bench --out $(BUILD)/bench
	@cmake --build $(BUILD) --target qm4720d_history_bench -j$(JOBS)
	@$(BUILD)/qm4720d_history_bench --out $(BUILD)/bench
	@cmake --build $(BUILD) --target qm4720d_history_memory_bench -j$(JOBS)
	@$(BUILD)/qm4720d_history_memory_bench --out $(BUILD)/bench
	@cmake --build $(BUILD) --target qm4720_modbus_bench -j$(JOBS)
	@$(BUILD)/qm4720_modbus_bench --out $(BUILD)/bench
	@cmake --build $(BUILD) --target qm4720d_metrics_bench -j$(JOBS)
	@$(BUILD)/qm4720d_metrics_bench --out $(BUILD)/bench
	@cmake --build $(BUILD) --target qm4720d_mqtt_bench -j$(JOBS)
	@$(BUILD)/qm4720d_mqtt_bench --out $(BUILD)/bench
	@cmake --build $(BUILD) --target qm4720d_history_fill -j$(JOBS)
	@/usr/bin/python3 bench/service/page_bench.py --build $(BUILD) --out $(BUILD)/bench

build-win32: deps
	@$(call configure,$(WIN_BUILD),-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release)
	@cmake --build $(WIN_BUILD) -j$(JOBS)

build-win64: deps
	@$(call configure,$(WIN64_BUILD),-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release)
	@cmake --build $(WIN64_BUILD) -j$(JOBS)

# The Debian packages (build-deb/packages/: a .deb per package, the -dbgsym packages, .buildinfo
# and .changes) from debian/ with dpkg-buildpackage, compiled in build-deb/tree/ for /usr
# (scripts/debian-packages.sh); a zip per Windows architecture (build-win32/packages/,
# build-win64/packages/) through CPack. The Windows trees build what the zip holds and no test
# program: cpack run directly installs without building `all` first.
DEB_BUILD ?= build-deb
WIN_PACKAGED = qm4720 qm4720ctl qm4720sim
package: deps
	@JOBS=$(JOBS) scripts/debian-packages.sh $(DEB_BUILD)/packages
	@$(call configure,$(WIN_BUILD),-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=Release)
	@cmake --build $(WIN_BUILD) -j$(JOBS) --target $(WIN_PACKAGED)
	@cd $(WIN_BUILD) && cpack -C Release >/dev/null
	@$(call configure,$(WIN64_BUILD),-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=Release)
	@cmake --build $(WIN64_BUILD) -j$(JOBS) --target $(WIN_PACKAGED)
	@cd $(WIN64_BUILD) && cpack -C Release >/dev/null

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD) $(WIN_BUILD) $(WIN64_BUILD) $(SANITIZE_BUILD) $(TSAN_BUILD) $(DEB_BUILD)

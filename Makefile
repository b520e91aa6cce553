# Front door of the project. `make demo` installs what is missing, builds and walks through the
# driver against the simulator; `make test` builds both ways and runs every suite.
BUILD ?= build
WIN_BUILD ?= build-win32
JOBS ?= 2
MAKEFLAGS += --no-print-directory
BUILD_TYPE ?= RelWithDebInfo

.PHONY: all deps build build-win32 demo test test-native test-win32 bench format clean

all: build

deps:
	@scripts/deps.sh

build: deps
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

demo: build
	@$(BUILD)/qm4720ctl demo

test: test-native test-win32

test-native: build
	@ctest --test-dir $(BUILD) --output-on-failure -j$(JOBS)

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
	rm -rf $(BUILD) $(WIN_BUILD)

# Thin driver over CMake. `make test` is what CI runs.
SHELL := /bin/bash
, := ,
MAKEFLAGS += --no-print-directory
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
SOURCES = $(shell git ls-files '*.cpp' '*.h' '*.c' 2>/dev/null)

configure = cmake -S . -B $(1) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(2) >/dev/null
build = cmake --build $(1) -j$(JOBS)
run_tests = cd $(1) && ctest --output-on-failure

.PHONY: all native dll bench fuzz test-fuzz test test-native test-tsan test-asan test-windows demo format \
	format-check packages packages-windows clean

all: native

packages:
	@scripts/ensure-packages.sh native

packages-windows:
	@scripts/ensure-packages.sh native windows

# Wine runs the Windows tests in a prefix of the build's own.
WINE_ENV = WINEPREFIX=$(CURDIR)/build/windows/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=

native: packages
	@$(call configure,build/native,)
	@$(call build,build/native)

# The 32-bit Windows DLL, cross-built: build/windows/PYXRemote.dll.
dll: packages-windows
	@$(call configure,build/windows,-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=MinSizeRel)
	@$(call build,build/windows)

test: format-check test-native test-tsan test-asan test-windows test-fuzz

test-native: native
	@echo "== native tests"
	@$(call run_tests,build/native)

test-tsan: packages
	@echo "== ThreadSanitizer"
	@$(call configure,build/tsan,-DPYX_SANITIZE=thread)
	@$(call build,build/tsan)
	@$(call run_tests,build/tsan)

test-asan: packages
	@echo "== AddressSanitizer and UndefinedBehaviorSanitizer"
	@$(call configure,build/asan,-DPYX_SANITIZE=address$(,)undefined)
	@$(call build,build/asan)
	@$(call run_tests,build/asan)

test-windows: dll
	@echo "== Windows DLL under Wine"
	@$(WINE_ENV) wineboot -i >/dev/null 2>&1 || true
	@cd build/windows && $(WINE_ENV) ctest --output-on-failure

# The module's cost and timing, natively and as the DLL under Wine:
# a table on the terminal and build/bench/results.json.
bench: packages-windows
	@$(call configure,build/native,)
	@cmake --build build/native -j$(JOBS) --target pyx-bench PYXRemote
	@$(call configure,build/windows,-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=MinSizeRel)
	@cmake --build build/windows -j$(JOBS) --target pyx-bench PYXRemote
	@mkdir -p build/bench
	@echo "== measuring the native library (about 35 s)"
	@build/native/pyx-bench --run build/bench/native.tsv --dir build/bench/native-run
	@echo "== measuring the DLL under Wine (about 35 s)"
	@$(WINE_ENV) wineboot -i >/dev/null 2>&1 || true
	@$(WINE_ENV) wine build/windows/pyx-bench.exe --run build/bench/wine.tsv --dir build/bench/wine-run
	@build/native/pyx-bench --report build/bench/results.json \
	  --build "$$(git rev-parse --short HEAD 2>/dev/null || echo unknown), $(BUILD_TYPE) native, MinSizeRel DLL" \
	  build/bench/native.tsv build/bench/wine.tsv

# The INI reader under libFuzzer: make fuzz FUZZ_SECONDS=600. New inputs go
# to build/fuzz/corpus; the seeds in tests/fuzz/corpus are read, not written.
FUZZ_SECONDS ?= 600
fuzz:
	@scripts/ensure-packages.sh fuzz
	@CC=clang CXX=clang++ $(call configure,build/fuzz,-DPYX_FUZZ=ON -DPYX_BUILD_TESTS=OFF)
	@cmake --build build/fuzz -j$(JOBS) --target ini_fuzz
	@mkdir -p build/fuzz/corpus
	@echo "== fuzzing the INI reader for $(FUZZ_SECONDS) s"
	@build/fuzz/ini_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=8192 -print_final_stats=1 \
	  build/fuzz/corpus tests/fuzz/corpus 2>&1 | grep -E '^(#[0-9]+.*DONE|Done|stat::number_of_executed_units|stat::peak_rss)|ERROR|SUMMARY|crash' ; \
	  exit $${PIPESTATUS[0]}

test-fuzz:
	@$(MAKE) fuzz FUZZ_SECONDS=30

# The module in remote-host with a simulated card, on a built-in script, in
# a fresh folder (where it reads no pyx.ini and writes its log).
demo: native
	@rm -rf build/demo && mkdir -p build/demo
	@build/native/remote-host --demo --timeline --dir build/demo

format: packages
	@clang-format -i $(SOURCES)

format-check: packages
	@clang-format --dry-run -Werror $(SOURCES)

clean:
	rm -rf build

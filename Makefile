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

.PHONY: all native dll dist bench fuzz test-fuzz test test-native test-tsan test-asan test-windows \
	test-dist test-reproducible examples demo format format-check packages clean

all: native

packages:
	@scripts/ensure-packages.sh host native

# The Windows DLLs, cross-built: 32-bit in build/windows, 64-bit in
# build/windows64. $(1) is the folder, $(2) the toolchain, $(3) more options.
configure_windows = $(call configure,build/$(1),-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-$(2).cmake \
	-DCMAKE_BUILD_TYPE=MinSizeRel $(3))
# Wine runs each build's Windows programs in a prefix of that build's own.
wine_env = WINEPREFIX=$(CURDIR)/build/$(1)/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=

native: packages
	@$(call configure,build/native,)
	@$(call build,build/native)

# build/windows/PYXRemote.dll and build/windows64/PYXRemote.dll, each with
# its PYXRemote.dll.debug and remote-host.exe. Needs mingw-w64, not Wine.
dll:
	@scripts/ensure-packages.sh host mingw
	@$(call configure_windows,windows,i686,-DPYX_BUILD_TESTS=OFF)
	@cmake --build build/windows -j$(JOBS) --target PYXRemote remote-host
	@$(call configure_windows,windows64,x86_64,-DPYX_BUILD_TESTS=OFF)
	@cmake --build build/windows64 -j$(JOBS) --target PYXRemote remote-host

# The release: build/dist/PYXRemote-<version>-win32.zip, -win64.zip, their
# -symbols.zip, and SHA256SUMS.
dist: dll
	@scripts/ensure-packages.sh dist
	@scripts/dist.sh build build/dist

test: format-check test-native test-tsan test-asan test-windows test-dist test-reproducible test-fuzz

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

# Where the kernel runs no 32-bit programs, 32-bit Wine runs under qemu-i386
# (scripts/ensure-i386.sh). qemu's emulation of Wine's process exit now and
# then crashes a thread after a test program has passed, so there a failed
# test runs once more; its first failure stays in the output.
i386_retry = $$(test -e /proc/sys/fs/binfmt_misc/qemu-i386 && echo --repeat until-pass:2)

define windows_tests
	@echo "== $(1)-bit Windows DLL under Wine"
	@$(call configure_windows,$(2),$(3),-DPYX_BUILD_TESTS=ON)
	@$(call build,build/$(2))
	@$(call wine_env,$(2)) wineboot -i >/dev/null 2>&1 || true
	@cd build/$(2) && $(call wine_env,$(2)) ctest --output-on-failure $(4)
endef

test-windows:
	@scripts/ensure-packages.sh host native mingw wine
	$(call windows_tests,32,windows,i686,$(i386_retry))
	$(call windows_tests,64,windows64,x86_64)

# The release as a host developer unpacks it, with nothing else at hand.
test-dist: dist
	@scripts/ensure-packages.sh host mingw wine
	@echo "== the release zips, unpacked and used on their own"
	@$(call wine_env,windows) wineboot -i >/dev/null 2>&1 || true
	@$(call wine_env,windows64) wineboot -i >/dev/null 2>&1 || true
	@tests/check_dist.sh build/dist build/dist-check \
	  "$(call wine_env,windows)" "$(call wine_env,windows64)"

# The release built a second time from a copy of the sources in another
# folder must come out the same, byte for byte.
test-reproducible: dist
	@echo "== the release, built again in another folder"
	@scripts/reproduce.sh build/dist build/repro

# The module's cost and timing, natively and as the DLL under Wine:
# a table on the terminal and build/bench/results.json.
bench:
	@scripts/ensure-packages.sh host mingw wine
	@$(call configure,build/native,)
	@cmake --build build/native -j$(JOBS) --target pyx-bench PYXRemote
	@$(call configure_windows,windows,i686,)
	@cmake --build build/windows -j$(JOBS) --target pyx-bench PYXRemote
	@mkdir -p build/bench
	@echo "== measuring the native library (about 45 s)"
	@build/native/pyx-bench --run build/bench/native.tsv --dir build/bench/native-run
	@echo "== measuring the DLL under Wine (about 45 s)"
	@$(call wine_env,windows) wineboot -i >/dev/null 2>&1 || true
	@$(call wine_env,windows) wine build/windows/pyx-bench.exe --run build/bench/wine.tsv --dir build/bench/wine-run
	@echo "== the DLL's idle CPU under Wine, read from outside the process (about 45 s)"
	@$(call wine_env,windows) scripts/wine-idle-cpu.sh build/windows/pyx-bench.exe build/bench/wine-run build/bench/wine.tsv
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
# a fresh folder (where it reads no pyx.ini and writes its log). Builds the
# library and remote-host only: a compiler and CMake are all it needs.
demo:
	@scripts/ensure-packages.sh host
	@$(call configure,build/host,-DPYX_BUILD_TESTS=OFF)
	@cmake --build build/host -j$(JOBS) --target PYXRemote remote-host
	@rm -rf build/demo && mkdir -p build/demo
	@build/host/remote-host --demo --timeline --dir build/demo

format: packages
	@clang-format -i $(SOURCES)

format-check: packages
	@clang-format --dry-run -Werror $(SOURCES)

clean:
	rm -rf build

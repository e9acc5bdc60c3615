# Thin driver over CMake. `make test` is what CI runs: scripts/test.sh runs
# its stages, each from the build and run steps below, and sums them up.
SHELL := /bin/bash
, := ,
MAKEFLAGS += --no-print-directory
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
# Native tests mostly wait, on the module's sleeps, so several run at once;
# but many count reports against real time with margins of tens of
# milliseconds, so no more per suite than there are cores. Under Wine a
# test that starts threads or processes computes (the stress test spends
# 15 to 25 s of system time), and one beside it made those margins fail:
# there they run one at a time.
TEST_JOBS ?= $(JOBS)
WINE_TEST_JOBS ?= 1
SOURCES = $(shell git ls-files '*.cpp' '*.h' '*.c' 2>/dev/null)

configure = cmake -S . -B $(1) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(2) >/dev/null
build = cmake --build $(1) -j$(JOBS)
run_tests = cd $(1) && ctest --output-on-failure -j$(2) $(3)

.PHONY: all native tsan asan win32 win64 dll dist msvc fuzzer fuzz bench demo \
	test check test-native test-tsan test-asan test-windows test-dist test-msvc test-reproducible \
	test-fuzz run-native run-tsan run-asan run-win32 run-win64 run-zip32 run-zip64 run-msvc32 \
	run-msvc64 run-reproducible run-fuzz \
	format format-check packages clean

all: native

packages:
	@scripts/ensure-packages.sh host native

# The tests, each stage that can run, and a summary: see scripts/test.sh.
test:
	@scripts/test.sh
# The edit loop: the formatting, and the native build and its tests.
check:
	@scripts/test.sh format native
test-native test-tsan test-asan test-reproducible test-fuzz:
	@scripts/test.sh $(patsubst test-%,%,$@)
test-windows:
	@scripts/test.sh win32 win64
test-msvc:
	@scripts/test.sh msvc32 msvc64
test-dist:
	@scripts/test.sh zip32 zip64

# The builds. Natively: build/native (the library, remote-host, the tests),
# build/tsan and build/asan, the same under the sanitizers.
native: packages
	@$(call configure,build/native,)
	@$(call build,build/native)

tsan: packages
	@$(call configure,build/tsan,-DPYX_SANITIZE=thread)
	@$(call build,build/tsan)

asan: packages
	@$(call configure,build/asan,-DPYX_SANITIZE=address$(,)undefined)
	@$(call build,build/asan)

# The Windows DLLs, cross-built: 32-bit in build/windows, 64-bit in
# build/windows64. $(1) is the folder, $(2) the toolchain, $(3) more options.
configure_windows = $(call configure,build/$(1),-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-$(2).cmake \
	-DCMAKE_BUILD_TYPE=MinSizeRel $(3))
# Wine runs each build's Windows programs in a prefix of that build's own.
wine_env = WINEPREFIX=$(CURDIR)/build/$(1)/wineprefix WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
# Sets up the prefix of build $(1) once, for whichever step comes first:
# steps that run at once share the prefix.
wine_boot = mkdir -p build/$(1) && flock build/$(1)/wineboot.lock sh -c \
	'[ -e build/$(1)/wineprefix/booted ] || { $(call wine_env,$(1)) wineboot -i >/dev/null 2>&1; touch build/$(1)/wineprefix/booted; }'

# Each DLL with its tests, for Wine.
win32:
	@scripts/ensure-packages.sh host native mingw
	@$(call configure_windows,windows,i686,-DPYX_BUILD_TESTS=ON)
	@$(call build,build/windows)

win64:
	@scripts/ensure-packages.sh host native mingw
	@$(call configure_windows,windows64,x86_64,-DPYX_BUILD_TESTS=ON)
	@$(call build,build/windows64)

# build/windows/PYXRemote.dll and build/windows64/PYXRemote.dll, each with
# its PYXRemote.dll.debug and remote-host.exe. Needs mingw-w64, not Wine.
# A folder that the tests' build made is used as it is: the DLL is the same.
dll_tests = $(if $(wildcard build/$(1)/CMakeCache.txt),,-DPYX_BUILD_TESTS=OFF)
dll:
	@scripts/ensure-packages.sh host mingw
	@$(call configure_windows,windows,i686,$(call dll_tests,windows))
	@cmake --build build/windows -j$(JOBS) --target PYXRemote remote-host
	@$(call configure_windows,windows64,x86_64,$(call dll_tests,windows64))
	@cmake --build build/windows64 -j$(JOBS) --target PYXRemote remote-host

# The release: build/dist/PYXRemote-<version>-win32.zip, -win64.zip, their
# -symbols.zip, and SHA256SUMS.
dist: dll
	@scripts/ensure-packages.sh dist
	@scripts/dist.sh build build/dist

# Hosts built as Visual C++ builds them (tests/msvc/check.sh), for both
# DLLs: build/msvc32 and build/msvc64.
msvc: dll
	@scripts/ensure-packages.sh msvc
	@tests/msvc/check.sh build 32 build/msvc32
	@tests/msvc/check.sh build 64 build/msvc64

# The INI reader under libFuzzer: make fuzz FUZZ_SECONDS=600. New inputs go
# to build/fuzz/corpus; the seeds in tests/fuzz/corpus are read, not written.
FUZZ_SECONDS ?= 600
fuzzer:
	@scripts/ensure-packages.sh fuzz
	@CC=clang CXX=clang++ $(call configure,build/fuzz,-DPYX_FUZZ=ON -DPYX_BUILD_TESTS=OFF)
	@cmake --build build/fuzz -j$(JOBS) --target ini_fuzz

fuzz: fuzzer
	@$(MAKE) run-fuzz

# The runs, each of what its build above made; scripts/test.sh runs them
# beside the builds that follow.
run-native:
	@$(call run_tests,build/native,$(TEST_JOBS))

run-tsan:
	@$(call run_tests,build/tsan,$(TEST_JOBS))

run-asan:
	@$(call run_tests,build/asan,$(TEST_JOBS))

# Where the kernel runs no 32-bit programs, 32-bit Wine runs under qemu-i386
# (scripts/ensure-i386.sh). qemu's emulation of Wine's process exit now and then crashes a
# thread after a test program has passed, so there a failed test runs once
# more; its first failure stays in the output.
i386_options = $$(test -e /proc/sys/fs/binfmt_misc/qemu-i386 && echo --repeat until-pass:2)

run-win32:
	@$(call wine_boot,windows)
	@$(call run_tests,build/windows,$(WINE_TEST_JOBS),$(i386_options))

run-win64:
	@$(call wine_boot,windows64)
	@$(call run_tests,build/windows64,$(WINE_TEST_JOBS))

# Each release zip as a host developer unpacks it, with nothing else at hand.
run-zip32:
	@$(call wine_boot,windows)
	@tests/check_dist.sh build/dist build/dist-check32 32 "$(call wine_env,windows)"

run-zip64:
	@$(call wine_boot,windows64)
	@tests/check_dist.sh build/dist build/dist-check64 64 "$(call wine_env,windows64)"

run-msvc32:
	@$(call wine_boot,windows)
	@tests/msvc/check.sh run 32 build/msvc32 build/windows/PYXRemote.dll "$(call wine_env,windows)"

run-msvc64:
	@$(call wine_boot,windows64)
	@tests/msvc/check.sh run 64 build/msvc64 build/windows64/PYXRemote.dll "$(call wine_env,windows64)"

# The release built a second time from a copy of the sources in another
# folder must come out the same, byte for byte.
run-reproducible:
	@scripts/reproduce.sh build/dist build/repro

run-fuzz:
	@mkdir -p build/fuzz/corpus
	@echo "== fuzzing the INI reader for $(FUZZ_SECONDS) s"
	@build/fuzz/ini_fuzz -max_total_time=$(FUZZ_SECONDS) -max_len=8192 -print_final_stats=1 \
	  build/fuzz/corpus tests/fuzz/corpus 2>&1 | grep -E '^(#[0-9]+.*DONE|Done|stat::number_of_executed_units|stat::peak_rss)|ERROR|SUMMARY|crash' ; \
	  exit $${PIPESTATUS[0]}

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
	@$(call wine_boot,windows)
	@$(call wine_env,windows) wine build/windows/pyx-bench.exe --run build/bench/wine.tsv --dir build/bench/wine-run
	@echo "== the DLL's idle CPU under Wine, read from outside the process (about 45 s)"
	@$(call wine_env,windows) scripts/wine-idle-cpu.sh build/windows/pyx-bench.exe build/bench/wine-run build/bench/wine.tsv
	@build/native/pyx-bench --report build/bench/results.json \
	  --build "$$(git rev-parse --short HEAD 2>/dev/null || echo unknown), $(BUILD_TYPE) native, MinSizeRel DLL" \
	  build/bench/native.tsv build/bench/wine.tsv

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

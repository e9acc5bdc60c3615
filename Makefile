# Thin driver over CMake. `make test` is what CI runs.
, := ,
BUILD_TYPE ?= RelWithDebInfo
JOBS ?= $(shell nproc)
SOURCES = $(shell git ls-files '*.cpp' '*.h' '*.c' 2>/dev/null)

configure = cmake -S . -B $(1) -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) $(2) >/dev/null
build = cmake --build $(1) -j$(JOBS)
run_tests = cd $(1) && ctest --output-on-failure

.PHONY: all native test test-native test-tsan test-asan demo format format-check packages clean

all: native

packages:
	@scripts/ensure-packages.sh native

native: packages
	@$(call configure,build/native,)
	@$(call build,build/native)

test: format-check test-native test-tsan test-asan

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

demo:
	@echo "make demo: coming soon (the demo host, tools/remote-host, is not built yet)"

format: packages
	@clang-format -i $(SOURCES)

format-check: packages
	@clang-format --dry-run -Werror $(SOURCES)

clean:
	rm -rf build

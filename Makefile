# Set-up, build and test entry points; `make help` lists them, README.md explains them.
SHELL := bash
MAKEFLAGS += --no-print-directory
.SHELLFLAGS := -euo pipefail -c
.DEFAULT_GOAL := demo

# Lines starting with "#=" document a variable for `make help`.
#= PY_VERSION: CPython version that VENV is made with (3.12 or 3.13)
PY_VERSION ?= 3.12
#= VENV: the virtual environment that the module is installed into
VENV ?= .venv
export PY_VERSION VENV
PY := $(VENV)/bin/python
#= JOBS: parallel compile jobs
JOBS ?= 2
export JOBS
export CMAKE_BUILD_PARALLEL_LEVEL := $(JOBS)
# -Wall -Wextra always; -Werror for the test targets and CI, not for demo and
# install, so that a newer compiler's new warning does not stop a first build.
#= WERROR: ON to treat warnings as errors (the test targets set it)
WERROR ?= OFF
export WERROR
#= PORTABLE: ON to build without SIMD intrinsics (make test-portable sets it)
PORTABLE ?= OFF
export PORTABLE
# pip builds without isolation in $(VENV) (which holds the build backend, CMake
# and Ninja) into a build directory that persists, so a rebuild compiles only
# what changed. One directory per interpreter, -Werror setting and BUILD_PREFIX.
#= BUILD_PREFIX: prefix of the module's build directory in build/
BUILD_PREFIX ?=
BUILD_DIR = build/$(BUILD_PREFIX){wheel_tag}$(if $(filter ON,$(WERROR)),-werror)
# The native tests, sanitizer, bench floor, fuzz and cross builds are CMake
# presets (CMakePresets.json, fuzz/CMakePresets.json; `cmake --list-presets`).
#= NATIVE_PRESET: CMake preset of the native tests (native; portable when PORTABLE=ON; clang)
NATIVE_PRESET ?= $(if $(filter ON,$(PORTABLE)),portable,native)
#= NATIVE_BUILD: build directory of the native tests, if not the preset's
NATIVE_BUILD ?=
export NATIVE_PRESET NATIVE_BUILD
#= CLANG: the clang++ of make test-clang
CLANG ?= clang++-19
#= GTest_ROOT: prefix of a GoogleTest install for the native tests (default: the system's)
#= BENCH_ARGS: arguments of bench/run.py for make bench, e.g. "--quick --only hash"
#= FUZZ_SECONDS: how long make fuzz runs each target
FUZZ_SECONDS ?= 20
#= CXX: the C++ compiler (of the module: at the first configure of its build directory)
HELP_VARIABLES := PY_VERSION VENV JOBS WERROR PORTABLE BUILD_PREFIX NATIVE_PRESET NATIVE_BUILD CLANG GTest_ROOT BENCH_ARGS FUZZ_SECONDS CXX

.PHONY: help demo install test python-test native-test test-3.13 test-clang typecheck \
	sanitize fuzz test-portable test-aarch64 test-windows wheel test-wheel test-abi3 test-readonly \
	bench leak-check clean

## demo: set up .venv, build and install the module, run examples/tour.py
demo: install
	$(PY) examples/tour.py

## help: list these targets and the variables they honour
help:
	@$(foreach v,$(HELP_VARIABLES),$(v)='$($(v))') awk -v names='$(HELP_VARIABLES)' ' \
		BEGIN { n = split(names, vars, " ") } \
		{ for (i = 1; i <= n; i++) { ref = "$$(" vars[i] ")"; \
			while ((at = index($$0, ref)) > 0) $$0 = substr($$0, 1, at - 1) ENVIRON[vars[i]] substr($$0, at + length(ref)) } } \
		/^## [A-Za-z0-9.-]+: / { sub(/^## /, ""); name = $$0; sub(/:.*/, "", name); \
			sub(/^[^:]*: /, ""); printf "  %-14s %s\n", name, $$0 } \
		/^#= [A-Za-z_]+: / { sub(/^#= /, ""); name = $$0; sub(/:.*/, "", name); sub(/^[^:]*: /, ""); \
			value = ENVIRON[name] == "" ? "unset" : "now " ENVIRON[name]; \
			variables = variables sprintf("  %-14s %s [%s]\n", name, $$0, value) } \
		END { printf "\nVariables, e.g. make test PY_VERSION=3.13:\n%s", variables }' \
		$(firstword $(MAKEFILE_LIST))

## install: build the module (incrementally) and install it into .venv
install:
	scripts/setup-venv.sh build test
	$(PY) -m pip install -q --disable-pip-version-check --no-cache-dir --no-build-isolation --no-deps --force-reinstall \
		--config-settings=build-dir='$(BUILD_DIR)' \
		--config-settings=cmake.define.VELKORIN_WERROR=$(WERROR) \
		--config-settings=cmake.define.VELKORIN_PORTABLE=$(PORTABLE) .

## test: build with -Werror and install, run the native tests (ctest) and pytest, print one summary line
test: WERROR = ON
test: install
	scripts/test-all.sh

## python-test: build with -Werror and install, run pytest only (needs no GoogleTest)
python-test: WERROR = ON
python-test: install
	scripts/run-pytest.sh tests/python

## native-test: build the GoogleTest runner (preset $(NATIVE_PRESET): Debug, -Werror) and run it with ctest
native-test: WERROR = ON
native-test:
	scripts/native-test.sh

## test-3.13: build and install for CPython 3.13 in .venv-3.13 and run pytest
test-3.13:
	$(MAKE) python-test PY_VERSION=3.13 VENV=.venv-3.13

## test-clang: `make test` built with $(CLANG) (installed with apt-get if missing), in .venv-clang
test-clang:
	scripts/ensure-clang.sh $(CLANG)
	$(MAKE) test CXX=$(CLANG) VENV=.venv-clang BUILD_PREFIX=$(CLANG)- NATIVE_PRESET=clang NATIVE_BUILD=build/native-$(CLANG)

## typecheck: check the shipped stubs against the built module; mypy on examples/
typecheck: WERROR = ON
typecheck: install
	scripts/setup-venv.sh typecheck
	$(PY) -m mypy.stubtest velkorin
	$(PY) -m mypy --strict examples

## sanitize: ASan+UBSan build in build/sanitize, whole pytest suite against it
sanitize:
	scripts/setup-venv.sh test
	scripts/sanitize.sh tests/python

## fuzz: build the libFuzzer targets of fuzz/ (clang, ASan+UBSan) and run each for FUZZ_SECONDS
fuzz:
	FUZZ_SECONDS=$(FUZZ_SECONDS) FUZZ_CXX=$(CLANG) scripts/fuzz.sh

## test-portable: `make test` on a build without SIMD intrinsics, in .venv-portable
test-portable:
	$(MAKE) test PORTABLE=ON VENV=.venv-portable BUILD_PREFIX=portable-

## test-aarch64: cross-build the native tests for aarch64 Linux (NEON) and run them under qemu-user
test-aarch64:
	scripts/cross-test.sh aarch64

## test-windows: cross-build the native tests for x86-64 Windows (mingw-w64) and run them under wine
test-windows:
	scripts/cross-test.sh windows

## wheel: an sdist, manylinux wheels for CPython 3.12 and 3.13 and a stable-ABI one (cp312-abi3), in dist/
wheel:
	scripts/build-wheels.sh 3.12 3.13 abi3

## test-wheel: install dist/'s CPython 3.12 and 3.13 wheels in fresh venvs, run pytest on each outside the tree
test-wheel:
	scripts/test-wheel.sh 3.12
	scripts/test-wheel.sh 3.13

## test-abi3: the same with dist/'s stable-ABI wheel, on CPython 3.12 and on 3.13
test-abi3:
	scripts/test-wheel.sh 3.12 abi3
	scripts/test-wheel.sh 3.13 abi3

## test-readonly: `pip install` from a read-only copy of the checkout
test-readonly:
	scripts/test-readonly-install.sh

## bench: install the bench extras and run bench/run.py (writes docs/benchmarks.*)
bench: install
	scripts/setup-venv.sh bench
	floor=$$(scripts/build-bench-floor.sh); PYTHONPATH=$$floor $(PY) bench/run.py --write-docs $(BENCH_ARGS)

## leak-check: valgrind memcheck and resident-size growth of tests/stress/stress.py
leak-check: install
	PYTHON=$(PY) scripts/leak-check.sh

## clean: remove build/, dist/ and the virtual environments
clean:
	rm -rf build dist .venv .venv-3.13 .venv-clang .venv-portable

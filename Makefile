# Set-up, build and test entry points; see README.md.
SHELL := bash
MAKEFLAGS += --no-print-directory
.SHELLFLAGS := -euo pipefail -c
.DEFAULT_GOAL := demo

PY_VERSION ?= 3.12
VENV ?= .venv
export PY_VERSION VENV
PY := $(VENV)/bin/python
JOBS ?= 2
export CMAKE_BUILD_PARALLEL_LEVEL := $(JOBS)
# CI builds with -Wall -Wextra -Werror.
PIP_BUILD := $(PY) -m pip install --disable-pip-version-check \
	--config-settings=cmake.define.VELKORIN_WERROR=ON
NATIVE_BUILD := build/native

.PHONY: demo test test-3.13 typecheck install native-test python-test sanitize bench clean leak-check

## demo: set up .venv, build and install the module, run examples/tour.py
demo: install
	$(PY) examples/tour.py

## test: build and install, then run the native tests (ctest) and pytest
test: install native-test python-test

## test-3.13: build and install for CPython 3.13 in .venv-3.13 and run pytest
test-3.13:
	$(MAKE) install python-test PY_VERSION=3.13 VENV=.venv-3.13

## typecheck: check the shipped stubs against the built module; mypy on examples/
typecheck: install
	scripts/setup-venv.sh typecheck
	$(PY) -m mypy.stubtest velkorin
	$(PY) -m mypy --strict examples

install:
	scripts/setup-venv.sh test
	$(PIP_BUILD) .

# Debug: the cores' NDEBUG-guarded checks run in the native tests.
native-test:
	scripts/ensure-gtest.sh
	cmake -S . -B $(NATIVE_BUILD) -DCMAKE_BUILD_TYPE=Debug \
		-DVELKORIN_NATIVE_TESTS=ON -DVELKORIN_MODULE=OFF -DVELKORIN_WERROR=ON
	cmake --build $(NATIVE_BUILD) -j $(JOBS)
	ctest --test-dir $(NATIVE_BUILD) --output-on-failure --no-tests=error -j $(JOBS)

python-test:
	scripts/run-pytest.sh tests/python

## sanitize: ASan+UBSan build in build/sanitize, whole pytest suite against it
sanitize:
	scripts/setup-venv.sh test
	JOBS=$(JOBS) scripts/sanitize.sh tests/python

## bench: install the bench extras and run bench/run.py (writes docs/benchmarks.*)
bench: install
	scripts/setup-venv.sh bench
	PYTHONPATH=$$(scripts/build-bench-floor.sh) $(PY) bench/run.py --write-docs $(BENCH_ARGS)

## leak-check: valgrind memcheck and resident-size growth of tests/stress/stress.py
leak-check: install
	PYTHON=$(PY) scripts/leak-check.sh

clean:
	rm -rf build .venv .venv-3.13

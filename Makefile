# One entry point for a fresh machine: `make demo` runs the main job, `make test` the suite.
SHELL := /bin/bash
PYTHON := $(shell tools/find-python313)
VENV := .venv
PY := $(VENV)/bin/python
PIP := $(VENV)/bin/pip
ASAN_VENV := .venv-asan
PYTEST_ARGS ?=

.PHONY: all setup install demo test asan bench docs fuzz-api format clean system-deps

all: test

$(VENV)/.deps: requirements-dev.txt
	@test -x $(PY) || $(PYTHON) -m venv $(VENV)
	$(PIP) install -q --upgrade pip
	$(PIP) install -q -r requirements-dev.txt
	touch $@

system-deps:
	@tools/system-deps

# The package is rebuilt on every run; CMake keeps it incremental under build/.
install: $(VENV)/.deps
	$(if $(wildcard sdk/pyproject.toml),$(PIP) install -q --no-build-isolation --no-deps ./sdk)
	$(PIP) install -q --no-build-isolation .
	$(PY) -P tools/link-built-modules
	$(if $(wildcard localcloud/pyproject.toml),$(PIP) install -q --no-build-isolation --no-deps ./localcloud)

setup: system-deps install

demo: setup
	$(PY) examples/demo.py

test: setup
	$(VENV)/bin/pytest $(PYTEST_ARGS)

# The suite again, with the extension modules built under AddressSanitizer and
# UndefinedBehaviorSanitizer and the runtimes preloaded into the ordinary python3.13.
asan: system-deps
	@test -x $(ASAN_VENV)/bin/python || $(PYTHON) -m venv $(ASAN_VENV)
	$(ASAN_VENV)/bin/pip install -q --upgrade pip
	$(ASAN_VENV)/bin/pip install -q -r requirements-dev.txt
	$(if $(wildcard sdk/pyproject.toml),$(ASAN_VENV)/bin/pip install -q --no-build-isolation --no-deps ./sdk)
	ZELTO_SANITIZE=address,undefined $(ASAN_VENV)/bin/pip install -q --no-build-isolation \
	    --config-settings=build-dir=build/asan --config-settings=cmake.build-type=Debug .
	$(if $(wildcard localcloud/pyproject.toml),$(ASAN_VENV)/bin/pip install -q --no-build-isolation --no-deps ./localcloud)
	tools/run-sanitized $(ASAN_VENV)/bin/pytest $(PYTEST_ARGS)

bench: setup
	@for b in benchmarks/bench_*.py; do echo "== $$b"; $(PY) $$b || exit 1; done

# The API reference, from the docstrings and the type stubs, into build/docs; fails on any pdoc warning.
docs: setup
	$(PY) -P tools/build-docs build/docs

# A longer Schemathesis round against a local cloud on a loopback port than the suite's own,
# with the calls per operation at the end (e.g. FUZZ_ARGS="--max-examples 1000 --seed 7").
FUZZ_ARGS ?=
fuzz-api: setup
	$(PY) tests/localcloud/api_fuzz.py $(FUZZ_ARGS)

format:
	clang-format -i $$(git ls-files '*.cpp' '*.hpp')

clean:
	rm -rf build $(VENV) $(ASAN_VENV)

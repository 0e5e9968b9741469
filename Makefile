# make demo: set up, build and run the demo on a generated phantom (files in ./dirsieve-demo).
# make test: set up, build and run every test (GoogleTest core suite, then pytest), then both again
#            against an ASan+UBSan build with repeated-call leak checks; each stage prints its time.
# make test-quick: the same without the sanitizer pass (a few minutes less).
# make test-sanitize: the core tests and the Python tests against an ASan+UBSan build (build-asan).
# make fuzz: the libFuzzer targets, FUZZ_SECONDS (default 60) each (clang, build-fuzz).
# make leakcheck / make valgrind: repeated module calls must not accumulate objects or memory.
SHELL := /bin/bash
BUILD ?= build
PY := .venv/bin/python
JOBS ?= $(shell nproc)
GENERATOR := $(shell ninja --version >/dev/null 2>&1 && echo Ninja || echo 'Unix Makefiles')

.PHONY: setup build demo test test-quick test-core test-python test-sanitize fuzz leakcheck valgrind install bench clean

setup:
	@bash scripts/setup.sh

build: setup
	@cmake -S . -B $(BUILD) -G "$(GENERATOR)" -DCMAKE_BUILD_TYPE=Release -DPython_EXECUTABLE=$(abspath $(PY)) > $(BUILD).configure.log 2>&1 || (cat $(BUILD).configure.log; exit 1)
	@cmake --build $(BUILD) -j $(JOBS) > $(BUILD).build.log 2>&1 || (tail -50 $(BUILD).build.log; exit 1)

test-core: build
	@$(BUILD)/core_tests --gtest_brief=1

test-python: build
	@PYTHONPATH=$(BUILD)/python:python $(PY) -m pytest -q tests/python

test:
	@JOBS=$(JOBS) BUILD=$(BUILD) bash scripts/test.sh full

test-quick:
	@JOBS=$(JOBS) BUILD=$(BUILD) bash scripts/test.sh quick

test-sanitize:
	@JOBS=$(JOBS) bash scripts/sanitize.sh

fuzz:
	@FUZZ_SECONDS=$(or $(FUZZ_SECONDS),60) bash scripts/fuzz.sh

leakcheck: build
	@PYTHONPATH=$(BUILD)/python:python $(PY) scripts/leakcheck.py --iterations 100 --tracemalloc

valgrind:
	@JOBS=$(JOBS) bash scripts/valgrind.sh

# Reinstalls only when a source file changed since the last install.
INSTALL_STAMP := .venv/.dirsieve-installed
SOURCES := $(shell find src python -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.j2' -o -name '*.html' -o -name '*.pyi' \) 2>/dev/null) CMakeLists.txt pyproject.toml

install: setup $(INSTALL_STAMP)

# The cmake that setup installs (a pyenv shim earlier on PATH may not resolve inside pip's build).
CMAKE_EXECUTABLE ?= $(firstword $(wildcard /usr/bin/cmake /usr/local/bin/cmake) $(shell command -v cmake))

$(INSTALL_STAMP): $(SOURCES)
	@echo "install: building and installing dirsieve into .venv"
	@CMAKE_EXECUTABLE=$(CMAKE_EXECUTABLE) $(PY) -m pip install -q --disable-pip-version-check --no-build-isolation . 2> >(grep -v '^WARNING: Location' >&2)
	@touch $@

# The demo writes into ./dirsieve-demo (reused by every run).
demo: install
	@.venv/bin/dirsieve demo dirsieve-demo

bench: build
	@for b in $(BUILD)/bench/*; do [ -x "$$b" ] && echo "== $$b" && "$$b"; done

clean:
	rm -rf $(BUILD) $(BUILD).*.log build-asan build-asan.*.log build-fuzz build-fuzz.*.log build-valgrind build-valgrind.*.log

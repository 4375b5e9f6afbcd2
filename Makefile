# make build   both Python packages into .venv, and the C++ library and the simulator into build/native
# make demo    the main job: an arm and a handle session (on the simulator when nothing is attached)
# make test    lint, then every test: C++ (ctest) and Python (pytest), sanitizers, fuzz smoke run,
#              and the wheels of the other Python versions through their smoke suite
# make lint    clang-format, clang-tidy, ruff and mypy --strict over the whole tree; fails on any finding
# make bench   the benchmarks
# make wheels  one portable (manylinux) wheel per supported Python version in dist/ (the C++
#              library compiled once for all); make wheels PY=3.12 builds that version's only
# make sanitize  the library and its C++ tests under ASan and UBSan (build/sanitize), then TSan
# make sanitize-python  the Python tests against both modules built with ASan and UBSan
# make fuzz    every fuzz target for FUZZ_SECONDS (default 60) seconds each (build/fuzz)
#
# make build and make demo install only what building needs (tools/install-system-packages
# build, requirements-build.txt); the targets that test, lint, benchmark or make wheels add the
# test tools (tools/install-system-packages test, requirements-dev.txt).

# The version of .venv, where the whole suite runs; the wheels cover every version that
# pyproject.toml lists (tools/wheels.py).
PYTHON_VERSION := 3.10
VENV := .venv
VENV_PYTHON := $(VENV)/bin/python
# make wheels PY=3.12: the versions to build wheels for (default: every supported one).
PY :=
CMAKE := $(VENV)/bin/cmake
NATIVE := build/native

.PHONY: all build native-tests test-tools lint test test-cpp test-python test-reliability test-matrix \
	demo bench wheels sanitize sanitize-python fuzz clean

all: build

$(VENV_PYTHON):
	base=$$(tools/find-python $(PYTHON_VERSION)) && "$$base" -m venv $(VENV)
	$(VENV_PYTHON) -m pip install -q --upgrade pip

$(VENV)/.build-installed: requirements-build.txt | $(VENV_PYTHON)
	$(VENV_PYTHON) -m pip install -q -r requirements-build.txt
	touch $@

$(VENV)/.dev-installed: requirements-dev.txt requirements-build.txt | $(VENV_PYTHON)
	$(VENV_PYTHON) -m pip install -q -r requirements-dev.txt
	touch $@

test-tools: $(VENV)/.dev-installed
	@tools/install-system-packages test

# The module is installed into .venv with assertions kept, so pybind11's own checks run in
# the tests; the native tree holds the simulator and the benchmarks (and the C++ tests, once
# make test has asked for them).
build: $(VENV)/.build-installed
	@tools/install-system-packages build
	$(VENV_PYTHON) -m pip install -q --no-build-isolation --no-deps . \
	  -C build-dir=build/python -C cmake.build-type=RelWithDebInfo \
	  -C cmake.define.TAMRO_KEEP_ASSERTS=ON -C cmake.define.TAMRO_WERROR=ON \
	  -C cmake.define.CMAKE_EXPORT_COMPILE_COMMANDS=ON
	$(CMAKE) -S . -B $(NATIVE) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMRO_BUILD_PYTHON=OFF \
	  -DTAMRO_BUILD_BENCH=ON -DTAMRO_WERROR=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
	$(CMAKE) --build $(NATIVE)

# The C++ tests join the native tree (GoogleTest is a test tool).
native-tests: build test-tools
	$(CMAKE) -S . -B $(NATIVE) -DTAMRO_BUILD_TESTS=ON >/dev/null
	$(CMAKE) --build $(NATIVE)

test: native-tests lint test-cpp test-python test-reliability test-matrix

# Needs the compile commands of the build trees, C++ tests included.
lint: native-tests
	tools/lint.sh

test-cpp:
	$(VENV)/bin/ctest --test-dir $(NATIVE) --output-on-failure -j2

test-python:
	$(VENV_PYTHON) -m pytest -q

# The sanitized C++ tests, and a few seconds of each fuzz target on the committed seeds.
test-reliability: test-tools
	tools/sanitize.sh
	fuzz/run.sh --smoke

# The whole suite runs on $(PYTHON_VERSION) above; the other versions' wheels are built (each
# once: their build trees are kept) and go through the smoke suite.
test-matrix: test-tools
	$(VENV_PYTHON) tools/wheels.py matrix --except $(PYTHON_VERSION)

wheels: $(VENV)/.dev-installed
	@tools/install-system-packages build
	$(VENV_PYTHON) tools/wheels.py build $(PY)

sanitize: test-tools
	tools/sanitize.sh

sanitize-python: build test-tools
	tools/sanitize.sh --python

fuzz: test-tools
	fuzz/run.sh

demo: build
	$(VENV_PYTHON) examples/demo.py $(ARGS)

bench: build test-tools
	$(VENV_PYTHON) bench/run.py

clean:
	rm -rf build dist

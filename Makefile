# make build   the module into .venv, and the C++ library, tests and simulator into build/native
# make test    lint, then every test: C++ (ctest) and Python (pytest), sanitizers, fuzz smoke run
# make lint    clang-format, clang-tidy and ruff over the whole tree; fails on any finding
# make demo    the main job: an arm and a handle session (on the simulator when nothing is attached)
# make bench   the benchmarks
# make sanitize  the library and its C++ tests under ASan and UBSan (build/sanitize)
# make fuzz    every fuzz target for FUZZ_SECONDS (default 60) seconds each (build/fuzz)

PYTHON_VERSION := 3.10
VENV := .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake
NATIVE := build/native
BASE_PYTHON := $(shell PYENV_VERSION=$(PYTHON_VERSION) pyenv which python 2>/dev/null || command -v python$(PYTHON_VERSION))

.PHONY: all build lint test test-cpp test-python test-reliability demo bench sanitize fuzz clean system-packages

all: build

system-packages:
	@tools/install-system-packages

$(VENV)/.installed: requirements-dev.txt
	@test -n "$(BASE_PYTHON)" || { echo "Python $(PYTHON_VERSION) not found (pyenv install $(PYTHON_VERSION))"; exit 1; }
	$(BASE_PYTHON) -m venv $(VENV)
	$(PY) -m pip install -q --upgrade pip
	$(PY) -m pip install -q -r requirements-dev.txt
	touch $@

# The module is installed into .venv with assertions kept, so pybind11's own checks run in
# the tests; the native tree holds the C++ tests, the simulator and the benchmarks.
build: system-packages $(VENV)/.installed
	$(PY) -m pip install -q --no-build-isolation --no-deps . \
	  -C build-dir=build/python -C cmake.build-type=RelWithDebInfo \
	  -C cmake.define.TAMRO_KEEP_ASSERTS=ON -C cmake.define.TAMRO_WERROR=ON \
	  -C cmake.define.CMAKE_EXPORT_COMPILE_COMMANDS=ON
	$(CMAKE) -S . -B $(NATIVE) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAMRO_BUILD_PYTHON=OFF -DTAMRO_BUILD_TESTS=ON \
	  -DTAMRO_BUILD_BENCH=ON -DTAMRO_WERROR=ON -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
	$(CMAKE) --build $(NATIVE)

test: build lint test-cpp test-python test-reliability

# Needs the compile commands of the build trees (make build).
lint: build
	tools/lint.sh

test-cpp:
	$(VENV)/bin/ctest --test-dir $(NATIVE) --output-on-failure -j2

test-python:
	$(PY) -m pytest -q

# The sanitized C++ tests, and a few seconds of each fuzz target on the committed seeds.
test-reliability: system-packages $(VENV)/.installed
	tools/sanitize.sh
	fuzz/run.sh --smoke

sanitize: system-packages $(VENV)/.installed
	tools/sanitize.sh

fuzz: system-packages $(VENV)/.installed
	fuzz/run.sh

demo: build
	$(PY) examples/demo.py $(ARGS)

bench: build
	$(PY) bench/run.py

clean:
	rm -rf build

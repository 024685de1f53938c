# Build, demo and test targets. `make demo` and `make test` work from a clean clone.
VENV      ?= .venv
BUILD_DIR ?= build/cp313
PY        := $(VENV)/bin/python
STAMP     := $(VENV)/.installed
SOURCES   := CMakeLists.txt pyproject.toml $(shell find src -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.py' -o -name '*.pyi' -o -name 'py.typed' \) 2>/dev/null)
PIP_BUILD := --no-build-isolation --no-deps -C build-dir=$(BUILD_DIR)
WERROR    := -C cmake.define.CMAKE_COMPILE_WARNING_AS_ERROR=$(if $(CI),ON,OFF)

.PHONY: all venv build demo test test-fast clean

all: build

$(VENV)/bin/python:
	@base=$$(tools/find-python313) || exit 1; \
	echo "using $$base"; \
	"$$base" -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet -r requirements-dev.txt

venv: $(VENV)/bin/python

$(STAMP): $(VENV)/bin/python $(SOURCES) requirements-dev.txt
	$(PY) -m pip install --quiet -r requirements-dev.txt
	$(PY) -m pip install --quiet $(PIP_BUILD) $(WERROR) .
	@touch $@

build: $(STAMP)

demo: build
	$(PY) tools/demo.py build/demo

test: build
	$(PY) -m pytest -q

test-fast: build
	$(PY) -m pytest -q -m "not slow"

clean:
	rm -rf build dist $(VENV) *.egg-info

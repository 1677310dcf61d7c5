# The commands people type. Each one creates (or reuses) the virtual
# environment in $(VENV) and installs what it needs into it.
VENV ?= .venv
PYTHON ?= python3
PY := $(VENV)/bin/python
CORE_BUILD ?= build/core-tests

.PHONY: demo test test-python test-core bench sanitize clean

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

# The main job: build a store from the default data set, index it, query it,
# save and reload it, and print what happened.
demo: $(PY)
	$(PY) -m pip install --quiet .
	$(PY) -m kestrix demo

# Everything CI checks: the Python suite against the installed wheel, and the
# C++ unit tests of the core.
test: test-python test-core

test-python: $(PY)
	$(PY) -m pip install --quiet ".[test]"
	cd tests && ../$(PY) -m pytest -q -p no:cacheprovider python

test-core:
	scripts/install-gtest.sh
	cmake -S . -B $(CORE_BUILD) -G Ninja -DKESTRIX_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(CORE_BUILD)
	ctest --test-dir $(CORE_BUILD) --output-on-failure

bench: $(PY)
	$(PY) -m pip install --quiet ".[bench]"
	$(PY) bench/run.py

clean:
	rm -rf build $(VENV)

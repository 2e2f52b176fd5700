# One command each, on a fresh machine:  make demo   make test   make lint
# Override the interpreter with PYTHON=/path/to/python3.12 (any CPython >= 3.12).

PYTHON ?= $(shell tools/find-python)
VENV   ?= .venv
PY     := $(VENV)/bin/python
SOURCES := $(shell find core include python src -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' -o -name '*.py' -o -name '*.pyi' -o -name '*.map' -o -name 'py.typed' -o -name '*.js' -o -name '*.css' \) 2>/dev/null) \
           CMakeLists.txt cmake/version.cmake pyproject.toml
# Build tools live in the venv (tools/venv installs them as pyproject.toml pins
# them) so installs skip build isolation and rebuild incrementally in build/.
EXTRAS ?= test,plot

.PHONY: all venv install install-lib browser test demo clean check-wheel test-sanitize test-matrix fuzz fuzz-smoke mutants bench lint lint-tools format

all: install

$(VENV)/.created: pyproject.toml
	@test -n "$(PYTHON)" || { echo "no suitable Python found (need CPython >= 3.12); set PYTHON=..." >&2; exit 1; }
	PYTHON="$(PYTHON)" tools/venv "$(VENV)"
	touch $@

venv: $(VENV)/.created

# flock keeps parallel invocations from building into the same tree at once.
# The venv runs the tests, so it gets the test window (_core_testing) too;
# check-wheel proves that a plain build leaves it out.
$(VENV)/.installed: $(VENV)/.created $(SOURCES)
	flock build.lock "$(PY)" -m pip install --quiet --no-build-isolation \
	    -C cmake.define.VELMORA_TEST_WINDOW=ON ".[$(EXTRAS)]"
	touch $@

install: $(VENV)/.installed

# Headless Chromium for the tests that open the HTML report (Debian's
# chromium and chromium-driver; skipped with the reason where they cannot be
# installed).
browser:
	tools/browser

test: install browser
	"$(PY)" -m pytest -q

# The library for C and C++ callers, without Python: libvelmora_funnel.so and
# .a, the headers, the CMake package VelmoraFunnel and the pkg-config file
# velmora-funnel, built with the venv's CMake in build/lib.
PREFIX ?= /usr/local
install-lib: venv
	VENV="$(VENV)" tools/install-lib "$(PREFIX)"

demo: install
	"$(PY)" -m velmora_funnel demo

# Style and types: ruff (lint and format), mypy (strict, src/ and the stubs,
# and tools/check-stub-typing on the installed stubs), clang-format and
# clang-tidy, with the tools of pyproject.toml's lint extra in the same venv.
# pre-commit install makes git run the same checks on each commit.
$(VENV)/.lint-installed: $(VENV)/.created pyproject.toml
	mkdir -p build
	"$(PY)" tools/project-requirements lint >build/lint-requirements.txt
	"$(PY)" -m pip install --quiet -r build/lint-requirements.txt
	touch $@

lint-tools: $(VENV)/.lint-installed

lint: install lint-tools
	VENV="$(VENV)" tools/lint

# Applies what the formatters and ruff's safe fixes change; make lint reports the rest.
format: lint-tools
	"$(VENV)/bin/ruff" check --fix-only --quiet .
	"$(VENV)/bin/ruff" format .
	find core include python fuzz examples -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.c' -o -name '*.h' \) \
	    -exec "$(VENV)/bin/clang-format" -i {} +

# compare against np.interp and a memory-traffic floor, n = 10^3 ... 10^7, with
# the table on stdout and JSON in bench/results/ (BENCH_ARGS="--max-n 1e6"
# skips the 10^7 rows).
BENCH_ARGS ?=
# Then the model-library rows: batch against a naive script on one generated
# library of MAT files (a tenth of 1,000 pairs, scaled; LIBRARY_ARGS="--pairs
# 1000 --scale 1" runs the whole).
LIBRARY_ARGS ?= --pairs 100 --scale 10 --repeat 1 --scheduler
# Then the HTML report's cost: a batch of 200 failing variables of 10^5
# points with and without --report, their ratio and the report's size
# (REPORT_ARGS="--files 20 --variables 10 --points 100000 --repeat 3").
REPORT_ARGS ?=
bench: install
	"$(PY)" bench/bench.py --json bench/results/latest.json $(BENCH_ARGS)
	"$(PY)" bench/library.py $(LIBRARY_ARGS)
	"$(PY)" bench/report.py $(REPORT_ARGS)

# The wheel of a plain `pip wheel .` holds the product alone: no test window,
# nothing of core/reference/ linked into the module (build/wheel-check-*).
check-wheel: venv
	tools/check-wheel

# Reliability. Each script makes its own venv and build tree and finds its own
# interpreters (PYTHON=, PYTHON312=, PYTHON313= override them).
# The whole suite with the module and the core under ASan and UBSan:
test-sanitize:
	tools/test-sanitize
# The whole suite on Python 3.12 with NumPy 1.26 and on 3.13 with the newest
# NumPy 2.x, one wheel per Python:
test-matrix:
	tools/test-matrix
# The libFuzzer targets from the committed seed corpus, FUZZ_SECONDS each
# (long runs by hand; CI runs the short smoke):
# The result-file readers are fuzzed in Python, from seed files the real
# tools write (fuzz/readers_target.py), after the libFuzzer targets.
FUZZ_SECONDS ?= 600
fuzz: install
	tools/fuzz $(FUZZ_SECONDS)
	"$(PY)" fuzz/readers_target.py --seconds $(FUZZ_SECONDS)
fuzz-smoke: install
	tools/fuzz 60
	"$(PY)" fuzz/readers_target.py --seconds 60
# The mutation run: each mutant of tools/mutants.toml seeded into a copy of
# the core (build/mutants/, one build dir per worker, rebuilt incrementally)
# and the deterministic tests of tests/core and tests/module run against it
# until the first failure; fails when a listed mutant survives. MUTANTS_ARGS
# passes --only REGEX, --limit N or --jobs N; tools/mutants --generate
# rebuilds the list from core/ and keeps its triage.
MUTANTS_ARGS ?=
mutants: install
	"$(PY)" tools/mutants $(MUTANTS_ARGS)

# Every venv and build tree the project's commands and scripts make.
clean:
	rm -rf build $(VENV) .venv-sanitize .venv-matrix-* .venv-fuzz build.lock

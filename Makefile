# One command each, on a fresh machine:  make demo   make test
# Override the interpreter with PYTHON=/path/to/python3.12 (any CPython >= 3.12).

PYTHON ?= $(shell tools/find-python)
VENV   ?= .venv
PY     := $(VENV)/bin/python
SOURCES := $(shell find core python src -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.py' -o -name '*.pyi' -o -name '*.map' -o -name 'py.typed' \) 2>/dev/null) \
           CMakeLists.txt pyproject.toml
# Build tools live in the venv so installs skip build isolation and rebuild
# incrementally in build/.
BUILD_DEPS := "scikit-build-core>=0.10" "numpy>=2.0" cmake ninja
EXTRAS ?= test,plot

.PHONY: all venv install test demo clean

all: install

$(VENV)/.created:
	@test -n "$(PYTHON)" || { echo "no suitable Python found (need CPython >= 3.12); set PYTHON=..." >&2; exit 1; }
	"$(PYTHON)" -m venv "$(VENV)"
	"$(PY)" -m pip install --quiet --upgrade pip
	"$(PY)" -m pip install --quiet $(BUILD_DEPS)
	touch $@

venv: $(VENV)/.created

# flock keeps parallel invocations from building into the same tree at once.
$(VENV)/.installed: $(VENV)/.created $(SOURCES)
	flock build.lock "$(PY)" -m pip install --quiet --no-build-isolation ".[$(EXTRAS)]"
	touch $@

install: $(VENV)/.installed

test: install
	"$(PY)" -m pytest -q

demo: install
	"$(PY)" -m velmora_funnel demo

clean:
	rm -rf build $(VENV) build.lock

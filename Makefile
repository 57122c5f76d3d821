# kavno: `make demo` runs the demo, `make test` builds everything and runs every test under every CPython >= 3.12.
SHELL := bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := test

# One "X.Y /path/to/python" line per CPython >= 3.12, newest last. .venv is the newest's venv, .venv-X.Y the others'.
FIND_PYTHONS := tools/find-pythons
VENV := .venv
PY := $(VENV)/bin/python
CPP_BUILD := build/cpp
HOST_BUILD := build/host
HOST := $(HOST_BUILD)/examples/kavno_host

# for_each_python COMMANDS: runs COMMANDS once per Python with $$version, $$python and $$venv set.
define for_each_python
	found=$$($(FIND_PYTHONS)); newest=$$(tail -n 1 <<<"$$found" | cut -d' ' -f1); \
	while read -r version python; do \
	  if [ "$$version" = "$$newest" ]; then venv=$(VENV); else venv=.venv-$$version; fi; \
	  $(1); \
	done <<<"$$found"
endef

# install_into VENV PYTHON TEST_EXTENSION: makes or refreshes the venv and installs kavno with its test extras.
install_into = tools/make-venv $(1) $(2) && \
	KAVNO_TEST_EXTENSION=$(3) $(1)/bin/python -m pip install --quiet --no-build-isolation '.[test]'

.PHONY: test build demo clean check-python venvs cpp-test python-test host

check-python:
	@if [ -z "$$($(FIND_PYTHONS))" ]; then \
	  echo "kavno needs CPython 3.12 or later, and none was found on PATH or under \$$(pyenv root)/versions." >&2; \
	  echo "Install one, for example with 'pyenv install 3.13' or 'apt-get install python3.13-dev python3.13-venv'." >&2; \
	  exit 1; \
	fi

build: check-python
	python=$$($(FIND_PYTHONS) | tail -n 1 | cut -d' ' -f2); $(call install_into,$(VENV),$$python,OFF)

venvs: check-python
	$(call for_each_python,echo "== kavno for CPython $$version ($$venv)" && $(call install_into,$$venv,$$python,ON))

cpp-test: check-python
	python=$$($(FIND_PYTHONS) | tail -n 1 | cut -d' ' -f2); tools/make-venv $(VENV) $$python
	$(PY) -m cmake -S . -B $(CPP_BUILD) -G Ninja -DKAVNO_PYTHON=OFF -DKAVNO_TESTING=ON >/dev/null
	$(PY) -m cmake --build $(CPP_BUILD)
	$(CPP_BUILD)/tests/cpp/kavno_unit_tests

# The embedding host, built against the newest CPython; its tests run in that venv.
host: check-python
	python=$$($(FIND_PYTHONS) | tail -n 1 | cut -d' ' -f2); tools/make-venv $(VENV) $$python
	$(PY) -m cmake -S . -B $(HOST_BUILD) -G Ninja -DKAVNO_PYTHON=OFF -DKAVNO_HOST=ON \
	  -DPython_EXECUTABLE=$(CURDIR)/$(PY) >/dev/null
	$(PY) -m cmake --build $(HOST_BUILD)

python-test: venvs host
	$(call for_each_python,echo "== tests under CPython $$version" && \
	  if [ "$$venv" = $(VENV) ]; then export KAVNO_HOST=$(CURDIR)/$(HOST); fi && \
	  $$venv/bin/python -m pytest -p no:cacheprovider)

test: cpp-test python-test

demo: build host
	$(PY) examples/quickstart.py
	@echo
	$(HOST)

clean:
	rm -rf build .venv .venv-* dist .hypothesis

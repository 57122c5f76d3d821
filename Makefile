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
# Warnings are errors where this is ON (CI sets it); every CMake configure and pip build below takes it.
export KAVNO_WERROR ?= OFF
CMAKE_CONFIGURE = -G Ninja -DKAVNO_WERROR=$(KAVNO_WERROR)

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

.PHONY: pictures sweep producer-example dist dist-check test build demo clean check-python venvs cpp-test python-test host test-asan test-valgrind fuzz bench bench-venvs bench-ir bench-report

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
	$(PY) -m cmake -S . -B $(CPP_BUILD) $(CMAKE_CONFIGURE) -DKAVNO_PYTHON=OFF -DKAVNO_TESTING=ON >/dev/null
	$(PY) -m cmake --build $(CPP_BUILD)
	$(VENV)/bin/ctest --test-dir $(CPP_BUILD) --output-on-failure

# The embedding host, built against the newest CPython; its tests run in that venv.
host: check-python
	python=$$($(FIND_PYTHONS) | tail -n 1 | cut -d' ' -f2); tools/make-venv $(VENV) $$python
	$(PY) -m cmake -S . -B $(HOST_BUILD) $(CMAKE_CONFIGURE) -DKAVNO_PYTHON=OFF -DKAVNO_HOST=ON \
	  -DPython_EXECUTABLE=$(CURDIR)/$(PY) >/dev/null
	$(PY) -m cmake --build $(HOST_BUILD)

python-test: venvs host
	$(call for_each_python,echo "== tests under CPython $$version" && \
	  if [ "$$venv" = $(VENV) ]; then export KAVNO_HOST=$(CURDIR)/$(HOST); fi && \
	  $$venv/bin/python -m pytest -p no:cacheprovider)

# The third-party extension of examples/producer-extension, built as its users would build it: from the kavno
# wheel of this checkout, in pip's isolated build environment, with no package index (a local wheelhouse). Then
# the README's framework-builder and sweep commands, word for word in a fresh venv.
WHEELHOUSE := build/wheelhouse
PRODUCER_VENV := .venv-producer
producer-example: check-python
	python=$$($(FIND_PYTHONS) | tail -n 1 | cut -d' ' -f2); tools/make-venv $(VENV) $$python
	rm -rf $(WHEELHOUSE)/kavno
	$(PY) -m pip wheel --quiet --no-deps --no-build-isolation -w $(WHEELHOUSE)/kavno .
	[ -f $(WHEELHOUSE)/tools/.complete ] || { $(PY) -m pip download --quiet --dest $(WHEELHOUSE)/tools \
	  "scikit-build-core>=0.11" "nanobind>=2" cmake ninja "pytest>=8" && touch $(WHEELHOUSE)/tools/.complete; }
	python=$$($(FIND_PYTHONS) | tail -n 1 | cut -d' ' -f2); rm -rf $(PRODUCER_VENV) && $$python -m venv $(PRODUCER_VENV)
	$(PRODUCER_VENV)/bin/python -m pip install --quiet --no-index --find-links $(WHEELHOUSE)/kavno \
	  --find-links $(WHEELHOUSE)/tools './examples/producer-extension[test]'
	$(PRODUCER_VENV)/bin/python -m pytest -p no:cacheprovider -q examples/producer-extension/tests
	python=$$($(FIND_PYTHONS) | tail -n 1 | cut -d' ' -f2); \
	  tools/follow-readme $$python "Built and run in a fresh virtual environment" '^71200\.0$$'; \
	  tools/follow-readme $$python "From a fresh clone (or \`make sweep\`" '^sweep: 24 backtests, 6,000,000 bars on 2 workers in '

test: cpp-test python-test producer-example

demo: build host
	$(PY) examples/quickstart.py
	@echo
	$(HOST)

# The module, the test extension, the demo host and the C++ tests built with AddressSanitizer and UBSan; the
# Python suite runs with the runtime preloaded and the interpreter's own allocator off, so that use-after-free of
# Python objects cannot hide in its pools. Leak detection is off for the interpreter (it keeps memory at exit) and
# on for the C++ tests.
SANITIZE := address,undefined
ASAN_VENV := .venv-asan
# The C++ runtime is preloaded with it: the interpreter itself links none, and the sanitizer's __cxa_throw must find
# the real one when it starts, or the first C++ exception thrown in an extension stops the process.
ASAN_RUNTIME = $$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libstdc++.so)
ASAN_ENV = LD_PRELOAD="$(ASAN_RUNTIME)" PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0:abort_on_error=0 \
	UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

test-asan: check-python
	python=$$($(FIND_PYTHONS) | tail -n 1 | cut -d' ' -f2); tools/make-venv $(ASAN_VENV) $$python
	KAVNO_TEST_EXTENSION=ON $(ASAN_VENV)/bin/python -m pip install --quiet --no-build-isolation \
	  -Cbuild-dir=build/asan -Ccmake.define.KAVNO_SANITIZE=$(SANITIZE) '.[test]'
	$(ASAN_VENV)/bin/python -m cmake -S . -B build/cpp-asan $(CMAKE_CONFIGURE) -DKAVNO_PYTHON=OFF -DKAVNO_TESTING=ON \
	  -DKAVNO_SANITIZE=$(SANITIZE) >/dev/null
	$(ASAN_VENV)/bin/python -m cmake --build build/cpp-asan
	ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 build/cpp-asan/tests/cpp/kavno_unit_tests
	$(ASAN_VENV)/bin/python -m cmake -S . -B build/host-asan $(CMAKE_CONFIGURE) -DKAVNO_PYTHON=OFF -DKAVNO_HOST=ON \
	  -DKAVNO_SANITIZE=$(SANITIZE) -DPython_EXECUTABLE=$(CURDIR)/$(ASAN_VENV)/bin/python >/dev/null
	$(ASAN_VENV)/bin/python -m cmake --build build/host-asan
	$(ASAN_ENV) KAVNO_HOST=$(CURDIR)/build/host-asan/examples/kavno_host $(ASAN_VENV)/bin/python -m pytest -p no:cacheprovider

# The Python suite under memcheck, with the interpreter's allocator off; any error fails the run. The tests marked
# not_under_memcheck (the allocation-failure sweep's hundreds of processes, the pictures) stay out.
test-valgrind: venvs
	PYTHONMALLOC=malloc valgrind --quiet --error-exitcode=99 --track-origins=no --leak-check=no \
	  --suppressions=tools/valgrind-python.supp $(PY) -m pytest -p no:cacheprovider -x -q -m "not not_under_memcheck"

# libFuzzer on the pure core, FUZZ_SECONDS per target; it needs clang with its libFuzzer runtime. New inputs go
# to build/fuzz/corpus; tests/fuzz/corpus holds the committed seeds that `make test` replays.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := rfc3339 writer calendar rounding utf8 arrow
fuzz: check-python
	python=$$($(FIND_PYTHONS) | tail -n 1 | cut -d' ' -f2); tools/make-venv $(VENV) $$python
	@if ! command -v clang++ >/dev/null || ! clang++ -fsanitize=fuzzer -x c++ - -o /dev/null <<<'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' 2>/dev/null; then \
	  echo "make fuzz needs clang++ with its libFuzzer runtime; on Debian: apt-get install clang libclang-rt-14-dev" >&2; \
	  exit 1; \
	fi
	CXX=clang++ $(PY) -m cmake -S . -B build/fuzz $(CMAKE_CONFIGURE) -DKAVNO_PYTHON=OFF -DKAVNO_TESTING=ON -DKAVNO_FUZZ=ON >/dev/null
	$(PY) -m cmake --build build/fuzz
	for target in $(FUZZ_TARGETS); do \
	  mkdir -p build/fuzz/corpus/$$target; \
	  echo "== fuzz_$$target for $(FUZZ_SECONDS) s"; \
	  build/fuzz/tests/fuzz/fuzz_$$target -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 -max_len=4096 \
	    build/fuzz/corpus/$$target tests/fuzz/corpus/$$target 2>&1 | grep -E '^(stat::number_of_executed_units|stat::peak_rss|Done|==|SUMMARY|.*property failed)' ; \
	  echo "corpus: $$(ls build/fuzz/corpus/$$target | wc -l) inputs"; \
	done

# kavno against its peers (installed from PyPI into .venv-bench-X.Y, one per CPython; setuptools for the peers
# that come as source where a free-threaded build has no wheel), timed with the contenders
# interleaved in one process (`make bench`) and counted in instructions under callgrind (`make bench-ir`); the
# results stay in build/bench-results, `make bench-report` turns them into docs/performance.md.
BENCH_RESULTS := build/bench-results
BENCH_FLAGS ?=
BENCH_PY = .venv-bench-$$($(FIND_PYTHONS) | tail -n 1 | cut -d' ' -f1)/bin/python
# A free-threaded CPython is timed without the GIL, as it runs; a peer that does not declare itself safe without it
# (ciso8601) would turn it on.
NO_GIL_FOR_FREE_THREADED = env $$([[ "$$version" == *t ]] && echo PYTHON_GIL=0)
bench-venvs: check-python
	$(call for_each_python,tools/make-venv .venv-bench-$$version $$python && \
	  .venv-bench-$$version/bin/python -m pip install --quiet setuptools && \
	  KAVNO_TEST_EXTENSION=ON .venv-bench-$$version/bin/python -m pip install --quiet --no-build-isolation \
	    -Cbuild-dir=build/bench-$$version '.[bench]')

bench: bench-venvs host
	mkdir -p $(BENCH_RESULTS)
	$(call for_each_python,echo "== time per call under CPython $$version" && \
	  $(NO_GIL_FOR_FREE_THREADED) .venv-bench-$$version/bin/python benchmarks/timing.py $(BENCH_FLAGS) \
	    -o $(BENCH_RESULTS)/timing-$$version.json)
	$(HOST) --log 0 > $(BENCH_RESULTS)/host.txt
	rm -f $(BENCH_RESULTS)/sweep*.md
	$(call for_each_python,if [ "$$venv" = $(VENV) ] || [[ "$$version" == *t ]]; then \
	  echo "== the Python backtest and the sweep under CPython $$version" && \
	  .venv-bench-$$version/bin/python benchmarks/sweep.py -o $(BENCH_RESULTS)/sweep-$$version.md; fi)
	$(BENCH_PY) benchmarks/report.py table $(BENCH_RESULTS)

bench-ir: bench-venvs
	@command -v valgrind >/dev/null || { echo "make bench-ir needs valgrind (apt-get install valgrind)" >&2; exit 1; }
	mkdir -p $(BENCH_RESULTS)
	$(call for_each_python,echo "== instructions per call under CPython $$version" && \
	  .venv-bench-$$version/bin/python benchmarks/ir.py -o $(BENCH_RESULTS)/ir-$$version.json)
	$(BENCH_PY) benchmarks/report.py table $(BENCH_RESULTS)

bench-report:
	$(BENCH_PY) benchmarks/report.py markdown $(BENCH_RESULTS)

# The README's pictures (docs/backtest.png, docs/sweep.png), drawn again from generated bars.
pictures: build
	$(PY) examples/generate.py build/pictures/backtest --bars 6000 --instruments BTCUSDT >/dev/null
	$(PY) examples/backtest.py build/pictures/backtest/BTCUSDT.parquet --log 0 --plot docs/backtest.png
	$(PY) examples/generate.py build/pictures/sweep --bars 20000 --instruments BTCUSDT,ETHUSDT,SOLUSDT >/dev/null
	$(PY) examples/sweep.py build/pictures/sweep --grid fast=5,10,20,40 --grid slow=60,120,240 --serial --quiet \
	  --out build/pictures/sweep.parquet --plot docs/sweep.png

# examples/sweep.py on a local cluster of two workers over freshly generated bars (build/sweep).
sweep: build
	$(PY) examples/generate.py build/sweep/data --bars 250000 >/dev/null
	cd build/sweep && ../../$(PY) ../../examples/sweep.py data --out sweep.parquet

# One manylinux_2_34 wheel per CPython found (free-threaded builds included) and an sdist, from the checkout as it
# is (tools/build-wheels says how they are built).
dist: check-python
	tools/build-wheels dist

# Each wheel into a fresh venv of its CPython, with the test extra, and the suite run against it (the tests that
# need the test-only extension, which no wheel ships, skip); the sdist built with that extension and its own tests
# run from it unpacked.
dist-check: dist
	for wheel in dist/*.whl; do tools/check-wheel $$wheel; done
	rm -rf build/dist-check; mkdir -p build/dist-check
	$(call for_each_python,echo "== the wheel for CPython $$version" && \
	  abi=cp$${version/./}; wheel=$$(ls dist/kavno-*-$${abi%t}-$$abi-*.whl) && \
	  $$python -m venv build/dist-check/wheel-$$version && \
	  build/dist-check/wheel-$$version/bin/python -m pip install --quiet "$$wheel[test]" && \
	  build/dist-check/wheel-$$version/bin/python -m pytest -q -p no:cacheprovider)
	python=$$($(FIND_PYTHONS) | tail -n 1 | cut -d' ' -f2); \
	$$python -m venv build/dist-check/sdist && \
	KAVNO_TEST_EXTENSION=ON build/dist-check/sdist/bin/python -m pip install --quiet "$$(ls dist/*.tar.gz)[test]" && \
	tar -xzf dist/*.tar.gz -C build/dist-check && \
	cd build/dist-check/kavno-*/ && ../sdist/bin/python -m pytest -q -p no:cacheprovider

clean:
	rm -rf build .venv .venv-* dist .hypothesis

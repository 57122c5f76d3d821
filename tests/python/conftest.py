"""Shared helpers: the leak check of every entry's tests (the leak_check marker), and factories for the records."""

import datetime as dt
import gc
import importlib.util
import pathlib
import shutil
import subprocess
import sys
import sysconfig

import pytest

import kavno

UTC = dt.timezone.utc
# With PYTHONMALLOC=malloc (the sanitizer and valgrind runs) the interpreter counts no blocks; the actions still
# run, so their paths are exercised under the memory checkers, which then do the checking.
COUNTING_BLOCKS = sys.getallocatedblocks() > 0


def assert_no_leak(action, *, expected=(), calls=2000, rounds=5, slack=None, warmup=1):
    """Run `action` many times in counted rounds; a leak is every round growing the allocated blocks.

    `expected` names the exception types the action is meant to raise: they are caught, any other propagates.
    Growth of less than one block per hundred calls (or `slack` blocks) is the allocator's own noise (free lists,
    dict resizes), never a leak of the action's, which grows by at least one block for every call it leaks in.
    """
    slack = max(1, calls // 100) if slack is None else slack

    def run():
        for _ in range(calls):
            try:
                action()
            except expected:
                pass

    for _ in range(warmup):
        run()  # warm up caches, interned strings and free lists
    if not COUNTING_BLOCKS:
        return

    def growth_of_rounds():
        growth = []
        for _ in range(rounds):
            gc.collect()
            before = sys.getallocatedblocks()
            run()
            gc.collect()
            growth.append(sys.getallocatedblocks() - before)
        return growth

    # A library's cache that fills slowly (polars') can grow in every round of the first set and then settles; a
    # leak grows just as much in a second set.
    growth = growth_of_rounds()
    if all(g > slack for g in growth):
        growth += growth_of_rounds()
        assert not all(g > slack for g in growth), f"allocated blocks grew in every round: {growth}"


def assert_refcount_steady(obj, action, *, expected=(), calls=200):
    """A leaked reference to an existing object allocates nothing: count its references instead."""
    before = sys.getrefcount(obj)
    for _ in range(calls):
        try:
            action()
        except expected:
            pass
    assert sys.getrefcount(obj) == before


IMMORTAL = 2**29  # immortal objects (3.12+) report a reference count far above this


def long_lived(funcargs):
    """Objects that outlive one run of a test body, whose references a leak would raise without allocating: the
    enumeration members (class attributes, kept for the process) and the test's own arguments."""
    members = [m for name in kavno.__all__[:7] for m in vars(getattr(kavno, name)).values()
               if type(m) is getattr(kavno, name)]
    return [obj for obj in members + list(funcargs.values()) if sys.getrefcount(obj) < IMMORTAL]


LEAK_CHECK_CALLS = 100
LEAK_CHECK_RUNS = 1 + 6 * LEAK_CHECK_CALLS  # the first run, three warm-up rounds and three counted ones (six more
# counted where every one of the first three grew)
RERUN = {"tests": 0, "runs": 0}  # what the leak check did, for the report


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "leak_check(enabled=True): after the test passes, run its body again about 600 times "
        f"({LEAK_CHECK_RUNS} runs: warm-up, then counted rounds of {LEAK_CHECK_CALLS}) and fail if the interpreter's "
        "allocated blocks grow in every round or a long-lived object gains references; the body must be a pure "
        "function of its arguments (a side effect fails the test, saying so)")
    config.addinivalue_line(
        "markers", "not_under_memcheck: hundreds of processes or a renderer's work, minutes under valgrind, and no "
        "code of kavno's that the rest of the suite does not already run there (make test-valgrind leaves it out)")


@pytest.hookimpl(wrapper=True)
def pytest_pyfunc_call(pyfuncitem):
    """The leak check of every test marked leak_check, run where the test is written: once the test has passed,
    its body runs again in counted rounds (greenlet's test base checks each test the same way). Property tests
    and tests that patch the interpreter or use temporary files are left out; they are not pure functions of their
    arguments."""
    result = yield
    marker = pyfuncitem.get_closest_marker("leak_check")
    if marker is None or (marker.args and not marker.args[0]):
        return result
    if getattr(pyfuncitem.obj, "is_hypothesis_test", False) or {"monkeypatch", "tmp_path"} & set(pyfuncitem.fixturenames):
        return result
    arguments = {name: pyfuncitem.funcargs[name] for name in pyfuncitem._fixtureinfo.argnames}
    probes = long_lived(arguments)

    def body():
        RERUN["runs"] += 1
        try:
            pyfuncitem.obj(**arguments)
        except Exception as error:
            pytest.fail(f"leak_check: the test passed, then failed when its body ran again ({type(error).__name__}: "
                        f"{error}); a test marked leak_check must be a pure function of its arguments, its body is "
                        "run about 600 times: remove the side effect or mark it leak_check(False)", pytrace=False)

    RERUN["tests"] += 1

    body()  # the first run's traceback and frames may still hold the arguments: let them go before counting
    gc.collect()
    gc.freeze()  # what exists now is not scanned again, so each collection below costs only the new objects
    try:
        before = [sys.getrefcount(obj) for obj in probes]
        if COUNTING_BLOCKS:
            # A leak grows by at least one block a run; caches that fill up slowly grow by fewer, and less each round.
            assert_no_leak(body, calls=LEAK_CHECK_CALLS, rounds=3, slack=LEAK_CHECK_CALLS // 2, warmup=3)
        else:
            for _ in range(3):  # under a memory checker, which watches these runs; a leaked reference shows below
                body()
        gc.collect()
        after = [sys.getrefcount(obj) for obj in probes]
    finally:
        gc.unfreeze()
    grown = [(probes[i], after[i] - before[i]) for i in range(len(probes)) if after[i] > before[i]]
    assert not grown, f"references grew: {grown}"
    return result


def pytest_terminal_summary(terminalreporter):
    if RERUN["tests"]:
        tests = f"{RERUN['tests']} test{'s' if RERUN['tests'] != 1 else ''}"
        terminalreporter.write_line(f"leak_check: the bodies of {tests} run again, {RERUN['runs']:,} runs in all, "
                                    "counting allocated blocks and references")


def _fields(value):
    """A date for the test producer: an int of milliseconds, or a datetime-like tuple of UTC fields."""
    if isinstance(value, dt.datetime):
        return (value.year, value.month, value.day, value.hour, value.minute, value.second, value.microsecond * 1000)
    return value


ROOT = pathlib.Path(__file__).resolve().parents[2]


@pytest.fixture(scope="session")
def compile_extension(tmp_path_factory):
    """Builds a one-file extension module with g++ (as a third-party producer would) and imports it."""
    if shutil.which("g++") is None:
        pytest.skip("no C++ compiler")
    if not (ROOT / "include").is_dir():
        pytest.skip("the headers are not beside the tests")

    def build(name, source, *, include=ROOT / "include", flags=()):
        directory = tmp_path_factory.mktemp(name)
        path = directory / f"{name}.cpp"
        path.write_text(source)
        target = directory / (name + sysconfig.get_config_var("EXT_SUFFIX"))
        command = ["g++", "-std=c++20", "-O1", "-Wall", "-Wextra", "-Werror", "-Wno-missing-field-initializers",
                   "-shared", "-fPIC", f"-DMODULE={name}", "-I", str(include), "-I", sysconfig.get_paths()["include"],
                   *flags, str(path), "-o", str(target)]
        compiled = subprocess.run(command, capture_output=True, text=True)
        assert compiled.returncode == 0, compiled.stderr
        spec = importlib.util.spec_from_file_location(name, target)
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        return module

    return build


@pytest.fixture(scope="session")
def producer():
    return pytest.importorskip("_kavno_testing", reason="the test-only producer extension is not installed")


class Records:
    """Factories with defaults, so that a test names only the fields it is about."""

    def __init__(self, producer):
        self.producer = producer

    def pair(self, **overrides):
        values = dict(kind=0, code="BTCUSDT", base="BTC", quote="USDT", min_volume=0.001, min_price=0.01,
                      min_amount=5.0)
        values.update(overrides)
        for name in ("code", "base", "quote"):
            if isinstance(values[name], str):
                values[name] = values[name].encode()
        return self.producer.make_pair(**values)

    def candle(self, **overrides):
        values = dict(kind=0, code="BTCUSDT", interval=4, open_time=dt.datetime(2024, 3, 15, tzinfo=UTC),
                      close_time=dt.datetime(2024, 3, 15, 23, 59, 59, 999000, tzinfo=UTC), open=1.0, high=2.0,
                      low=0.5, close=1.5, volume=10.0, amount=15.0, trades=7)
        values.update(overrides)
        if isinstance(values["code"], str):
            values["code"] = values["code"].encode()
        values["open_time"] = _fields(values["open_time"])
        values["close_time"] = _fields(values["close_time"])
        return self.producer.make_candle(**values)

    def order(self, **overrides):
        values = dict(id="o-1", kind=1, type=0, side=1, code="ETHUSDT", status=2, volume=3.0, price=2000.0,
                      filled_volume=1.0, filled_price=1999.5, fee=0.25,
                      create_time=dt.datetime(2024, 3, 15, 10, 30, tzinfo=UTC))
        values.update(overrides)
        for name in ("id", "code"):
            if isinstance(values[name], str):
                values[name] = values[name].encode()
        values["create_time"] = _fields(values["create_time"])
        return self.producer.make_order(**values)

    def position(self, **overrides):
        values = dict(kind=1, code="ETHUSDT", side=0, volume=2.0, price=1900.0, leverage=10)
        values.update(overrides)
        if isinstance(values["code"], str):
            values["code"] = values["code"].encode()
        return self.producer.make_position(**values)


@pytest.fixture(scope="session")
def records(producer):
    return Records(producer)

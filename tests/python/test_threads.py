"""Threads sharing kavno: entries that call back into Python (tzinfo equality, __index__, __float__, __str__ in
messages, warnings), records made and read, one CandleSeries iterated by many threads at once, producers finding
their classes while another thread rebinds one, and the first import itself raced. Eight threads, a tiny switch
interval and a thread that collects garbage all the while; on a free-threaded CPython the threads truly run at
once. Results and exceptions stay exact, every row is read once, nothing leaks."""

import datetime as dt
import gc
import subprocess
import sys
import sysconfig
import threading
import warnings

import pytest

import kavno
import kavno_feed
from conftest import assert_no_leak

UTC = dt.timezone.utc
THREADS = 8
ROUNDS = 3000
FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


class SlowUtc(dt.tzinfo):
    """Equal to UTC by its own word; its __eq__ runs Python code, so threads switch inside the comparison."""

    def __eq__(self, other):
        sum(range(10))
        return other is UTC

    __hash__ = object.__hash__


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        sum(range(5))
        return self.value


class Floaty:
    def __float__(self):
        sum(range(5))
        return 2.675


class Unprintable:
    def __str__(self):
        raise ValueError("no text")


class RaisesTypeError:
    def __float__(self):
        raise TypeError(Unprintable())


def run_threads(work, count=THREADS):
    """`work(seed)` on `count` threads at once, beside a thread that collects garbage until they are done; the first
    failure of any of them is raised here."""
    failures, done = [], threading.Event()
    start = threading.Barrier(count + 1)

    def guarded(seed):
        try:
            start.wait()
            work(seed)
        except BaseException as error:  # reported by the main thread
            failures.append(error)

    def collect():  # a young collection every millisecond (without the GIL, each stops every other thread)
        start.wait()
        while not done.wait(0.001):
            gc.collect(0)

    threads = [threading.Thread(target=guarded, args=(seed,)) for seed in range(count)]
    collector = threading.Thread(target=collect)
    for thread in [*threads, collector]:
        thread.start()
    for thread in threads:
        thread.join()
    done.set()
    collector.join()
    if failures:
        raise failures[0]


def callbacks(seed, rounds=ROUNDS):
    zone = SlowUtc()
    value = dt.datetime(2024, 5, 17, 13, 45, 12, 345678 + seed, tzinfo=zone)
    expected_text = f"2024-05-17T13:45:12.{345678 + seed:06d}+00:00"
    for i in range(rounds):
        assert kavno.date_to_str(value) == expected_text
        assert kavno.truncate_to_day(value) == dt.datetime(2024, 5, 17, tzinfo=UTC)
        assert kavno.safe_float(Floaty(), Index(2)) == 2.68
        assert kavno.OrderStatus.Filled == Index(3) and kavno.TradeSide.Long != Index(i + 1)
        assert kavno.ms_to_date(Index(i)) == dt.datetime(1970, 1, 1, 0, 0, 0, i % 1000 * 1000,
                                                         tzinfo=UTC) + dt.timedelta(seconds=i // 1000)
        with pytest.raises(TypeError) as info:
            kavno.safe_float(RaisesTypeError(), 1)
        assert str(info.value) == "argument 'value': <unprintable TypeError object>"
        with pytest.raises(ValueError) as info:
            kavno.date_to_str(dt.datetime(2024, 1, 1, tzinfo=dt.timezone(dt.timedelta(hours=seed + 1))))
        assert info.value.args == ("expected datetime.timezone.utc",)
        assert kavno.str_to_date("2016-12-31T23:59:60Z") == dt.datetime(2016, 12, 31, 23, 59, 59, tzinfo=UTC)


@pytest.fixture
def quiet_and_switching(monkeypatch):
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the leap-second warning, from every thread
        yield
    sys.setswitchinterval(interval)


def test_threads_hammering_the_entries_stay_exact_and_leak_nothing(quiet_and_switching):
    # Each run makes THREADS * ROUNDS rounds of nine calls; thread start-up allocates a little of its own.
    assert_no_leak(lambda: run_threads(callbacks), calls=1, rounds=3, slack=THREADS * ROUNDS // 100)


np = pytest.importorskip("numpy")
BARS = 20_000


@pytest.fixture(scope="module")
def series():
    minutes = np.arange(BARS, dtype=np.int64)
    close = 100.0 + minutes % 97
    return kavno_feed.candles({"open_time": minutes * 60_000, "open": close, "high": close + 1, "low": close - 1,
                               "close": close, "volume": np.ones(BARS)}, code="BTCUSDT", interval=0)


def expected_close(row):
    return 100.0 + row % 97


def test_threads_share_one_series_and_read_every_bar_exactly(series, quiet_and_switching):
    def read(seed):
        for _ in range(10):
            part = series[seed::THREADS]  # a slice of its own, then the whole series, then the shared one
            assert [bar.close for bar in part] == [expected_close(row) for row in range(seed, BARS, THREADS)]
            total = 0.0
            for bar in series:
                total += bar.close
            assert total == sum(expected_close(row) for row in range(BARS))
            assert series[-1 - seed].open_time == dt.datetime(1970, 1, 1, tzinfo=UTC) + dt.timedelta(
                minutes=BARS - 1 - seed)

    run_threads(read)


def test_threads_stepping_one_iterator_take_each_bar_once(series, quiet_and_switching):
    expected = sorted(int(expected_close(row) * 1000) + row % 60 for row in range(BARS))
    for _ in range(10):
        shared = iter(series)
        taken = [[] for _ in range(THREADS)]

        def step(seed):
            for bar in shared:
                taken[seed].append(int(bar.close * 1000) + bar.open_time.minute)

        run_threads(step)
        assert sorted(value for part in taken for value in part) == expected


def test_factories_and_reads_from_threads(quiet_and_switching):
    def make(seed):
        for i in range(4 * ROUNDS):
            bar = kavno_feed.make_candle(code=f"C{seed}", open_time=i * 60_000, close=float(i), volume=seed)
            assert (bar.code, bar.close, bar.volume, bar.interval) == (f"C{seed}", float(i), float(seed),
                                                                      kavno.CandleInterval.Min1)
            order = kavno_feed.make_order(id=str(i), code="X", side=seed % 2, price=1.0, volume=2.0, create_time=i)
            assert order.side == seed % 2 and order.id == str(i)

    assert_no_leak(lambda: run_threads(make), calls=1, rounds=3, slack=THREADS * ROUNDS // 10)


def test_producers_keep_refusing_a_class_rebound_by_another_thread(quiet_and_switching):
    real, stop = kavno.Candle, threading.Event()
    message = "kavno.Candle is not kavno's Candle record class (it is a type)"

    def rebind():
        while not stop.is_set():
            kavno.Candle = kavno.Pair
            kavno.Candle = real

    rebinder = threading.Thread(target=rebind)
    rebinder.start()
    try:
        def make(seed):
            for i in range(10 * ROUNDS):
                try:
                    bar = kavno_feed.make_candle(code="X", open_time=i, close=1.0)
                except TypeError as error:
                    assert str(error) == message
                else:
                    assert type(bar) is real  # never a record of another class

        run_threads(make)
    finally:
        stop.set()
        rebinder.join()
        kavno.Candle = real
    assert type(kavno_feed.make_candle(code="X", open_time=0, close=1.0)) is real


def test_threads_letting_go_of_one_stream_release_it_once(producer, quiet_and_switching):
    columns = [("open_time", "tsm:UTC", [i * 60_000 for i in range(64)])] + [
        (name, "g", [float(i) for i in range(64)]) for name in ("open", "high", "low", "close", "volume")]

    class Stream:
        def __init__(self):
            self.capsule = producer.arrow_stream(columns, 8)

        def __arrow_c_stream__(self, requested_schema=None):
            return self.capsule

    def outstanding():
        counts = producer.arrow_counts()
        return [e - r for e, r in zip(counts["exported"], counts["released"])]

    before = outstanding()
    for _ in range(200):
        shared = kavno_feed.candles(Stream(), code="X", interval=0)
        views = [shared[seed::THREADS] for seed in range(THREADS)]
        del shared

        def drop(seed):
            view = views[seed]
            views[seed] = None
            assert [bar.close for bar in view] == [float(i) for i in range(seed, 64, THREADS)]

        run_threads(drop)
        assert outstanding() == before  # the last thread to let go released all eight batches, once


RACED_IMPORT = """
import _imp, importlib.util, sys, threading
name = sys.argv[1]
spec = importlib.util.find_spec(name)
barrier, made = threading.Barrier(8), []
def create():
    barrier.wait()
    made.append(_imp.create_dynamic(spec))  # each call runs the module's entry, as a first import would
threads = [threading.Thread(target=create) for _ in range(8)]
for thread in threads: thread.start()
for thread in threads: thread.join()
module = made[0]
assert len(made) == 8 and all(m is module for m in made), made
print(sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else True, sorted(vars(module))[:3])
if name == "kavno":
    assert module.__all__[:2] == ["RunMode", "TradeKind"] and len(module.__all__) == 18
    assert all(type(getattr(module.RunMode, member)) is module.RunMode for member in ("Backtest", "Simulation", "Live"))
"""


@pytest.mark.parametrize("name", ["kavno", "kavno_feed"])
def test_threads_racing_the_first_import_get_one_module(name):
    for _ in range(10):
        result = subprocess.run([sys.executable, "-W", "error", "-c", RACED_IMPORT, name], capture_output=True,
                                text=True, timeout=120)
        assert result.returncode == 0, result.stderr
        assert result.stdout.split()[0] == str(not FREE_THREADED)  # no GIL enabled behind the suite's back

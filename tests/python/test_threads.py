"""Entries that call back into Python (tzinfo equality, __index__, __float__, __str__ in messages, warnings)
hammered from several threads with a tiny switch interval: results and exceptions stay exact, nothing leaks."""

import datetime as dt
import sys
import threading
import warnings

import pytest

import kavno
from conftest import assert_no_leak

UTC = dt.timezone.utc
THREADS = 6
ROUNDS = 3000


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


def worker(seed, failures, counts):
    zone = SlowUtc()
    value = dt.datetime(2024, 5, 17, 13, 45, 12, 345678 + seed, tzinfo=zone)
    expected_text = f"2024-05-17T13:45:12.{345678 + seed:06d}+00:00"
    try:
        for i in range(ROUNDS):
            assert kavno.date_to_str(value) == expected_text
            assert kavno.truncate_to_day(value) == dt.datetime(2024, 5, 17, tzinfo=UTC)
            assert kavno.safe_float(Floaty(), Index(2)) == 2.68
            assert kavno.OrderStatus.Filled == Index(3) and kavno.TradeSide.Long != Index(i + 1)
            assert kavno.ms_to_date(Index(i)) == dt.datetime(1970, 1, 1, 0, 0, 0, i % 1000 * 1000,
                                                             tzinfo=UTC) + dt.timedelta(seconds=i // 1000)
            try:
                kavno.safe_float(RaisesTypeError(), 1)
            except TypeError as error:
                assert str(error) == "argument 'value': <unprintable TypeError object>"
            try:
                kavno.date_to_str(dt.datetime(2024, 1, 1, tzinfo=dt.timezone(dt.timedelta(hours=seed + 1))))
            except ValueError as error:
                assert error.args == ("expected datetime.timezone.utc",)
            assert kavno.str_to_date("2016-12-31T23:59:60Z") == dt.datetime(2016, 12, 31, 23, 59, 59, tzinfo=UTC)
            counts[seed] += 1
    except BaseException as error:  # reported by the main thread
        failures.append(error)


def hammer():
    failures, counts = [], [0] * THREADS
    threads = [threading.Thread(target=worker, args=(seed, failures, counts)) for seed in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not failures, failures[0]
    assert counts == [ROUNDS] * THREADS
    return sum(counts)


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
    # Each hammer makes THREADS * ROUNDS rounds of calls; thread start-up allocates a little of its own.
    assert_no_leak(hammer, calls=1, rounds=3, slack=THREADS * ROUNDS // 100)

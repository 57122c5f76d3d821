"""Shared helpers: the leak check every entry's tests use, and factories for the four records."""

import datetime as dt
import gc
import sys

import pytest

UTC = dt.timezone.utc
# With PYTHONMALLOC=malloc (the sanitizer and valgrind runs) the interpreter counts no blocks; the actions still
# run, so their paths are exercised under the memory checkers, which then do the checking.
COUNTING_BLOCKS = sys.getallocatedblocks() > 0


def assert_no_leak(action, *, expected=(), calls=2000, rounds=5):
    """Run `action` many times in counted rounds; a leak is every round growing the allocated blocks.

    `expected` names the exception types the action is meant to raise: they are caught, any other propagates.
    Growth of less than one block per hundred calls is the allocator's own noise (free lists, dict resizes),
    never a leak of the action's, which grows by at least one block for every call it leaks in.
    """
    slack = calls // 100

    def run():
        for _ in range(calls):
            try:
                action()
            except expected:
                pass

    run()  # warm up caches, interned strings and free lists
    if not COUNTING_BLOCKS:
        return
    growth = []
    for _ in range(rounds):
        gc.collect()
        before = sys.getallocatedblocks()
        run()
        gc.collect()
        growth.append(sys.getallocatedblocks() - before)
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


@pytest.fixture
def no_leak():
    return assert_no_leak


@pytest.fixture
def refcount_steady():
    return assert_refcount_steady


def _fields(value):
    """A date for the test producer: an int of milliseconds, or a datetime-like tuple of UTC fields."""
    if isinstance(value, dt.datetime):
        return (value.year, value.month, value.day, value.hour, value.minute, value.second, value.microsecond * 1000)
    return value


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

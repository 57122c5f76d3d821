"""Every row of every failure table, and the success paths beside them, through the shared leak check; with a
reference-count probe on each argument object, since a leaked reference to an existing object allocates nothing.
Arguments are made fresh (not interned, not immortal) for each row."""

import datetime as dt
import sys
import warnings

import pytest

import kavno
from operands import Index, RaisingIndex, RaisingFloat
from conftest import assert_no_leak, assert_refcount_steady

UTC = dt.timezone.utc
EIGHT = dt.timezone(dt.timedelta(hours=8))


class EqRaises(dt.tzinfo):
    def __init__(self, error):
        self.error = error

    def __eq__(self, other):
        raise self.error("eq")

    __hash__ = object.__hash__


class Truthless:
    def __bool__(self):
        raise ZeroDivisionError


class TruthRaises(dt.tzinfo):
    def __eq__(self, other):
        return Truthless()

    __hash__ = object.__hash__


def text(value):
    return "".join(list(value))  # a new str object, never the interned literal


def big(value):
    return int(str(value))  # a new int object


# (row, arguments made fresh, the call, the exception it raises or None)
ROWS = [
    # safe_float
    ("safe_float ok", lambda: (1.0 + 1.675, big(2)), kavno.safe_float, None),
    ("safe_float ok index", lambda: (2.5, Index(1)), kavno.safe_float, None),
    ("safe_float value TypeError", lambda: (text("x"), 2), kavno.safe_float, TypeError),
    ("safe_float value OverflowError", lambda: (big(10**400), 2), kavno.safe_float, OverflowError),
    ("safe_float value hook raises", lambda: (RaisingFloat(), 2), kavno.safe_float, RuntimeError),
    ("safe_float decimals TypeError", lambda: (1.0, 2.5), kavno.safe_float, TypeError),
    ("safe_float decimals negative", lambda: (1.0, big(-1)), kavno.safe_float, OverflowError),
    ("safe_float decimals 2**64", lambda: (1.0, big(2**64)), kavno.safe_float, OverflowError),
    ("safe_float decimals 2**32", lambda: (1.0, big(2**32)), kavno.safe_float, OverflowError),
    ("safe_float decimals index 2**32", lambda: (1.0, Index(big(2**32))), kavno.safe_float, OverflowError),
    ("safe_float decimals index raises", lambda: (1.0, RaisingIndex()), kavno.safe_float, KeyError),
    # the datetime bridge, through both helpers that take a datetime
    *[(f"{f.__name__} {row}", make, f, error) for f in (kavno.truncate_to_day, kavno.date_to_str) for row, make, error in [
        ("ok", lambda: (dt.datetime(2024, 5, 17, 13, 45, 12, 345678, tzinfo=UTC),), None),
        ("ok zero-offset zone", lambda: (dt.datetime(2024, 5, 17, tzinfo=dt.timezone(dt.timedelta(0), "Z")),), None),
        ("not a datetime", lambda: (dt.date(2024, 1, 1),), TypeError),
        ("naive", lambda: (dt.datetime(2024, 1, 1),), TypeError),
        ("other zone", lambda: (dt.datetime(2024, 1, 1, tzinfo=EIGHT),), ValueError),
        ("eq raises TypeError", lambda: (dt.datetime(2024, 1, 1, tzinfo=EqRaises(TypeError)),), TypeError),
        ("eq raises RuntimeError", lambda: (dt.datetime(2024, 1, 1, tzinfo=EqRaises(RuntimeError)),), RuntimeError),
        ("truth raises", lambda: (dt.datetime(2024, 1, 1, tzinfo=TruthRaises()),), ZeroDivisionError),
    ]],
    ("truncate_to_day outside nanoseconds", lambda: (dt.datetime(1, 1, 1, tzinfo=UTC),), kavno.truncate_to_day,
     RuntimeError),
    ("truncate_to_day before 1970", lambda: (dt.datetime(1690, 1, 1, 5, tzinfo=UTC),), kavno.truncate_to_day, None),
    # str_to_date
    ("str_to_date ok", lambda: (text("2024-03-15T10:30:00.123+08:00"),), kavno.str_to_date, None),
    ("str_to_date out of range", lambda: (text("2024-13-01T00:00:00Z"),), kavno.str_to_date, RuntimeError),
    ("str_to_date invalid", lambda: (text("2024/03/15T10:30:00Z"),), kavno.str_to_date, RuntimeError),
    ("str_to_date too short", lambda: (text("2024-03-15"),), kavno.str_to_date, RuntimeError),
    ("str_to_date too long", lambda: (text("2024-03-15T10:30:00Z!"),), kavno.str_to_date, RuntimeError),
    ("str_to_date year 0", lambda: (text("0000-01-01T00:00:00Z"),), kavno.str_to_date, ValueError),
    ("str_to_date not UTF-8", lambda: (text("2024\udc80"),), kavno.str_to_date, UnicodeEncodeError),
    ("str_to_date bytes", lambda: (b"2024-03-15T10:30:00Z" + b"",), kavno.str_to_date, TypeError),
    ("str_to_date str subclass", lambda: (type("S", (str,), {})("2024-03-15T10:30:00Z"),), kavno.str_to_date, None),
    # ms_to_date
    ("ms_to_date ok", lambda: (big(1_700_000_000_123),), kavno.ms_to_date, None),
    ("ms_to_date ok index", lambda: (Index(big(-1)),), kavno.ms_to_date, None),
    ("ms_to_date ValueError", lambda: (big(253402300800000),), kavno.ms_to_date, ValueError),
    ("ms_to_date RuntimeError", lambda: (big(8210266876800000),), kavno.ms_to_date, RuntimeError),
    ("ms_to_date OverflowError", lambda: (big(2**63),), kavno.ms_to_date, OverflowError),
    ("ms_to_date TypeError", lambda: (1.5,), kavno.ms_to_date, TypeError),
    # the clock, and the interpreter's refusal of arguments
    ("now_date", lambda: (), kavno.now_date, None),
    ("now_ms", lambda: (), kavno.now_ms, None),
    ("now_ms refuses an argument", lambda: (big(1),), kavno.now_ms, TypeError),
    # classes
    ("constructor refused", lambda: (big(1), text("x")), kavno.Pair, TypeError),
    ("enum repr", lambda: (kavno.EventType.QuoteChange,), repr, None),
    ("enum int", lambda: (kavno.CandleInterval.Day1,), int, None),
    ("enum == fresh int", lambda: (kavno.OrderStatus.Filled, big(3)), lambda a, b: a == b, None),
    ("enum == huge int", lambda: (kavno.OrderStatus.Filled, big(2**90)), lambda a, b: a == b, None),
    ("enum == raising index", lambda: (kavno.OrderStatus.Filled, RaisingIndex()), lambda a, b: a == b, None),
    ("enum < int", lambda: (kavno.OrderStatus.Filled, big(3)), lambda a, b: a < b, TypeError),
]


@pytest.mark.parametrize("row, make, call, error", ROWS, ids=[row[0] for row in ROWS])
def test_no_leak_on_any_path(row, make, call, error):
    expected = error or ()

    def action():
        call(*make())

    assert_no_leak(action, expected=expected, calls=1000)
    arguments = make()
    for argument in arguments:
        if sys.getrefcount(argument) < 2**30:  # immortal objects need no probe
            assert_refcount_steady(argument, lambda: call(*arguments), expected=expected)


def test_leap_second_paths_do_not_leak(monkeypatch):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert_no_leak(lambda: kavno.str_to_date("2016-12-31T23:59:60Z"), calls=1000)
    monkeypatch.setattr(sys, "unraisablehook", lambda unraisable: None)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        assert_no_leak(lambda: kavno.str_to_date("2016-12-31T23:59:60Z"), calls=1000)


RECORD_ROWS = [
    ("read every field", lambda r: [getattr(r.candle(), f) for f in ("kind", "code", "interval", "open_time",
                                                                     "close_time", "close", "trades")], None),
    ("read a stored year 0", lambda r: r.candle(open_time=(0, 1, 1, 0, 0, 0, 0)).open_time, ValueError),
    ("write refused", lambda r: setattr(r.order(), "status", 1), AttributeError),
    ("delete refused", lambda r: delattr(r.position(), "leverage"), AttributeError),
    ("new attribute refused", lambda r: setattr(r.pair(), "note", 1), AttributeError),
    ("invalid UTF-8 refused", lambda r: r.pair(code=b"\xff\xfe"), ValueError),
    ("enumeration value refused", lambda r: r.order(status=9), ValueError),
    ("date refused", lambda r: r.candle(open_time=2**62), ValueError),
]


@pytest.mark.parametrize("row, action, error", RECORD_ROWS, ids=[row[0] for row in RECORD_ROWS])
def test_records_no_leak_on_any_path(records, row, action, error):
    assert_no_leak(lambda: action(records), expected=error or (), calls=1000)

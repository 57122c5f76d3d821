"""kavno_feed: the factories (defaults, refusals, enumeration and date rules) and candles() over every kind of
columnar input (pyarrow, polars, pandas, NumPy), with its column types, refusals and the life of what it reads."""

import collections.abc
import datetime as dt
import gc
import math
import struct
import sys

import pytest
from hypothesis import given, settings, strategies as st

import kavno
import kavno_feed as feed
from conftest import assert_no_leak
from kavno import CandleInterval, OrderStatus, TradeKind, TradeSide, TradeType

np = pytest.importorskip("numpy")
pa = pytest.importorskip("pyarrow")

UTC = dt.timezone.utc
T0 = dt.datetime(2024, 3, 15, 10, 30, tzinfo=UTC)
MS0 = 1_710_498_600_000  # T0 in milliseconds

pytestmark = pytest.mark.leak_check


def utc(*fields):
    return dt.datetime(*fields, tzinfo=UTC)


def fields(record, names):
    return {name: getattr(record, name) for name in names}


# --- factories: what a test must say, and the defaults for the rest ---------------------------------------------

def test_make_candle_defaults():
    bar = feed.make_candle(code="BTCUSDT", open_time=T0, close=71_200.0)
    assert type(bar) is kavno.Candle
    assert fields(bar, ["open", "high", "low", "close", "volume", "amount", "trades"]) == dict(
        open=71_200.0, high=71_200.0, low=71_200.0, close=71_200.0, volume=0.0, amount=0.0, trades=0)
    assert (bar.kind, bar.interval, bar.code) == (TradeKind.Spot, CandleInterval.Min1, "BTCUSDT")
    assert (bar.open_time, bar.close_time) == (T0, utc(2024, 3, 15, 10, 30, 59, 999000))


@pytest.mark.parametrize("given, expected", [
    (dict(open=10.0), dict(open=10.0, high=12.0, low=10.0)),  # high = max(open, close), low = min(open, close)
    (dict(open=14.0), dict(open=14.0, high=14.0, low=12.0)),
    (dict(open=11.0, high=20.0, low=1.0), dict(open=11.0, high=20.0, low=1.0)),
    (dict(interval=CandleInterval.Day1), dict(close_time=utc(2024, 3, 16, 10, 29, 59, 999000))),
    (dict(interval=3), dict(close_time=utc(2024, 3, 15, 11, 29, 59, 999000))),
    (dict(close_time=MS0 + 5), dict(close_time=utc(2024, 3, 15, 10, 30, 0, 5000))),
    (dict(open=None, kind=None, trades=None), dict(open=12.0, kind=TradeKind.Spot, trades=0)),  # None: the default
])
def test_make_candle_derived_defaults(given, expected):
    bar = feed.make_candle(code="X", open_time=T0, close=12.0, **given)
    assert fields(bar, expected) == expected


def test_make_order_position_and_pair_defaults():
    order = feed.make_order(id="o-1", code="ETHUSDT", side=TradeSide.Short, price=2000.0, volume=3,
                            create_time=MS0)
    assert (order.kind, order.type, order.status) == (TradeKind.Spot, TradeType.Limit, OrderStatus.Created)
    assert (order.filled_volume, order.filled_price, order.fee, order.volume) == (0.0, 0.0, 0.0, 3.0)
    assert (order.id, order.side, order.create_time) == ("o-1", TradeSide.Short, T0)
    position = feed.make_position(code="ETHUSDT", side=TradeSide.Long, volume=2.0, price=1900.0)
    assert (position.kind, position.leverage) == (TradeKind.Spot, 1)
    pair = feed.make_pair(code="BTCUSDT", base="BTC", quote="USDT")
    assert (pair.kind, pair.min_volume, pair.min_price, pair.min_amount) == (TradeKind.Spot, 0.0, 0.0, 0.0)


@pytest.mark.parametrize("value", [OrderStatus.Filled, 3, True + 2])
def test_enumeration_fields_take_a_member_or_its_value(value):
    order = feed.make_order(id="o", code="X", side=1, price=1, volume=1, create_time=0, status=value)
    assert order.status == OrderStatus.Filled and type(order.status) is OrderStatus


class UtcLike(dt.tzinfo):
    """Equal to UTC by its own word, as kavno accepts it."""

    def __eq__(self, other):
        return True

    __hash__ = object.__hash__


@pytest.mark.parametrize("when", [T0, MS0, dt.datetime(2024, 3, 15, 10, 30, tzinfo=dt.timezone(dt.timedelta(0))),
                                  dt.datetime(2024, 3, 15, 10, 30, tzinfo=UtcLike())])
def test_date_fields_take_an_aware_utc_datetime_or_milliseconds(when):
    bar = feed.make_candle(code="X", open_time=when, close=1.0)
    assert (bar.open_time, bar.close_time) == (T0, T0 + dt.timedelta(seconds=59, microseconds=999_000))
    order = feed.make_order(id="o", code="X", side=0, price=1.0, volume=1.0, create_time=when)
    assert order.create_time == T0 and order.create_time.tzinfo is dt.timezone.utc


def utc_zones():
    zoneinfo = pytest.importorskip("zoneinfo")
    zones = [dt.timezone(dt.timedelta(0), "Z"), zoneinfo.ZoneInfo("UTC"), zoneinfo.ZoneInfo("Etc/UTC"),
             zoneinfo.ZoneInfo("GMT")]
    try:
        import pytz
        zones += [pytz.utc, pytz.timezone("Etc/UTC")]
    except ImportError:
        pass
    try:
        from dateutil import tz
        zones += [tz.UTC, tz.gettz("UTC")]
    except ImportError:
        pass
    return zones


def test_factories_take_every_tzinfo_that_is_utc_by_definition():
    for zone in utc_zones():
        when = dt.datetime(2024, 3, 15, 10, 30, tzinfo=zone)
        assert feed.make_candle(code="X", open_time=when, close=1.0).open_time == T0, zone


class NamedUtc(dt.tzinfo):
    """Called UTC, an hour ahead of it."""

    key = "UTC"

    def utcoffset(self, when):
        return dt.timedelta(hours=1)


@pytest.mark.parametrize("zone", ["Europe/London", "Africa/Abidjan", NamedUtc()])
def test_a_zone_at_offset_zero_by_chance_is_refused(zone):
    zone = pytest.importorskip("zoneinfo").ZoneInfo(zone) if isinstance(zone, str) else zone
    winter = dt.datetime(2024, 1, 15, tzinfo=zone)
    with pytest.raises(ValueError) as info:
        feed.make_candle(code="X", open_time=winter, close=1.0)
    assert info.value.args == ("Candle.open_time: expected datetime.timezone.utc",)


EIGHT = dt.timezone(dt.timedelta(hours=8))
CANDLE = dict(code="X", open_time=T0, close=1.0)
ORDER = dict(id="o", code="X", side=0, price=1.0, volume=1.0, create_time=T0)
POSITION = dict(code="X", side=0, volume=1.0, price=1.0)
PAIR = dict(code="X", base="B", quote="Q")


@pytest.mark.parametrize("factory, base, override, error, message", [
    (feed.make_candle, CANDLE, dict(code=5), TypeError, "Candle.code: expected a str, not int"),
    (feed.make_candle, CANDLE, dict(close="1"), TypeError, "Candle.close: expected a number, not str"),
    (feed.make_candle, CANDLE, dict(trades=1.5), TypeError, "Candle.trades: expected an int, not float"),
    (feed.make_candle, CANDLE, dict(trades=2**63), OverflowError, "Candle.trades: the value is outside the signed 64-bit range"),
    (feed.make_candle, CANDLE, dict(open_time=dt.datetime(2024, 1, 1)), TypeError,
     "Candle.open_time: expected a datetime with non-None tzinfo"),
    (feed.make_candle, CANDLE, dict(open_time=dt.datetime(2024, 1, 1, tzinfo=EIGHT)), ValueError,
     "Candle.open_time: expected datetime.timezone.utc"),
    (feed.make_candle, CANDLE, dict(open_time="2024-01-01"), TypeError,
     "Candle.open_time: 'str' object cannot be converted to 'PyDateTime'"),
    (feed.make_candle, CANDLE, dict(open_time=dt.date(2024, 1, 1)), TypeError,
     "Candle.open_time: 'date' object cannot be converted to 'PyDateTime'"),
    (feed.make_candle, CANDLE, dict(open_time=2**62), ValueError,
     "Candle.open_time: not a UTC date-time of the years -262143 to 262142"),
    (feed.make_candle, CANDLE, dict(kind=TradeSide.Long), TypeError,
     "Candle.kind: expected a TradeKind member or an int, not TradeSide"),
    (feed.make_candle, CANDLE, dict(interval="Min1"), TypeError,
     "Candle.interval: expected a CandleInterval member or an int, not str"),
    (feed.make_candle, CANDLE, dict(interval=5), ValueError, "Candle.interval: 5 is not a member value (0 to 4)"),
    (feed.make_order, ORDER, dict(status=6), ValueError, "Order.status: 6 is not a member value (0 to 5)"),
    (feed.make_order, ORDER, dict(status=-1), ValueError, "Order.status: -1 is not a member value (0 to 5)"),
    (feed.make_order, ORDER, dict(status=2**70), ValueError,
     f"Order.status: {2**70} is not a member value (0 to 5)"),
    (feed.make_order, ORDER, dict(side=TradeKind.Future), TypeError,
     "Order.side: expected a TradeSide member or an int, not TradeKind"),
    (feed.make_order, ORDER, dict(id=None), TypeError, "Order.id: expected a str, not NoneType"),
    (feed.make_position, POSITION, dict(leverage=2**31), OverflowError,
     "Position.leverage: 2147483648 is outside the signed 32-bit range"),
    (feed.make_pair, PAIR, dict(min_price=[1]), TypeError, "Pair.min_price: expected a number, not list"),
])
def test_every_refusal_names_the_field(factory, base, override, error, message):
    with pytest.raises(error) as info:
        factory(**{**base, **override})
    assert type(info.value) is error and info.value.args == (message,)


@pytest.mark.parametrize("call, message", [  # what CPython says of a Python function of the same signature
    (lambda: feed.make_pair("X", base="B", quote="Q"),
     "make_pair() takes 0 positional arguments but 1 positional argument (and 2 keyword-only arguments) were given"),
    (lambda: feed.make_pair("X", "B"), "make_pair() takes 0 positional arguments but 2 were given"),
    (lambda: feed.make_candle(code="X"), "make_candle() missing 2 required keyword-only arguments: 'open_time' and "
                                         "'close'"),
    (lambda: feed.make_candle(), "make_candle() missing 3 required keyword-only arguments: 'code', 'open_time', and "
                                 "'close'"),
    (lambda: feed.make_position(**POSITION, x=1), "make_position() got an unexpected keyword argument 'x'"),
    (lambda: feed.candles(), "candles() missing 1 required positional argument: 'data'"),
    (lambda: feed.candles({}, {}), "candles() takes 1 positional argument but 2 were given"),
    (lambda: feed.candles_by(data={}, by="code", interval=0),
     "candles_by() got some positional-only arguments passed as keyword arguments: 'data'"),
    (lambda: feed.candles({}, code="X"), "candles() missing 1 required keyword-only argument: 'interval'"),
])
def test_binding_refusals(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_the_binding_messages_are_cpythons():
    python = {}
    exec("def make_candle(*, code, open_time, close, kind=None): pass\n"
         "def candles(data, /, *, code, interval, kind=None): pass", python)
    make_candle, candles = python["make_candle"], python["candles"]
    for ours, theirs in [(lambda: feed.make_candle(1, code="X"), lambda: make_candle(1, code="X")),
                         (lambda: feed.make_candle(open_time=0), lambda: make_candle(open_time=0)),
                         (lambda: feed.candles(1, 2, code="X"), lambda: candles(1, 2, code="X")),
                         (lambda: feed.candles(data=1, code="X"), lambda: candles(data=1, code="X"))]:
        messages = []
        for call in (ours, theirs):
            with pytest.raises(TypeError) as info:
                call()
            messages.append(str(info.value))
        assert messages[0] == messages[1]


class FloatRaising:
    def __float__(self):
        raise TypeError("no float today")


@pytest.mark.parametrize("factory, base, override, error, message, cause", [
    (feed.make_candle, CANDLE, dict(close=10**400), OverflowError, "Candle.close: int too large to convert to float",
     OverflowError),
    (feed.make_pair, PAIR, dict(code="\udc80"), ValueError, "Pair.code: 'utf-8' codec can't encode character "
     "'\\udc80' in position 0: surrogates not allowed", UnicodeEncodeError),
    (feed.make_candle, CANDLE, dict(close=FloatRaising()), TypeError, "Candle.close: no float today", TypeError),
    (feed.make_candle, CANDLE, dict(kind=10**5000), ValueError,
     "Candle.kind: an int too long to show is not a member value (0 to 1)", None),
])
def test_every_refusal_names_the_field_and_keeps_its_cause(factory, base, override, error, message, cause):
    with pytest.raises(error) as info:
        factory(**{**base, **override})
    assert type(info.value) is error and info.value.args == (message,)
    assert type(info.value.__cause__) is cause if cause else info.value.__cause__ is None


# --- candles(): every kind of input ----------------------------------------------------------------------------

ROWS = [  # open_time (ms), open, high, low, close, volume
    (MS0, 100.0, 101.0, 99.0, 100.5, 5.0),
    (MS0 + 60_000, 100.5, 102.0, 100.0, 101.5, 6.5),
    (MS0 + 120_000, 101.5, 101.5, 98.0, 98.5, 0.25),
    (MS0 + 180_000, 98.5, 99.0, 97.5, 99.0, 12.0),
]
COLUMNS = ["open_time", "open", "high", "low", "close", "volume"]


def arrow_table(chunk=None):
    table = pa.table({"open_time": pa.array([r[0] for r in ROWS], pa.timestamp("ms", "UTC")),
                      **{name: [r[i] for r in ROWS] for i, name in enumerate(COLUMNS) if i},
                      "note": ["a", "b", "c", "d"]})  # ignored
    return pa.Table.from_batches(table.to_batches(max_chunksize=chunk)) if chunk else table


def numpy_mapping():
    return {"open_time": np.array([r[0] for r in ROWS], dtype=np.int64),
            **{name: np.array([r[i] for r in ROWS]) for i, name in enumerate(COLUMNS) if i}}


def polars_frame():
    pl = pytest.importorskip("polars")
    return pl.from_arrow(arrow_table())


def pandas_frame():
    pytest.importorskip("pandas")
    return arrow_table().to_pandas()


INPUTS = {
    "pyarrow Table": arrow_table,
    "pyarrow Table in chunks": lambda: arrow_table(chunk=1),
    "pyarrow RecordBatch": lambda: arrow_table().to_batches()[0],
    "pyarrow RecordBatchReader": lambda: arrow_table(chunk=3).to_reader(),
    "polars DataFrame": polars_frame,
    "pandas DataFrame": pandas_frame,
    "NumPy mapping": numpy_mapping,
}


def as_rows(series):
    return [(int(c.open_time.timestamp() * 1000), c.open, c.high, c.low, c.close, c.volume) for c in series]


@pytest.mark.parametrize("make", INPUTS.values(), ids=INPUTS.keys())
def test_every_input_kind_gives_the_same_candles(make):
    series = feed.candles(make(), code="BTCUSDT", interval=CandleInterval.Min1)
    assert as_rows(series) == ROWS
    first = series[0]
    assert type(first) is kavno.Candle and first.code == "BTCUSDT" and first.kind == TradeKind.Spot
    assert first.close_time == utc(2024, 3, 15, 10, 30, 59, 999000)
    assert (first.amount, first.trades) == (0.0, 0)


def test_the_series_is_an_immutable_sequence_of_views():
    series = feed.candles(arrow_table(chunk=3), code="BTCUSDT", interval=0, kind=TradeKind.Future)
    assert isinstance(series, collections.abc.Sequence) and len(series) == 4
    assert (series.code, series.interval, series.kind) == ("BTCUSDT", CandleInterval.Min1, TradeKind.Future)
    assert repr(series) == "CandleSeries(code='BTCUSDT', interval=CandleInterval.Min1, kind=TradeKind.Future, 4 candles)"
    assert series[-1].close == series[3].close == 99.0 and series[-4].close == 100.5
    for index in (4, -5, 2**70):
        with pytest.raises(IndexError, match="^CandleSeries index out of range$|cannot fit"):
            series[index]
    with pytest.raises(TypeError, match="^CandleSeries indices must be integers or slices, not str$"):
        series["0"]
    assert [c.close for c in series[1:3]] == [101.5, 98.5]
    assert [c.close for c in series[::-1]] == [99.0, 98.5, 101.5, 100.5]
    assert [c.close for c in series[::-2][::-1]] == [101.5, 99.0]
    assert [c.close for c in reversed(series)] == [99.0, 98.5, 101.5, 100.5]
    assert len(series[10:]) == 0 and list(series[10:]) == []
    assert series[0] is not series[0]  # a new Candle on every access
    assert series.count(series[0]) == 0
    with pytest.raises(ValueError):
        series.index(series[0])
    with pytest.raises(TypeError):
        type(series)()
    with pytest.raises(AttributeError):
        series.code = "X"


def sequence_item(sequence, index):
    """The C-level sequence protocol's item, as C code reaches a sequence: PySequence_GetItem."""
    import ctypes

    get_item = ctypes.pythonapi.PySequence_GetItem
    get_item.argtypes, get_item.restype = [ctypes.py_object, ctypes.c_ssize_t], ctypes.py_object
    return get_item(sequence, index)


@pytest.mark.parametrize("index, close", [(0, 100.5), (3, 99.0), (-1, 99.0), (-4, 100.5), (-5, None), (4, None)])
def test_the_c_sequence_protocol_counts_a_negative_index_once(index, close):
    series = feed.candles(arrow_table(), code="X", interval=0)
    if close is None:
        with pytest.raises(IndexError, match="^CandleSeries index out of range$"):
            sequence_item(series, index)
    else:
        assert sequence_item(series, index).close == close


@pytest.mark.parametrize("first, second, closes", [
    (slice(None, None, 2), slice(None, None, sys.maxsize), [100.5]),
    (slice(None, None, -3), slice(None, None, -sys.maxsize), [100.5]),
    (slice(None, None, -1), slice(-sys.maxsize, sys.maxsize, sys.maxsize), [99.0]),
    (slice(1, None), slice(sys.maxsize, None, sys.maxsize), []),
])
def test_a_slice_of_a_slice_with_a_huge_step(first, second, closes):
    view = feed.candles(arrow_table(), code="X", interval=0)[first][second]
    assert [c.close for c in view] == closes and len(view) == len(closes)


def test_optional_columns_and_every_unit(tmp_path):
    times = [MS0, MS0 + 60_000]
    base = {"open": [1.0, 2.0], "high": [1.0, 2.0], "low": [1.0, 2.0], "close": [1.0, 2.0], "volume": [1.0, 2.0]}
    for unit, scale in (("s", 1000), ("ms", 1), ("us", 0.001), ("ns", 0.000001)):
        table = pa.table({"open_time": pa.array([int(t / scale) for t in times], pa.timestamp(unit, "UTC")), **base,
                          "close_time": pa.array([t + 999 for t in times], pa.timestamp("ms", "UTC")),
                          "amount": [3.5, 4.5], "trades": pa.array([7, 8], pa.int32())})
        series = feed.candles(table, code="X", interval=CandleInterval.Min1)
        assert [c.open_time for c in series] == [T0, T0 + dt.timedelta(minutes=1)]
        assert [c.close_time for c in series] == [T0 + dt.timedelta(milliseconds=999),
                                                  T0 + dt.timedelta(minutes=1, milliseconds=999)]
        assert [(c.amount, c.trades) for c in series] == [(3.5, 7), (4.5, 8)]


@pytest.mark.parametrize("arrow_type, values, expected", [
    (pa.float32(), [1.5, -2.25], [1.5, -2.25]),
    (pa.float16(), [1.5, 65504.0], [1.5, 65504.0]),
    (pa.int8(), [-128, 127], [-128.0, 127.0]),
    (pa.uint16(), [0, 65535], [0.0, 65535.0]),
    (pa.int32(), [-2**31, 2**31 - 1], [-2.0**31, 2.0**31 - 1]),
    (pa.int64(), [-2**53, 2**53], [-2.0**53, 2.0**53]),
    (pa.uint64(), [0, 2**53], [0.0, 2.0**53]),
])
def test_number_columns_are_widened_exactly(arrow_type, values, expected):
    table = pa.table({"open_time": [0, 60_000], "open": pa.array(values, arrow_type), "high": [0.0, 0.0],
                      "low": [0.0, 0.0], "close": [0.0, 0.0], "volume": [0.0, 0.0]})
    assert [c.open for c in feed.candles(table, code="X", interval=0, check_high_low=False)] == expected


def table_with(**columns):
    base = {"open_time": pa.array([0, 60_000], pa.int64()), "open": [1.0, 2.0], "high": [1.0, 2.0],
            "low": [1.0, 2.0], "close": [1.0, 2.0], "volume": [1.0, 2.0]}
    base.update(columns)
    return pa.table({name: value for name, value in base.items() if value is not None})


@pytest.mark.parametrize("columns, error, message", [
    (dict(close=None), ValueError, "candles(): the data has no column 'close' (its columns: open_time, open, high, "
                                   "low, volume); name the columns of other names with columns={'close': ...}"),
    (dict(close=["1", "2"]), TypeError, "column 'close': a number column (float or integer) expected, found string"),
    (dict(close=pa.array(["1", "2"], pa.string_view())), TypeError,
     "column 'close': a number column (float or integer) expected, found string view"),
    (dict(close=pa.array(["1", "2"], pa.large_string())), TypeError,
     "column 'close': a number column (float or integer) expected, found large string"),
    (dict(close=[True, False]), TypeError, "column 'close': a number column (float or integer) expected, found boolean"),
    (dict(trades=[1.0, 2.0]), TypeError, "column 'trades': an integer column expected, found float64"),
    (dict(open_time=pa.array([0, 1], pa.timestamp("ms"))), TypeError,
     "column 'open_time': a timestamp without a time zone; kavno takes times as UTC instants. If the values are UTC, "
     "label them so: in pyarrow table.set_column(i, name, table[name].cast(pa.timestamp(\"ms\", tz=\"UTC\"))), in "
     "polars df.with_columns(pl.col(name).dt.replace_time_zone(\"UTC\")), in pandas df[name] = "
     "df[name].dt.tz_localize(\"UTC\")"),
    (dict(open_time=pa.array([0, 1], pa.float64())), TypeError,
     "column 'open_time': a timestamp, a date or integer times expected, found float64"),
    (dict(open_time=pa.array([0, 1], pa.duration("ms"))), TypeError,
     "column 'open_time': a timestamp, a date or integer times expected, found duration[ms]"),
    (dict(close=pa.array([1.0, None])), ValueError,
     "column 'close', row 1: a null; drop or fill such rows before reading them"),
    (dict(volume=pa.array([2**53 + 1, 0], pa.int64())), ValueError,
     "column 'volume', row 0: 9007199254740993 is beyond 2**53, which a float64 cannot hold exactly"),
    (dict(trades=pa.array([0, 2**63], pa.uint64())), ValueError,
     "column 'trades', row 1: 9223372036854775808 is beyond 64 signed bits"),
    (dict(open_time=pa.array([0, 253_402_300_800_000], pa.int64())), ValueError,
     "column 'open_time', row 1: 253402300800000 ms is outside the years 1 to 9999 that a datetime holds; if the "
     "column counts another unit, pass time_unit="),
    (dict(open_time=pa.array([0, 253_402_300_760_000], pa.int64())), ValueError,  # its close time lies beyond
     "column 'open_time', row 1: 9999-12-31T23:59:20Z opens a bar that closes outside the years 1 to 9999 that a "
     "datetime holds"),
    (dict(open_time=pa.array([-62_135_596_800_001, 0], pa.timestamp("ms", "UTC"))), ValueError,
     "column 'open_time', row 0: -62135596800001 ms is outside the years 1 to 9999 that a datetime holds"),
    (dict(close=pa.array(["a", "b"]).dictionary_encode()), TypeError,
     "column 'close': dictionary-encoded (a categorical); decode it first"),
])
def test_bad_columns_are_refused_by_name_and_row(columns, error, message):
    with pytest.raises(error) as info:
        feed.candles(table_with(**columns), code="X", interval=0)
    assert type(info.value) is error and info.value.args == (message,)


@pytest.mark.parametrize("data, error, message", [
    ([1, 2], TypeError, "candles(): the data must speak the Arrow PyCapsule interface (__arrow_c_stream__ or "
                        "__arrow_c_array__), map column names to one-dimensional buffers, or be the path of a CSV "
                        "file, not list; candles() reads columns, not rows: give a pyarrow Table, a DataFrame or a "
                        "dict of NumPy arrays"),
    (pa.array([1.0, 2.0]), TypeError, "candles(): the data must be a table of columns (an Arrow struct), not float64"),
    ({**{name: np.zeros(3) for name in COLUMNS}, "open_time": np.zeros(2, dtype=np.int64)}, ValueError,
     "column 'open': 3 rows where column 'open_time' has 2"),
    ({**{name: np.zeros(2) for name in COLUMNS}}, TypeError,
     "column 'open_time': a buffer of integer times expected (NumPy datetime64 arrays export no buffer: give "
     "integers and time_unit=)"),
    ({**{name: np.zeros(2) for name in COLUMNS}, "open_time": np.zeros(2, dtype=np.int64), "close": [1.0, 2.0]},
     TypeError, "column 'close': a one-dimensional buffer of numbers (a NumPy array, for example) expected, not list"),
    ({**{name: np.zeros(2) for name in COLUMNS}, "open_time": np.zeros((1, 2), dtype=np.int64)}, TypeError,
     "column 'open_time': the buffer is not one-dimensional"),
])
def test_unreadable_data_is_refused(data, error, message):
    with pytest.raises(error) as info:
        feed.candles(data, code="X", interval=0)
    assert info.value.args == (message,)


def test_a_strided_numpy_column_is_read_in_place():
    data = numpy_mapping()
    wide = np.zeros((4, 3))
    wide[:, 1] = data["close"]
    data["close"] = wide[:, 1]  # every third double
    assert [c.close for c in feed.candles(data, code="X", interval=0)] == [r[4] for r in ROWS]


def test_the_source_may_go_while_the_series_lives():
    table = arrow_table(chunk=2)
    series = feed.candles(table, code="X", interval=0)[1:]
    del table
    gc.collect()
    assert as_rows(series) == ROWS[1:]


# --- the life of what the series read ---------------------------------------------------------------------------

class Stream:
    """Data that speaks the Arrow PyCapsule interface through a stream capsule it was given."""

    def __init__(self, capsule):
        self.capsule = capsule

    def __arrow_c_stream__(self, requested_schema=None):
        return self.capsule


@pytest.fixture
def counted(producer):
    def stream(rows=6, chunk=2, close=None):
        prices = [float(i) for i in range(rows)]
        columns = [("open_time", "tsm:UTC", [MS0 + i * 60_000 for i in range(rows)])] + [
            (name, "g", close if name == "close" and close else prices)
            for name in ("open", "high", "low", "close", "volume")]
        return Stream(producer.arrow_stream(columns, chunk))

    def released():
        counts = producer.arrow_counts()
        return [e - r for e, r in zip(counts["exported"], counts["released"])]  # outstanding: schemas, arrays, streams

    return stream, released


def test_every_release_callback_is_called_once(counted):
    stream, outstanding = counted
    before = outstanding()
    series = feed.candles(stream(rows=6, chunk=2), code="X", interval=0)
    assert outstanding() == [before[0], before[1] + 3, before[2]]  # the stream and schema released; 3 batches held
    view = series[::2]
    del series
    gc.collect()
    assert outstanding()[1] == before[1] + 3 and [c.close for c in view] == [0.0, 2.0, 4.0]
    del view
    gc.collect()
    assert outstanding() == before


def test_a_refused_stream_releases_everything_it_took(counted):
    stream, outstanding = counted
    before = outstanding()
    with pytest.raises(ValueError, match="^column 'close', row 3: a null; drop or fill such rows before reading them$"):
        feed.candles(stream(rows=5, chunk=2, close=[1.0, 2.0, 3.0, None, 5.0]), code="X", interval=0)
    gc.collect()
    assert outstanding() == before


@pytest.mark.leak_check(False)  # checks 100,000 series itself
def test_no_leak_across_many_series(counted):
    stream, outstanding = counted
    table = arrow_table(chunk=2)
    assert_no_leak(lambda: feed.candles(table, code="X", interval=0)[-1].close, calls=20_000, rounds=5)
    before = outstanding()
    assert_no_leak(lambda: list(feed.candles(stream(rows=3, chunk=2), code="X", interval=0)), calls=2_000, rounds=3)
    assert outstanding() == before


# --- every field read from a series equals its source row --------------------------------------------------------

finite = st.floats(allow_nan=False, allow_infinity=False, width=64)
not_negative = st.floats(min_value=0.0, allow_infinity=False, width=64)
# A bar: the gap after the bar before (in intervals), two prices, high and low beyond them, volume, trades, amount.
bar = st.tuples(st.integers(1, 1000), finite, finite, not_negative, not_negative,
                not_negative, st.integers(min_value=0, max_value=2**63 - 1), not_negative)


@pytest.mark.leak_check(False)
@settings(max_examples=60, deadline=None)
@given(st.lists(bar, min_size=1, max_size=40), st.sampled_from(list(range(5))), st.integers(1, 7),
       st.integers(min_value=-62_135_596_800_000, max_value=0))
def test_every_field_read_equals_the_source_row(bars, interval, chunk, start):
    length = [60_000, 300_000, 900_000, 3_600_000, 86_400_000][interval]
    rows, open_ms = [], start
    for gap, first, last, above, below, volume, trades, amount in bars:
        open_ms += gap * length
        high = max(first, last) + above
        low = min(first, last) - below
        if math.isinf(high) or math.isinf(low):
            high, low = max(first, last), min(first, last)
        rows.append((open_ms, first, high, low, last, volume, trades, amount))
    table = pa.table({
        "open_time": pa.array([r[0] for r in rows], pa.timestamp("ms", "UTC")),
        **{name: [r[i + 1] for r in rows] for i, name in enumerate(["open", "high", "low", "close", "volume"])},
        "trades": pa.array([r[6] for r in rows], pa.int64()), "amount": [r[7] for r in rows]})
    series = feed.candles(pa.Table.from_batches(table.to_batches(max_chunksize=chunk)), code="代码", interval=interval)
    epoch = dt.datetime(1970, 1, 1, tzinfo=UTC)
    for source, candle in zip(rows, series, strict=True):
        assert candle.open_time == epoch + dt.timedelta(milliseconds=source[0])
        assert candle.close_time == epoch + dt.timedelta(milliseconds=source[0] + length - 1)
        read = (candle.open, candle.high, candle.low, candle.close, candle.volume)
        assert struct.pack("<5d", *read) == struct.pack("<5d", *source[1:6])
        assert candle.trades == source[6]
        assert struct.pack("<d", candle.amount) == struct.pack("<d", source[7])
        assert (candle.code, int(candle.interval)) == ("代码", interval)


# --- allocation failures ----------------------------------------------------------------------------------------

NO_MEMORY = """
import array, _testcapi
import kavno_feed as feed
columns = {"open_time": array.array("q", [0]), **{n: array.array("d", [1.0]) for n in ("open", "high", "low", "close", "volume")}}
calls = [lambda: feed.make_candle(code="X", open_time=0, close=1.0, trades=3, kind=1),
         lambda: feed.make_order(id="o", code="X", side=0, price=1.0, volume=1.0, create_time=0, status=2),
         lambda: feed.candles(columns, code="X", interval=0, time_unit="ms", columns={"open": "open"}),
         lambda: feed.make_candle(code="X", bogus=1)]
failed = 0
for call in calls:
    for allocation in range(1, 200):
        _testcapi.set_nomemory(allocation, allocation + 1)  # exactly one allocation fails
        try:
            call()
        except MemoryError:
            failed += 1
        except TypeError:
            pass
        finally:
            _testcapi.remove_mem_hooks()
bar = feed.make_candle(code="X", open_time=0, close=1.0, trades=3)
assert (bar.trades, bar.close) == (3, 1.0)
assert len(feed.candles(columns, code="X", interval=0)) == 1
for bad, message in ((dict(wrong=1), "make_candle() got an unexpected keyword argument 'wrong'"),
                     (dict(open_time=0), "make_candle() missing 2 required keyword-only arguments: 'code' and 'close'")):
    try:
        feed.make_candle(**bad)
    except TypeError as error:
        assert str(error) == message, error
    else:
        raise AssertionError("accepted")
print(failed)
"""


@pytest.mark.leak_check(False)
def test_every_allocation_failure_in_a_call_leaves_the_binder_sound():
    pytest.importorskip("_testcapi")
    import subprocess
    result = subprocess.run([sys.executable, "-c", NO_MEMORY], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    assert int(result.stdout) > 20  # the failures did happen


class SurrogateKey(dt.tzinfo):
    key = "\udc80"

    def utcoffset(self, when):
        return dt.timedelta(0)


def test_leverage_and_odd_zone_names():
    assert feed.make_position(code="X", side=0, volume=1.0, price=1.0, leverage=3).leverage == 3
    with pytest.raises(ValueError, match="^Candle.open_time: expected datetime.timezone.utc$"):
        feed.make_candle(code="X", open_time=dt.datetime(2024, 1, 1, tzinfo=SurrogateKey()), close=1.0)


def test_kavno_feed_refuses_a_kavno_whose_enumeration_is_no_class():
    import subprocess
    script = "import kavno; kavno.TradeSide = 5\ntry:\n    import kavno_feed\nexcept ImportError as e:\n    print(e)"
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert result.stdout == "kavno.TradeSide is not a class\n", result.stderr

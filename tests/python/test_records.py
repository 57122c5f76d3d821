"""The four record classes, made through the public producer header by the test-only extension."""

import datetime as dt
import math
import struct
import warnings

import pytest

import kavno
from kavno import CandleInterval, OrderStatus, TradeKind, TradeSide, TradeType

UTC = dt.timezone.utc

# Every test here is leak-checked where it is written (conftest.py).
pytestmark = pytest.mark.leak_check

FIELDS = {
    "Pair": ("交易对", {"kind": "交易品种", "code": "交易代码", "base": "基础货币", "quote": "计价货币",
                      "min_volume": "最小下单数量", "min_price": "最小下单价格", "min_amount": "最小下单金额"}),
    "Candle": ("K线", {"kind": "交易品种", "code": "交易代码", "interval": "K线周期", "open_time": "开盘时间",
                      "close_time": "收盘时间", "open": "开盘价", "high": "最高价", "low": "最低价",
                      "close": "收盘价", "volume": "成交量", "amount": "成交额", "trades": "交易笔数"}),
    "Order": ("订单", {"id": "订单ID", "kind": "交易品种", "type": "交易类型", "side": "交易方向", "code": "交易代码",
                     "status": "订单状态", "volume": "下单数量", "price": "下单价格", "filled_volume": "已成交数量",
                     "filled_price": "已成交均价", "fee": "交易手续费", "create_time": "下单时间"}),
    "Position": ("持仓", {"kind": "交易品种", "code": "交易代码", "side": "交易方向", "volume": "持仓数量",
                        "price": "持仓均价", "leverage": "杠杆倍率"}),
}
CLASSES = list(FIELDS)


def make(records, cls, **overrides):
    return getattr(records, cls.lower())(**overrides)


@pytest.mark.parametrize("cls", CLASSES)
def test_class_and_attribute_docs(cls):
    klass = getattr(kavno, cls)
    doc, fields = FIELDS[cls]
    assert klass.__doc__ == doc
    assert klass.__module__ == "builtins" and klass.__qualname__ == cls
    own = {name for name in vars(klass) if not name.startswith("__")}
    assert own == set(fields)
    for name, field_doc in fields.items():
        assert getattr(klass, name).__doc__ == field_doc


def test_registered_after_the_enumerations_and_before_the_functions():
    assert kavno.__all__[7:11] == CLASSES


@pytest.mark.parametrize("cls", CLASSES)
def test_no_constructor_no_subclass_no_dict_no_writes(records, cls):
    klass = getattr(kavno, cls)
    with pytest.raises(TypeError) as info:
        klass(1, 2, x=3)
    assert str(info.value) == f"No constructor defined for {cls}"
    with pytest.raises(TypeError):
        type("Sub", (klass,), {})
    record = make(records, cls)
    code = record.code
    for attempt in (lambda: setattr(record, "code", "X"), lambda: delattr(record, "code"),
                    lambda: setattr(record, "note", 1), lambda: record.__dict__):
        with pytest.raises(AttributeError):
            attempt()
    assert record.code == code


@pytest.mark.parametrize("cls", CLASSES)
def test_identity_equality_and_hash(records, cls):
    first, second = make(records, cls), make(records, cls)
    assert first == first and first != second
    assert {first: 1, second: 2}[first] == 1
    assert hash(first) == hash(first)
    assert repr(first).startswith(f"<builtins.{cls} object at 0x")


def test_pair_reads(records):
    pair = records.pair(kind=1, code="BTC-PERP", base="比特币", quote="", min_volume=0.5, min_price=math.nan,
                        min_amount=-math.inf)
    assert pair.kind == TradeKind.Future and pair.kind is not TradeKind.Future and type(pair.kind) is TradeKind
    assert (pair.code, pair.base, pair.quote) == ("BTC-PERP", "比特币", "")
    assert pair.min_volume == 0.5 and math.isnan(pair.min_price) and pair.min_amount == -math.inf
    assert pair.code is not pair.code or len(pair.code) == 0  # a new str on every read


@pytest.mark.parametrize("value", [0.0, -0.0, 1e-310, math.inf, 1.7976931348623157e308, 5e-324])
def test_doubles_read_back_bit_for_bit(records, value):
    candle = records.candle(close=value)
    assert struct.pack("<d", candle.close) == struct.pack("<d", value)


def test_nan_payload_is_kept(records):
    nan = struct.unpack("<d", struct.pack("<Q", 0x7FF8_0000_DEAD_BEEF))[0]
    assert struct.pack("<d", records.candle(open=nan).open) == struct.pack("<d", nan)


def test_candle_reads(records):
    bar = records.candle(interval=4, trades=0)
    assert bar.interval == CandleInterval.Day1 and bar.interval is not CandleInterval.Day1
    assert int(bar.interval) == 4 and bar.interval is not bar.interval
    assert bar.trades == 0 and type(bar.trades) is int and bar.trades is not False
    for name in ("open_time", "close_time"):
        value = getattr(bar, name)
        assert type(value) is dt.datetime and value.tzinfo is UTC
    assert bar.open_time == dt.datetime(2024, 3, 15, tzinfo=UTC)
    assert bar.close_time == dt.datetime(2024, 3, 15, 23, 59, 59, 999000, tzinfo=UTC)
    assert bar.open_time is not bar.open_time


@pytest.mark.parametrize("trades", [0, 1, -1, 2**63 - 1, -(2**63)])
def test_int64_field(records, trades):
    assert records.candle(trades=trades).trades == trades


@pytest.mark.parametrize("leverage", [-1, 0, 2**31 - 1, -(2**31)])
def test_int32_field(records, leverage):
    position = records.position(leverage=leverage)
    assert position.leverage == leverage and type(position.leverage) is int


def test_order_reads(records):
    order = records.order(status=2, type=1, kind=0, side=1)
    assert order.status == OrderStatus.PartialFilled and order.status == 2
    assert order.status is not OrderStatus.PartialFilled and repr(order.status) == "OrderStatus.PartialFilled"
    assert type(order.type) is TradeType and order.type == TradeType.Market
    assert type(order.kind) is TradeKind and type(order.side) is TradeSide and order.side == TradeSide.Short
    assert order.create_time.tzinfo is UTC and order.create_time == dt.datetime(2024, 3, 15, 10, 30, tzinfo=UTC)
    assert (order.id, order.code, order.fee) == ("o-1", "ETHUSDT", 0.25)


def test_dates_given_as_milliseconds(records):
    bar = records.candle(open_time=-1, close_time=1700000000123)
    assert bar.open_time == dt.datetime(1969, 12, 31, 23, 59, 59, 999000, tzinfo=UTC)
    assert bar.close_time == dt.datetime(2023, 11, 14, 22, 13, 20, 123000, tzinfo=UTC)


def test_stored_leap_second_warns_on_every_read(records):
    order = records.order(create_time=(2016, 12, 31, 23, 59, 59, 1_250_000_000))
    for _ in range(2):
        with pytest.warns(UserWarning, match="^ignored leap-second, `datetime` does not support leap-seconds$"):
            assert order.create_time == dt.datetime(2016, 12, 31, 23, 59, 59, 250000, tzinfo=UTC)


@pytest.mark.parametrize("fields", [(0, 1, 1, 0, 0, 0, 0), (10000, 1, 1, 0, 0, 0, 0), (-262143, 1, 1, 0, 0, 0, 0)])
def test_stored_year_outside_datetime_raises_on_read_and_leaves_the_record(records, fields):
    bar = records.candle(open_time=fields)
    for _ in range(2):
        with pytest.raises(ValueError) as info:
            bar.open_time
        assert type(info.value) is ValueError
    assert bar.close_time == dt.datetime(2024, 3, 15, 23, 59, 59, 999000, tzinfo=UTC)


# --- what the producer refuses ---------------------------------------------------------------------------------

@pytest.mark.parametrize("cls, field, value, message", [
    ("Pair", "kind", 2, "Pair.kind: 2 is not a member value (0 to 1)"),
    ("Candle", "interval", 5, "Candle.interval: 5 is not a member value (0 to 4)"),
    ("Order", "status", 6, "Order.status: 6 is not a member value (0 to 5)"),
    ("Order", "type", 255, "Order.type: 255 is not a member value (0 to 1)"),
    ("Position", "side", 2, "Position.side: 2 is not a member value (0 to 1)"),
    ("Pair", "code", b"\xff", "Pair.code: text is not valid UTF-8"),
    ("Pair", "quote", b"\xed\xa0\x80", "Pair.quote: text is not valid UTF-8"),  # a surrogate
    ("Order", "id", b"\xc0\xaf", "Order.id: text is not valid UTF-8"),  # overlong
    ("Candle", "code", b"ab\xe2\x82", "Candle.code: text is not valid UTF-8"),  # cut short
    ("Candle", "open_time", 8210266876800000, "Candle.open_time: not a UTC date-time of the years -262143 to 262142"),
    ("Candle", "close_time", (262143, 1, 1, 0, 0, 0, 0),
     "Candle.close_time: not a UTC date-time of the years -262143 to 262142"),
    ("Order", "create_time", (2024, 2, 30, 0, 0, 0, 0),
     "Order.create_time: not a UTC date-time of the years -262143 to 262142"),
    ("Order", "create_time", (2024, 1, 1, 0, 0, 30, 1_000_000_000),
     "Order.create_time: not a UTC date-time of the years -262143 to 262142"),
])
def test_invalid_values_are_refused(records, cls, field, value, message):
    with pytest.raises(ValueError) as info:
        make(records, cls, **{field: value})
    assert info.value.args == (message,)


def test_texts_with_nul_bytes_and_every_plane(records):
    text = "a\x00b\u00e9\u4e2d\U0001F600"
    assert records.pair(code=text.encode()).code == text


def test_a_rebound_class_is_refused_and_never_written_into(records):
    real = kavno.Candle

    class Candle:
        pass

    try:
        kavno.Candle = Candle
        with pytest.raises(TypeError) as info:
            records.candle()
        assert str(info.value) == "kavno.Candle is not kavno's Candle record class (it is a type)"
        kavno.Candle = kavno.Pair
        with pytest.raises(TypeError, match="^kavno.Candle is not kavno's Candle record class"):
            records.candle()
        del kavno.Candle
        with pytest.raises(AttributeError):
            records.candle()
    finally:
        kavno.Candle = real
    assert type(records.candle()) is real

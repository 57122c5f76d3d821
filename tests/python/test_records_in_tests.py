"""Records in tests: kavno_feed.fields and kavno_feed.same, and the pytest plugin that shows records' fields when an
assertion on them fails."""

import math
import subprocess
import sys

import pytest

import kavno_feed as feed
from kavno import OrderStatus, TradeKind, TradeSide


def candle(**changes):
    return feed.make_candle(**{"code": "BTCUSDT", "open_time": 60_000, "close": 10.0, **changes})


def test_fields_are_the_records_fields_in_order():
    position = feed.make_position(code="X", side=TradeSide.Long, volume=2.0, price=3.0)
    assert feed.fields(position) == {"kind": TradeKind.Spot, "code": "X", "side": TradeSide.Long, "volume": 2.0,
                                     "price": 3.0, "leverage": 1}
    assert list(feed.fields(candle()))[:3] == ["kind", "code", "interval"]


@pytest.mark.parametrize("left, right, expected", [
    (candle(), candle(), True),
    (candle(), candle(close=11.0), False),
    (candle(close=math.nan), candle(close=math.nan), True),
    (feed.make_pair(code="X", base="B", quote="Q"), feed.make_pair(code="X", base="B", quote="Q", min_price=0.1), False),
    (candle(), feed.make_position(code="X", side=0, volume=1.0, price=1.0), False),
])
def test_same_compares_every_field(left, right, expected):
    assert feed.same(left, right) is expected


@pytest.mark.parametrize("call, message", [
    (lambda: feed.fields(1), "fields(): expected a kavno record (Pair, Candle, Order or Position), not int"),
    (lambda: feed.same(candle(), "x"), "same(): expected a kavno record (Pair, Candle, Order or Position), not str"),
    (lambda: feed.same(candle()), "same() takes 2 arguments (two records) but 1 were given"),
])
def test_what_is_no_record_is_refused(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert info.value.args == (message,)


FAILING = '''
import kavno_feed
from kavno import OrderStatus

def test_orders():
    made = kavno_feed.make_order(id="o-1", code="BTCUSDT", side=0, price=100.0, volume=1.0, create_time=0,
                                 status=OrderStatus.Filled)
    expected = kavno_feed.make_order(id="o-1", code="BTCUSDT", side=0, price=101.0, volume=1.0, create_time=0,
                                     status=OrderStatus.Filled)
    assert made == expected
'''


def test_the_plugin_shows_the_fields_that_differ(tmp_path):
    pytest.importorskip("kavno_pytest")
    (tmp_path / "test_orders.py").write_text(FAILING)
    result = subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-q", "test_orders.py"],
                            cwd=tmp_path, capture_output=True, text=True, timeout=120)
    assert result.returncode == 1
    shown = [line for line in result.stdout.splitlines() if line.startswith("E ")]
    assert shown[:3] == [
        "E       AssertionError: assert Order == Order: kavno records compare by identity; kavno_feed.same(a, b) "
        "compares their fields",
        "E         fields that differ:",
        "E           price: 100.0 != 101.0",
    ], result.stdout
    assert shown[3].startswith("E         fields that agree: id='o-1', kind=TradeKind.Spot, type=TradeType.Limit,")


def test_the_plugin_explains_a_record_against_anything_else():
    plugin = pytest.importorskip("kavno_pytest")
    lines = plugin.explain("==", candle(), 5)
    assert lines[0] == "Candle == int: kavno records compare by identity; kavno_feed.same(a, b) compares their fields"
    assert "  close = 10.0" in lines and "  code = 'BTCUSDT'" in lines
    order = feed.make_order(id="o", code="X", side=0, price=1.0, volume=1.0, create_time=0, status=OrderStatus.Filled)
    assert plugin.explain("!=", candle(), order)[1] == "different classes: Candle and Order"
    assert plugin.explain("<", candle(), candle()) is None and plugin.explain("==", 1, 2) is None
    same_values = plugin.explain("==", candle(), candle())
    assert same_values[1] == "every field is the same (the two are different objects)"

"""The seven enumeration classes share one implementation, so they share these tests."""

import copy
import operator
import pickle
import weakref

import pytest

import kavno
from operands import Index

TABLES = {
    "RunMode": ("运行模式", ["Backtest", "Simulation", "Live"]),
    "TradeKind": ("交易品种", ["Spot", "Future"]),
    "TradeType": ("交易类型", ["Limit", "Market"]),
    "TradeSide": ("交易方向", ["Long", "Short"]),
    "OrderStatus": ("订单状态", ["Created", "Submitted", "PartialFilled", "Filled", "Canceled", "Rejected"]),
    "CandleInterval": ("K线周期", ["Min1", "Min5", "Min15", "Hour1", "Day1"]),
    "EventType": ("事件类型", ["Initialize", "Start", "Stop", "Daily", "Hourly", "Minutely", "Secondly", "Tick",
                           "QuoteChange", "AccountChange", "PositionChange", "OrderChange"]),
}
CLASSES = list(TABLES)
MEMBERS = [(cls, name, value) for cls, (_, names) in TABLES.items() for value, name in enumerate(names)]

# Every test here is leak-checked where it is written (conftest.py).
pytestmark = pytest.mark.leak_check


def member(cls, name):
    return getattr(getattr(kavno, cls), name)


def test_enumerations_lead_all_in_order():
    assert kavno.__all__[:7] == CLASSES


@pytest.mark.parametrize("cls", CLASSES)
def test_class_object(cls):
    klass = getattr(kavno, cls)
    assert klass.__name__ == klass.__qualname__ == cls
    assert klass.__module__ == "builtins"
    assert klass.__doc__ == TABLES[cls][0]
    assert repr(klass) == f"<class 'builtins.{cls}'>"
    assert klass.__hash__ is None
    assert [n for n in vars(klass) if not n.startswith("__")] == TABLES[cls][1]


@pytest.mark.parametrize("cls, name, value", MEMBERS)
def test_member_forms(cls, name, value):
    m = member(cls, name)
    assert type(m) is getattr(kavno, cls)
    assert m is member(cls, name)
    assert repr(m) == str(m) == format(m) == f"{m}" == f"{cls}.{name}"
    assert int(m) == m.__int__() == value and type(int(m)) is int
    assert bool(m) is True  # no truth-value hook, even for value 0


@pytest.mark.parametrize("cls, name, value", MEMBERS)
def test_equality_with_members_and_integers(cls, name, value):
    m = member(cls, name)
    for other_name in TABLES[cls][1]:
        other = member(cls, other_name)
        assert (m == other) is (other_name == name)
        assert (m != other) is (other_name != name)
    assert (m == value) is True and (value == m) is True and (m != value) is False
    assert (m == value + 1) is False and (m != value + 1) is True
    assert (m == (value == 1)) is (value in (0, 1))  # bool is an int
    assert m.__eq__(value) is True and m.__ne__(value) is False


class IndexRaises:
    def __index__(self):
        raise RuntimeError("swallowed")


@pytest.mark.parametrize("cls, name, value", MEMBERS)
@pytest.mark.parametrize("other", [2**70, -(2**70), 1.0, 0.0, "0", None, IndexRaises(), Index(2**80), object(), b"\x00"])
def test_values_that_are_not_integers_are_never_equal(cls, name, value, other):
    m = member(cls, name)
    assert (m == other) is False and (other == m) is False
    assert (m != other) is True and (other != m) is True
    assert m.__eq__(other) is NotImplemented


@pytest.mark.parametrize("cls, name, value", MEMBERS)
def test_index_objects_compare_by_value(cls, name, value):
    m = member(cls, name)
    assert m == Index(value) and Index(value) == m and m != Index(value + 1)


def test_members_of_different_classes_are_never_equal():
    assert (kavno.TradeKind.Spot == kavno.TradeType.Limit) is False
    assert (kavno.TradeKind.Spot != kavno.TradeType.Limit) is True
    assert (kavno.RunMode.Live == kavno.OrderStatus.PartialFilled) is False


def test_documented_examples():
    TradeSide = kavno.TradeSide
    assert TradeSide.Short == 1 and 1 == TradeSide.Short and TradeSide.Short == True  # noqa: E712
    assert TradeSide.Long == False  # noqa: E712
    assert (TradeSide.Short == 1.0) is False and (TradeSide.Short == "TradeSide.Short") is False
    assert kavno.RunMode.Live.__eq__(2) is True
    assert kavno.RunMode.Live.__lt__(3) is NotImplemented and kavno.RunMode.Live.__eq__(2.0) is NotImplemented


@pytest.mark.parametrize("op", [operator.lt, operator.le, operator.gt, operator.ge])
@pytest.mark.parametrize("other", [kavno.OrderStatus.Filled, 3, 3.0, None])
def test_ordering_is_refused(op, other):
    with pytest.raises(TypeError):
        op(kavno.OrderStatus.Created, other)
    with pytest.raises(TypeError):
        op(other, kavno.OrderStatus.Created)


@pytest.mark.parametrize("cls", CLASSES)
def test_what_the_classes_do_not_offer(cls):
    klass = getattr(kavno, cls)
    m = getattr(klass, TABLES[cls][1][0])
    for attempt in (lambda: hash(m), lambda: {m}, lambda: {m: 1}, lambda: operator.index(m), lambda: [1, 2][m],
                    lambda: list(klass), lambda: weakref.ref(m), lambda: copy.copy(m), lambda: pickle.dumps(m),
                    lambda: float(m)):
        with pytest.raises(TypeError):
            attempt()
    for attribute in ("name", "value", "__dict__"):
        with pytest.raises(AttributeError):
            getattr(m, attribute)
    assert not hasattr(klass, "__members__")
    with pytest.raises(AttributeError):
        m.x = 1


@pytest.mark.parametrize("cls", CLASSES)
def test_no_constructor_and_no_subclassing(cls):
    klass = getattr(kavno, cls)
    for args, kwargs in (((), {}), ((0,), {}), ((1, 2), {"x": 3})):
        with pytest.raises(TypeError) as info:
            klass(*args, **kwargs)
        assert str(info.value) == f"No constructor defined for {cls}"
        assert info.value.args == (f"No constructor defined for {cls}",)
    with pytest.raises(TypeError):
        type("Sub", (klass,), {})


def test_class_attributes_can_be_rebound_and_restored():
    live = kavno.RunMode.Live
    try:
        kavno.RunMode.Live = 5
        assert kavno.RunMode.Live == 5
    finally:
        kavno.RunMode.Live = live
    assert kavno.RunMode.Live is live

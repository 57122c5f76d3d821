"""The benchmark cases: every operation with its inputs and contenders, and kavno's targets.

A case is (operation, input label, contender, statement, namespace). Every contender of one operation and input
gets the same values. `kavno` is the contender under test; the others are what a user would otherwise pick.
"""

import dataclasses
import datetime as dt
import enum
import time
from decimal import ROUND_HALF_UP, Decimal

import kavno

UTC = dt.timezone.utc
EPOCH = dt.datetime(1970, 1, 1, tzinfo=UTC)
KAVNO = "kavno"

# Target: kavno's time at most this fraction of the named peer's (None: of the fastest peer).
TARGETS = {
    ("str_to_date", "ciso8601"): 0.8,
    ("str_to_date+offset", "fromisoformat+astimezone"): 0.5,
    ("date_to_str", "isoformat"): 0.25,
    ("ms_to_date", "fromtimestamp"): 0.3,
    ("ms_to_date", "epoch+timedelta"): 0.3,
    ("truncate_to_day", "replace"): 0.3,
    ("now_date", "datetime.now"): 0.5,
    ("now_ms", "time_ns//1e6"): 0.8,
    ("safe_float", "round"): 0.5,
    ("enum ==", "IntEnum"): 1.0,
    ("attribute read: close (float)", "complex.real"): 1.2,
}


def peers():
    """The installed peers; a missing one is left out of the run (and said so)."""
    found = {}
    for name in ("ciso8601", "pendulum", "whenever"):
        try:
            found[name] = __import__(name)
        except ImportError:
            print(f"note: {name} is not installed; its rows are left out")
    return found


CANDLE_FIELDS = [("kind", kavno.TradeKind), ("code", str), ("interval", kavno.CandleInterval),
                 ("open_time", dt.datetime), ("close_time", dt.datetime), ("open", float), ("high", float),
                 ("low", float), ("close", float), ("volume", float), ("amount", float), ("trades", int)]
FrozenCandle = dataclasses.make_dataclass("FrozenCandle", CANDLE_FIELDS, frozen=True, slots=True)
SlottedCandle = dataclasses.make_dataclass("SlottedCandle", CANDLE_FIELDS, slots=True)


class SlotsCandle:
    __slots__ = tuple(name for name, _ in CANDLE_FIELDS)

    def __init__(self, **fields):
        for name, value in fields.items():
            setattr(self, name, value)


class IntStatus(enum.IntEnum):
    Created = 0
    Submitted = 1
    PartialFilled = 2
    Filled = 3
    Canceled = 4
    Rejected = 5


def cases(testing):
    found = peers()
    out = []

    def add(operation, label, contender, statement, **namespace):
        out.append((operation, label, contender, statement, namespace))

    texts = {"Z": "2024-03-15T10:30:00Z", "+08:00": "2024-03-15T10:30:00+08:00",
             ".123456+08:00": "2024-03-15T10:30:00.123456+08:00"}
    for label, text in texts.items():
        operation = "str_to_date" if label == "Z" else "str_to_date+offset"
        add(operation, label, KAVNO, "f(s)", f=kavno.str_to_date, s=text)
        add(operation, label, "fromisoformat+astimezone", "f(s).astimezone(utc)", f=dt.datetime.fromisoformat, s=text,
            utc=UTC)
        if "ciso8601" in found:
            add(operation, label, "ciso8601", "f(s)", f=found["ciso8601"].parse_datetime, s=text)
        if "pendulum" in found:
            add(operation, label, "pendulum.parse", "f(s)", f=found["pendulum"].parse, s=text)
        if "whenever" in found:
            add(operation, label, "whenever", "f(s).to_stdlib()", f=found["whenever"].Instant.parse_iso, s=text)

    for label, value in (("no fraction", dt.datetime(2024, 1, 2, 3, 4, 5, tzinfo=UTC)),
                         ("microseconds", dt.datetime(2024, 1, 2, 3, 4, 5, 123456, tzinfo=UTC))):
        add("date_to_str", label, KAVNO, "f(d)", f=kavno.date_to_str, d=value)
        add("date_to_str", label, "isoformat", "d.isoformat()", d=value)
        if "whenever" in found:
            add("date_to_str", label, "whenever", "I(d).format_iso()", I=found["whenever"].Instant, d=value)

    ts = 1_700_000_000_123
    add("ms_to_date", str(ts), KAVNO, "f(ts)", f=kavno.ms_to_date, ts=ts)
    add("ms_to_date", str(ts), "fromtimestamp", "f(ts / 1000, utc)", f=dt.datetime.fromtimestamp, ts=ts, utc=UTC)
    add("ms_to_date", str(ts), "epoch+timedelta", "epoch + td(milliseconds=ts)", epoch=EPOCH, td=dt.timedelta, ts=ts)
    if "whenever" in found:
        add("ms_to_date", str(ts), "whenever", "f(ts).to_stdlib()", f=found["whenever"].Instant.from_timestamp_millis,
            ts=ts)

    day = dt.datetime(2024, 5, 17, 13, 45, 12, 345678, tzinfo=UTC)
    add("truncate_to_day", "13:45:12.345678", KAVNO, "f(d)", f=kavno.truncate_to_day, d=day)
    add("truncate_to_day", "13:45:12.345678", "replace", "d.replace(hour=0, minute=0, second=0, microsecond=0)", d=day)

    add("now_ms", "", KAVNO, "f()", f=kavno.now_ms)
    add("now_ms", "", "time_ns//1e6", "f() // 1_000_000", f=time.time_ns)
    add("now_date", "", KAVNO, "f()", f=kavno.now_date)
    add("now_date", "", "datetime.now", "f(utc)", f=dt.datetime.now, utc=UTC)

    quantum = Decimal("0.01")
    for value in (2.675, 1234.56789):
        add("safe_float", f"{value!r}, 2", KAVNO, "f(x, 2)", f=kavno.safe_float, x=value)
        add("safe_float", f"{value!r}, 2", "round", "round(x, 2)", x=value)
        add("safe_float", f"{value!r}, 2", "Decimal.quantize", "float(D(repr(x)).quantize(q, h))", D=Decimal, x=value,
            q=quantum, h=ROUND_HALF_UP)

    status, filled = kavno.OrderStatus.Filled, kavno.OrderStatus.Filled
    add("enum ==", "member == member", KAVNO, "status == filled", status=status, filled=filled)
    add("enum ==", "member == member", "IntEnum", "status == filled", status=IntStatus.Filled, filled=IntStatus.Filled)
    add("enum ==", "member == member", "int", "status == filled", status=3, filled=int("3"))
    add("enum ==", "member == 3", KAVNO, "status == 3", status=status)
    add("enum ==", "member == 3", "IntEnum", "status == 3", status=IntStatus.Filled)
    add("enum ==", "member == 3", "int", "status == 3", status=int("3"))

    if testing is not None:
        bar = testing.make_candle(kind=0, code=b"BTCUSDT", interval=0, open_time=1_710_498_600_000,
                                  close_time=1_710_498_659_999, open=71000.0, high=71250.5, low=70990.0, close=71200.0,
                                  volume=12.5, amount=889000.0, trades=1204)
        fields = {name: getattr(bar, name) for name in SlotsCandle.__slots__}
        slots, frozen = SlotsCandle(**fields), FrozenCandle(**fields)
        for name, kind in (("close", "float"), ("trades", "int"), ("code", "str"), ("interval", "enum"),
                           ("open_time", "datetime")):
            operation = f"attribute read: {name} ({kind})"
            add(operation, "", KAVNO, f"bar.{name}", bar=bar)
            add(operation, "", "__slots__", f"bar.{name}", bar=slots)
            add(operation, "", "frozen dataclass", f"bar.{name}", bar=frozen)
            if name == "close":
                add(operation, "", "complex.real", "c.real", c=complex(71200.0, 1.0))
        add("record creation", "Candle", KAVNO, "make(1)", make=testing.create_candles)
        add("record creation", "Candle", "dataclass(slots=True)", "C(**fields)", C=SlottedCandle, fields=fields)
        add("floor", "no-op call", KAVNO, "f(x)", f=testing.noop, x=1)
        add("floor", "call + datetime constructor", KAVNO, "f(x)", f=testing.utc_datetime, x=1)
    else:
        print("note: the test extension is not installed; record and floor rows are left out")
    return out

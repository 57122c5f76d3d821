"""The benchmark cases: every operation with its input, its contenders, its floor and kavno's targets.

An operation holds kavno and the peers a user would otherwise pick, all given the same values. A peer either gives
the same output as kavno or carries a note saying what it does differently ("keeps the offset", "rounds half to
even"), so that no ratio compares unequal work unlabelled. The floor is the matching call of the `_kavno_floors`
C extension: the same calling convention returning the same kind of object, with no work in between.
"""

from __future__ import annotations

import dataclasses
import datetime as dt
import enum
import time
from decimal import ROUND_HALF_UP, Decimal

import kavno

UTC = dt.timezone.utc
EPOCH = dt.datetime(1970, 1, 1, tzinfo=UTC)
KAVNO = "kavno"
FLOOR = "floor"


@dataclasses.dataclass
class Contender:
    name: str
    statement: str
    namespace: dict
    note: str = ""  # empty: the same output as kavno's


@dataclasses.dataclass
class Operation:
    name: str
    label: str
    contenders: list[Contender]
    floor: Contender | None = None
    # (reference contender or FLOOR, the largest ratio of kavno to it), in instructions and in time
    targets: list[tuple[str, float]] = dataclasses.field(default_factory=list)
    # the longest a call of kavno may take, in nanoseconds (a target of its own, in time only)
    time_limit_ns: float | None = None
    # calls per callgrind loop; statements that do much work in one call take fewer
    ir_calls: int = 2000

    @property
    def title(self):
        return f"{self.name} {self.label}".strip()

    def everyone(self):
        return self.contenders + ([self.floor] if self.floor else [])


def installed(name):
    try:
        return __import__(name)
    except ImportError:
        return None


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


def operations():
    """Every operation, in report order; rows whose modules are missing are left out and said so."""
    ciso8601, pendulum, whenever = installed("ciso8601"), installed("pendulum"), installed("whenever")
    floors, testing, feed = installed("_kavno_floors"), installed("_kavno_testing"), installed("kavno_feed")
    for name, module in (("ciso8601", ciso8601), ("pendulum", pendulum), ("whenever", whenever),
                         ("_kavno_floors", floors), ("_kavno_testing", testing), ("kavno_feed", feed)):
        if module is None:
            print(f"note: {name} is not installed; its rows are left out")

    def floor(name, statement="f(x)", **namespace):
        if floors is None:
            return None
        return Contender(FLOOR, statement, {"f": getattr(floors, name), "x": 1, **namespace},
                         f"_kavno_floors.{name}")

    out = []
    texts = {"Z": "2024-03-15T10:30:00Z", "+08:00": "2024-03-15T10:30:00+08:00",
             ".123456+08:00": "2024-03-15T10:30:00.123456+08:00"}
    for label, text in texts.items():
        offset = label != "Z"
        contenders = [Contender(KAVNO, "f(s)", {"f": kavno.str_to_date, "s": text})]
        if ciso8601:
            contenders.append(Contender("ciso8601+astimezone", "f(s).astimezone(utc)",
                                        {"f": ciso8601.parse_datetime, "s": text, "utc": UTC}))
            contenders.append(Contender("ciso8601", "f(s)", {"f": ciso8601.parse_datetime, "s": text},
                                        "keeps the offset" if offset else ""))
        contenders.append(Contender("fromisoformat+astimezone", "f(s).astimezone(utc)",
                                    {"f": dt.datetime.fromisoformat, "s": text, "utc": UTC}))
        if whenever:
            contenders.append(Contender("whenever", "f(s).to_stdlib()", {"f": whenever.Instant.parse_iso, "s": text}))
        if pendulum:
            contenders.append(Contender("pendulum.parse", "f(s)", {"f": pendulum.parse, "s": text},
                                        "returns its own DateTime subclass"))
        targets = [(FLOOR, 1.3), ("ciso8601", 0.85)] if not offset else [(FLOOR, 1.45)]
        out.append(Operation("str_to_date", label, contenders, floor("utc_datetime"), targets))

    for label, value, floor_name in (("no fraction", dt.datetime(2024, 1, 2, 3, 4, 5, tzinfo=UTC), "str25"),
                                     ("microseconds", dt.datetime(2024, 1, 2, 3, 4, 5, 123456, tzinfo=UTC), "str32")):
        contenders = [Contender(KAVNO, "f(d)", {"f": kavno.date_to_str, "d": value}),
                      Contender("isoformat", "d.isoformat()", {"d": value})]
        if whenever:
            contenders.append(Contender("whenever", "I(d).format_iso()", {"I": whenever.Instant, "d": value},
                                        "writes Z for the offset"))
        out.append(Operation("date_to_str", label, contenders, floor(floor_name), [(FLOOR, 1.15)]))

    ts = 1_700_000_000_123
    contenders = [Contender(KAVNO, "f(ts)", {"f": kavno.ms_to_date, "ts": ts}),
                  Contender("epoch+timedelta", "epoch + td(milliseconds=ts)",
                            {"epoch": EPOCH, "td": dt.timedelta, "ts": ts}),
                  Contender("fromtimestamp", "f(ts / 1000, utc)", {"f": dt.datetime.fromtimestamp, "ts": ts, "utc": UTC},
                            "through a double: inexact for large timestamps")]
    if whenever:
        contenders.append(Contender("whenever", "f(ts, unit='millisecond').to_stdlib()",
                                    {"f": whenever.Instant.from_timestamp, "ts": ts}))
    out.append(Operation("ms_to_date", str(ts), contenders, floor("utc_datetime"), [(FLOOR, 1.3)]))

    day = dt.datetime(2024, 5, 17, 13, 45, 12, 345678, tzinfo=UTC)
    out.append(Operation("truncate_to_day", "13:45:12.345678", [
        Contender(KAVNO, "f(d)", {"f": kavno.truncate_to_day, "d": day}),
        Contender("replace", "d.replace(hour=0, minute=0, second=0, microsecond=0)", {"d": day}),
    ], floor("utc_datetime"), [(FLOOR, 1.3)]))

    out.append(Operation("now_ms", "", [
        Contender(KAVNO, "f()", {"f": kavno.now_ms}),
        Contender("time_ns()//10**6", "f() // 1_000_000", {"f": time.time_ns}),
    ], floor("clock_int", "f()")))
    out.append(Operation("now_date", "", [
        Contender(KAVNO, "f()", {"f": kavno.now_date}),
        Contender("datetime.now", "f(utc)", {"f": dt.datetime.now, "utc": UTC}),
    ], floor("clock_datetime", "f()")))

    quantum = Decimal("0.01")
    for value in (2.675, 1234.56789):
        out.append(Operation("safe_float", f"{value!r}, 2", [
            Contender(KAVNO, "f(x, 2)", {"f": kavno.safe_float, "x": value}),
            Contender("Decimal.quantize", "float(D(repr(x)).quantize(q, h))",
                      {"D": Decimal, "x": value, "q": quantum, "h": ROUND_HALF_UP}),
            Contender("round", "round(x, 2)", {"x": value}, "rounds the binary value half to even"),
        ], floor("new_float", "f(x, 2)"), [(FLOOR, 3.0)]))

    status = kavno.OrderStatus.Filled
    out.append(Operation("enum ==", "member == member", [
        Contender(KAVNO, "a == b", {"a": status, "b": kavno.OrderStatus.Filled}),
        Contender("IntEnum", "a == b", {"a": IntStatus.Filled, "b": IntStatus.Filled}),
        Contender("int", "a == b", {"a": 3, "b": int("3")}, "a plain int, specialised by the interpreter"),
    ]))
    out.append(Operation("enum ==", "member == 3", [
        Contender(KAVNO, "a == 3", {"a": status}),
        Contender("IntEnum", "a == 3", {"a": IntStatus.Filled}),
        Contender("int", "a == 3", {"a": int("3")}, "a plain int, specialised by the interpreter"),
    ]))

    if testing is not None:
        bar = testing.make_candle(kind=0, code=b"BTCUSDT", interval=0, open_time=1_710_498_600_000,
                                  close_time=1_710_498_659_999, open=71000.0, high=71250.5, low=70990.0,
                                  close=71200.0, volume=12.5, amount=889000.0, trades=1204)
        fields = {name: getattr(bar, name) for name in SlotsCandle.__slots__}
        slots, frozen = SlotsCandle(**fields), FrozenCandle(**fields)
        held = "hands back the object it holds"
        for name, kind in (("close", "float"), ("trades", "int"), ("code", "str"), ("interval", "enum"),
                           ("open_time", "datetime")):
            contenders = [Contender(KAVNO, f"bar.{name}", {"bar": bar}),
                          Contender("__slots__", f"bar.{name}", {"bar": slots}, held),
                          Contender("frozen dataclass", f"bar.{name}", {"bar": frozen}, held)]
            if name == "close":
                contenders.append(Contender("complex.real", "c.real", {"c": complex(71200.0, 1.0)}))
            out.append(Operation("attribute read", f"{name} ({kind})", contenders))
        out.append(Operation("record creation", "Candle", [
            Contender(KAVNO, "make(1)", {"make": testing.create_candles}),
            Contender("dataclass(slots=True)", "C(**fields)", {"C": SlottedCandle, "fields": fields}),
        ]))
        if feed is not None:
            out += feed_operations(feed, testing, fields)
    return out


def feed_operations(feed, testing, fields):
    """kavno_feed: a Candle from Python, a series over a pyarrow Table, and iteration over a series."""
    out = [Operation("record creation from Python", "kavno_feed.make_candle", [
        Contender(KAVNO, "make(**fields)", {"make": feed.make_candle, "fields": fields}),
        Contender("dataclass(slots=True)", "C(**fields)", {"C": SlottedCandle, "fields": fields},
                  "holds the objects it is given"),
    ], targets=[("dataclass(slots=True)", 2.0)])]
    pa = installed("pyarrow")
    if pa is None:
        return out

    def table(rows):
        start = 1_704_067_200_000
        prices = [42_000.0 + (i % 977) * 0.5 for i in range(rows)]
        return pa.table({"open_time": pa.array(range(start, start + rows * 60_000, 60_000), pa.timestamp("ms", "UTC")),
                         "open": prices, "high": prices, "low": prices, "close": prices, "volume": [1.0] * rows})

    big, small = table(1_000_000), table(1000)
    out.append(Operation("candles() over a pyarrow Table", "1,000,000 rows", [
        Contender(KAVNO, "f(t, code='BTCUSDT', interval=0)", {"f": feed.candles, "t": big}),
    ], time_limit_ns=30e6, ir_calls=4))
    whole = feed.candles(big, code="BTCUSDT", interval=0)
    out.append(Operation("a CandleSeries into pyarrow", "1,000,000 rows", [
        Contender(KAVNO, "table(s)", {"table": pa.table, "s": whole}),
        Contender("candles()", "f(t, code='BTCUSDT', interval=0)", {"f": feed.candles, "t": big},
                  "the other way: reads and checks the same rows"),
    ], targets=[("candles()", 1.0)], ir_calls=4))
    orders = [feed.make_order(id=f"o-{i}", code="BTCUSDT", side=i % 2, price=100.0 + i, volume=1.0,
                              create_time=60_000 * i, status=3, fee=0.1) for i in range(100_000)]
    dicts = [{name: (str(value) if type(value).__name__ in ("TradeKind", "TradeType", "TradeSide", "OrderStatus")
                     else value) for name, value in feed.fields(order).items()} for order in orders]
    out.append(Operation("records to a table", "100,000 Orders", [
        Contender(KAVNO, "pa.table(table(o))", {"pa": pa, "table": feed.table, "o": orders}),
        Contender("pa.Table.from_pylist", "pa.Table.from_pylist(d)", {"pa": pa, "d": dicts},
                  "from dicts of the same values, enumerations as plain strings"),
    ], targets=[("pa.Table.from_pylist", 2.0)], ir_calls=2))
    series = feed.candles(small, code="BTCUSDT", interval=0)
    out.append(Operation("iterating a CandleSeries", "1000 candles", [
        Contender(KAVNO, "for c in s: pass", {"s": series}),
    ], Contender(FLOOR, "make(1000)", {"make": testing.create_candles}, "the C++ producer's make_candle, 1000 times"),
        targets=[(FLOOR, 1.3)], ir_calls=40))
    return out

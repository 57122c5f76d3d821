"""Type information for kavno, the native module of a trading framework's shared vocabulary.

The runtime docstrings are Chinese texts; these stubs explain the same API in English for editors and type
checkers. Comparing members of two different enumeration classes (always false at run time) is flagged.
"""

from datetime import datetime
from typing import ClassVar, Never, Self, SupportsFloat, SupportsIndex, final

__all__ = [
    "RunMode",
    "TradeKind",
    "TradeType",
    "TradeSide",
    "OrderStatus",
    "CandleInterval",
    "EventType",
    "Pair",
    "Candle",
    "Order",
    "Position",
    "safe_float",
    "truncate_to_day",
    "str_to_date",
    "date_to_str",
    "ms_to_date",
    "now_date",
    "now_ms",
]


@final
class RunMode:
    """How a strategy runs. (runtime docstring: 运行模式)

    Members are class attributes, one object each; repr() and str() give "RunMode.<member>", int() the value.
    A member equals a member of this class or an int (or object with __index__) of the same value, from either
    side; it never equals members of other classes, floats, strings or None. Members are unhashable, not ordered
    (<, <=, >, >= raise TypeError) and cannot be constructed (calling the class raises TypeError).
    """

    Backtest: ClassVar[RunMode]
    """Replaying recorded data; value 0."""
    Simulation: ClassVar[RunMode]
    """Live data, simulated fills; value 1."""
    Live: ClassVar[RunMode]
    """Live trading; value 2."""

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, _no_constructor: Never, /) -> Self: ...  # calling the class raises TypeError
    def __int__(self) -> int:
        """The member's value, its position in the class from 0."""
    def __eq__(self, value: RunMode | SupportsIndex, /) -> bool:  # type: ignore[override]
        """Equal to a member of RunMode or an integer of the same value."""
    def __ne__(self, value: RunMode | SupportsIndex, /) -> bool:  # type: ignore[override]
        """Not equal to a member of RunMode or an integer of another value."""


@final
class TradeKind:
    """The kind of instrument. (runtime docstring: 交易品种)

    Members are class attributes, one object each; repr() and str() give "TradeKind.<member>", int() the value.
    A member equals a member of this class or an int (or object with __index__) of the same value, from either
    side; it never equals members of other classes, floats, strings or None. Members are unhashable, not ordered
    (<, <=, >, >= raise TypeError) and cannot be constructed (calling the class raises TypeError).
    """

    Spot: ClassVar[TradeKind]
    """Spot trading; value 0."""
    Future: ClassVar[TradeKind]
    """Futures; value 1."""

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, _no_constructor: Never, /) -> Self: ...  # calling the class raises TypeError
    def __int__(self) -> int:
        """The member's value, its position in the class from 0."""
    def __eq__(self, value: TradeKind | SupportsIndex, /) -> bool:  # type: ignore[override]
        """Equal to a member of TradeKind or an integer of the same value."""
    def __ne__(self, value: TradeKind | SupportsIndex, /) -> bool:  # type: ignore[override]
        """Not equal to a member of TradeKind or an integer of another value."""


@final
class TradeType:
    """The type of an order. (runtime docstring: 交易类型)

    Members are class attributes, one object each; repr() and str() give "TradeType.<member>", int() the value.
    A member equals a member of this class or an int (or object with __index__) of the same value, from either
    side; it never equals members of other classes, floats, strings or None. Members are unhashable, not ordered
    (<, <=, >, >= raise TypeError) and cannot be constructed (calling the class raises TypeError).
    """

    Limit: ClassVar[TradeType]
    """A limit order; value 0."""
    Market: ClassVar[TradeType]
    """A market order; value 1."""

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, _no_constructor: Never, /) -> Self: ...  # calling the class raises TypeError
    def __int__(self) -> int:
        """The member's value, its position in the class from 0."""
    def __eq__(self, value: TradeType | SupportsIndex, /) -> bool:  # type: ignore[override]
        """Equal to a member of TradeType or an integer of the same value."""
    def __ne__(self, value: TradeType | SupportsIndex, /) -> bool:  # type: ignore[override]
        """Not equal to a member of TradeType or an integer of another value."""


@final
class TradeSide:
    """The direction of an order or a position. (runtime docstring: 交易方向)

    Members are class attributes, one object each; repr() and str() give "TradeSide.<member>", int() the value.
    A member equals a member of this class or an int (or object with __index__) of the same value, from either
    side; it never equals members of other classes, floats, strings or None. Members are unhashable, not ordered
    (<, <=, >, >= raise TypeError) and cannot be constructed (calling the class raises TypeError).
    """

    Long: ClassVar[TradeSide]
    """Buying, a long position; value 0."""
    Short: ClassVar[TradeSide]
    """Selling, a short position; value 1."""

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, _no_constructor: Never, /) -> Self: ...  # calling the class raises TypeError
    def __int__(self) -> int:
        """The member's value, its position in the class from 0."""
    def __eq__(self, value: TradeSide | SupportsIndex, /) -> bool:  # type: ignore[override]
        """Equal to a member of TradeSide or an integer of the same value."""
    def __ne__(self, value: TradeSide | SupportsIndex, /) -> bool:  # type: ignore[override]
        """Not equal to a member of TradeSide or an integer of another value."""


@final
class OrderStatus:
    """The state of an order. (runtime docstring: 订单状态)

    Members are class attributes, one object each; repr() and str() give "OrderStatus.<member>", int() the value.
    A member equals a member of this class or an int (or object with __index__) of the same value, from either
    side; it never equals members of other classes, floats, strings or None. Members are unhashable, not ordered
    (<, <=, >, >= raise TypeError) and cannot be constructed (calling the class raises TypeError).
    """

    Created: ClassVar[OrderStatus]
    """Made, not yet sent; value 0."""
    Submitted: ClassVar[OrderStatus]
    """Sent, not yet filled; value 1."""
    PartialFilled: ClassVar[OrderStatus]
    """Partly filled; value 2."""
    Filled: ClassVar[OrderStatus]
    """Filled; value 3."""
    Canceled: ClassVar[OrderStatus]
    """Canceled; value 4."""
    Rejected: ClassVar[OrderStatus]
    """Rejected; value 5."""

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, _no_constructor: Never, /) -> Self: ...  # calling the class raises TypeError
    def __int__(self) -> int:
        """The member's value, its position in the class from 0."""
    def __eq__(self, value: OrderStatus | SupportsIndex, /) -> bool:  # type: ignore[override]
        """Equal to a member of OrderStatus or an integer of the same value."""
    def __ne__(self, value: OrderStatus | SupportsIndex, /) -> bool:  # type: ignore[override]
        """Not equal to a member of OrderStatus or an integer of another value."""


@final
class CandleInterval:
    """The period of a candle. Values are positions, not minutes: Day1 is 4. (runtime docstring: K线周期)

    Members are class attributes, one object each; repr() and str() give "CandleInterval.<member>", int() the value.
    A member equals a member of this class or an int (or object with __index__) of the same value, from either
    side; it never equals members of other classes, floats, strings or None. Members are unhashable, not ordered
    (<, <=, >, >= raise TypeError) and cannot be constructed (calling the class raises TypeError).
    """

    Min1: ClassVar[CandleInterval]
    """One minute; value 0."""
    Min5: ClassVar[CandleInterval]
    """Five minutes; value 1."""
    Min15: ClassVar[CandleInterval]
    """Fifteen minutes; value 2."""
    Hour1: ClassVar[CandleInterval]
    """One hour; value 3."""
    Day1: ClassVar[CandleInterval]
    """One day; value 4."""

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, _no_constructor: Never, /) -> Self: ...  # calling the class raises TypeError
    def __int__(self) -> int:
        """The member's value, its position in the class from 0."""
    def __eq__(self, value: CandleInterval | SupportsIndex, /) -> bool:  # type: ignore[override]
        """Equal to a member of CandleInterval or an integer of the same value."""
    def __ne__(self, value: CandleInterval | SupportsIndex, /) -> bool:  # type: ignore[override]
        """Not equal to a member of CandleInterval or an integer of another value."""


@final
class EventType:
    """The kind of event delivered to a strategy. (runtime docstring: 事件类型)

    Members are class attributes, one object each; repr() and str() give "EventType.<member>", int() the value.
    A member equals a member of this class or an int (or object with __index__) of the same value, from either
    side; it never equals members of other classes, floats, strings or None. Members are unhashable, not ordered
    (<, <=, >, >= raise TypeError) and cannot be constructed (calling the class raises TypeError).
    """

    Initialize: ClassVar[EventType]
    """Initialisation; value 0."""
    Start: ClassVar[EventType]
    """Start; value 1."""
    Stop: ClassVar[EventType]
    """Stop; value 2."""
    Daily: ClassVar[EventType]
    """A new day; value 3."""
    Hourly: ClassVar[EventType]
    """A new hour; value 4."""
    Minutely: ClassVar[EventType]
    """A new minute; value 5."""
    Secondly: ClassVar[EventType]
    """A new second; value 6."""
    Tick: ClassVar[EventType]
    """A tick; value 7."""
    QuoteChange: ClassVar[EventType]
    """A quote changed; value 8."""
    AccountChange: ClassVar[EventType]
    """The account changed; value 9."""
    PositionChange: ClassVar[EventType]
    """A position changed; value 10."""
    OrderChange: ClassVar[EventType]
    """An order changed; value 11."""

    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, _no_constructor: Never, /) -> Self: ...  # calling the class raises TypeError
    def __int__(self) -> int:
        """The member's value, its position in the class from 0."""
    def __eq__(self, value: EventType | SupportsIndex, /) -> bool:  # type: ignore[override]
        """Equal to a member of EventType or an integer of the same value."""
    def __ne__(self, value: EventType | SupportsIndex, /) -> bool:  # type: ignore[override]
        """Not equal to a member of EventType or an integer of another value."""


@final
class Pair:
    """A tradable pair with its minimum order sizes. (runtime docstring: 交易对)

    A read-only record made by native code (an engine through kavno's producer API, or kavno_feed); Python
    cannot construct one (calling the class raises TypeError). Every attribute read makes a new object; writing,
    deleting or adding attributes raises AttributeError. Equality and hashing are by identity.
    """

    def __new__(cls, _no_constructor: Never, /) -> Self: ...  # calling the class raises TypeError
    @property
    def kind(self) -> TradeKind:
        """The kind of instrument. (runtime docstring: 交易品种)"""
    @property
    def code(self) -> str:
        """The trading code of the pair. (runtime docstring: 交易代码)"""
    @property
    def base(self) -> str:
        """The base currency. (runtime docstring: 基础货币)"""
    @property
    def quote(self) -> str:
        """The quote (pricing) currency. (runtime docstring: 计价货币)"""
    @property
    def min_volume(self) -> float:
        """The minimum order quantity. (runtime docstring: 最小下单数量)"""
    @property
    def min_price(self) -> float:
        """The minimum order price. (runtime docstring: 最小下单价格)"""
    @property
    def min_amount(self) -> float:
        """The minimum order value (price times quantity). (runtime docstring: 最小下单金额)"""


@final
class Candle:
    """One price bar of an instrument over one interval. (runtime docstring: K线)

    A read-only record made by native code (an engine through kavno's producer API, or kavno_feed); Python
    cannot construct one (calling the class raises TypeError). Every attribute read makes a new object; writing,
    deleting or adding attributes raises AttributeError. Equality and hashing are by identity.
    """

    def __new__(cls, _no_constructor: Never, /) -> Self: ...  # calling the class raises TypeError
    @property
    def kind(self) -> TradeKind:
        """The kind of instrument. (runtime docstring: 交易品种)"""
    @property
    def code(self) -> str:
        """The trading code. (runtime docstring: 交易代码)"""
    @property
    def interval(self) -> CandleInterval:
        """The bar's period. (runtime docstring: K线周期)"""
    @property
    def open_time(self) -> datetime:
        """The start of the bar: an aware datetime, tzinfo datetime.timezone.utc. Raises ValueError if the stored year is outside 1 to 9999. (runtime docstring: 开盘时间)"""
    @property
    def close_time(self) -> datetime:
        """The end of the bar (UTC), as open_time. (runtime docstring: 收盘时间)"""
    @property
    def open(self) -> float:
        """The opening price. (runtime docstring: 开盘价)"""
    @property
    def high(self) -> float:
        """The highest price. (runtime docstring: 最高价)"""
    @property
    def low(self) -> float:
        """The lowest price. (runtime docstring: 最低价)"""
    @property
    def close(self) -> float:
        """The closing price. (runtime docstring: 收盘价)"""
    @property
    def volume(self) -> float:
        """The traded quantity. (runtime docstring: 成交量)"""
    @property
    def amount(self) -> float:
        """The traded value. (runtime docstring: 成交额)"""
    @property
    def trades(self) -> int:
        """The number of trades (a 64-bit integer). (runtime docstring: 交易笔数)"""


@final
class Order:
    """One order with its fill progress and fee. (runtime docstring: 订单)

    A read-only record made by native code (an engine through kavno's producer API, or kavno_feed); Python
    cannot construct one (calling the class raises TypeError). Every attribute read makes a new object; writing,
    deleting or adding attributes raises AttributeError. Equality and hashing are by identity.
    """

    def __new__(cls, _no_constructor: Never, /) -> Self: ...  # calling the class raises TypeError
    @property
    def id(self) -> str:
        """The order's identifier. (runtime docstring: 订单ID)"""
    @property
    def kind(self) -> TradeKind:
        """The kind of instrument. (runtime docstring: 交易品种)"""
    @property
    def type(self) -> TradeType:
        """The order type. (runtime docstring: 交易类型)"""
    @property
    def side(self) -> TradeSide:
        """The direction. (runtime docstring: 交易方向)"""
    @property
    def code(self) -> str:
        """The trading code. (runtime docstring: 交易代码)"""
    @property
    def status(self) -> OrderStatus:
        """The state of the order. (runtime docstring: 订单状态)"""
    @property
    def volume(self) -> float:
        """The ordered quantity. (runtime docstring: 下单数量)"""
    @property
    def price(self) -> float:
        """The order price. (runtime docstring: 下单价格)"""
    @property
    def filled_volume(self) -> float:
        """The quantity filled so far. (runtime docstring: 已成交数量)"""
    @property
    def filled_price(self) -> float:
        """The average fill price. (runtime docstring: 已成交均价)"""
    @property
    def fee(self) -> float:
        """The trading fee. (runtime docstring: 交易手续费)"""
    @property
    def create_time(self) -> datetime:
        """When the order was placed: an aware datetime, tzinfo datetime.timezone.utc. (runtime docstring: 下单时间)"""


@final
class Position:
    """One open position with its average price and leverage. (runtime docstring: 持仓)

    A read-only record made by native code (an engine through kavno's producer API, or kavno_feed); Python
    cannot construct one (calling the class raises TypeError). Every attribute read makes a new object; writing,
    deleting or adding attributes raises AttributeError. Equality and hashing are by identity.
    """

    def __new__(cls, _no_constructor: Never, /) -> Self: ...  # calling the class raises TypeError
    @property
    def kind(self) -> TradeKind:
        """The kind of instrument. (runtime docstring: 交易品种)"""
    @property
    def code(self) -> str:
        """The trading code. (runtime docstring: 交易代码)"""
    @property
    def side(self) -> TradeSide:
        """The direction. (runtime docstring: 交易方向)"""
    @property
    def volume(self) -> float:
        """The position quantity. (runtime docstring: 持仓数量)"""
    @property
    def price(self) -> float:
        """The average position price. (runtime docstring: 持仓均价)"""
    @property
    def leverage(self) -> int:
        """The leverage multiple (a 32-bit integer). (runtime docstring: 杠杆倍率)"""


def safe_float(value: SupportsFloat | SupportsIndex, decimals: SupportsIndex) -> float:
    """`value` rounded to `decimals` places after the point (runtime docstring: 安全浮点数).

    The value's shortest decimal form (the digits repr() shows) is rounded half away from zero, and the nearest
    float to the result returned: safe_float(2.675, 2) is 2.68 and safe_float(1.005, 2) is 1.01, where round()
    gives 2.67 and 1.0. NaN, infinities and values with no more than `decimals` places come back unchanged; a
    result that rounds to zero keeps the sign.

    `value`: anything float() accepts through __float__ or __index__. `decimals`: an int (or __index__) from 0 to
    4294967295. Raises TypeError "argument 'value': ..." or "argument 'decimals': ..." for other types;
    OverflowError for an int too large for a float, for a negative `decimals` or one of 2**32 or more.
    """

def truncate_to_day(date: datetime) -> datetime:
    """Midnight at the start of `date`'s UTC day, as a new aware datetime in UTC (runtime docstring: 截断日期到天).

    `date` must be an aware datetime whose tzinfo equals datetime.timezone.utc (TypeError for other types or a
    naive datetime, ValueError "expected datetime.timezone.utc" for another zone; never converted). Raises
    RuntimeError "timestamp exceeds num_nanoseconds limit" outside 1677-09-21T00:12:43.145225 to
    2262-04-11T23:47:16.854775 UTC.
    """

def str_to_date(s: str) -> datetime:
    """The UTC datetime of an RFC 3339 text such as "2024-03-15T10:30:00+08:00" (runtime docstring: 字符串转日期).

    Accepted: YYYY-MM-DD, a "T", "t" or space, hh:mm:ss, an optional fraction (digits beyond microseconds are cut),
    and "Z", "z" or an offset of +hh:mm, -hh:mm or U+2212 hh:mm up to 23:59. The offset is applied, not kept. A
    second of 60 (a leap second) reads as 59 with a UserWarning. Raises RuntimeError "premature end of input",
    "input contains invalid characters", "input is out of range" or "trailing input" for the first fault in
    reading order; ValueError for a UTC year outside 1 to 9999; TypeError if `s` is not a str.
    """

def date_to_str(d: datetime) -> str:
    """`d` as "YYYY-MM-DDThh:mm:ss[.fff|.ffffff]+00:00" (runtime docstring: 日期转字符串).

    Three fraction digits when the microseconds are a whole number of milliseconds, six otherwise, none when
    zero. `d` must be an aware datetime in UTC, as for truncate_to_day.
    """

def ms_to_date(ts: SupportsIndex) -> datetime:
    """The UTC datetime `ts` milliseconds after 1970-01-01T00:00:00 UTC (runtime docstring: 时间戳转日期).

    Floor division: -1 is 1969-12-31T23:59:59.999. Raises ValueError for a year outside 1 to 9999, RuntimeError
    "时间戳转换失败" (timestamp conversion failed) beyond the years -262143 to 262142, OverflowError outside the
    signed 64-bit range, TypeError "argument 'ts': ..." for a float or other non-integer.
    """

def now_date() -> datetime:
    """The current time as an aware datetime in UTC, microseconds cut (runtime docstring: 获取当前时间)."""

def now_ms() -> int:
    """The current time in whole milliseconds since 1970-01-01T00:00:00 UTC (runtime docstring: 获取当前时间戳)."""

"""Type information for kavno, the native module of a trading framework's shared vocabulary.

Generated from the same tables as the module; the runtime docstrings are kept as they are.
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
    """运行模式"""

    Backtest: ClassVar[RunMode]
    Simulation: ClassVar[RunMode]
    Live: ClassVar[RunMode]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, _no_constructor: Never, /) -> Self: ...  # calling the class raises TypeError
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...


@final
class TradeKind:
    """交易品种"""

    Spot: ClassVar[TradeKind]
    Future: ClassVar[TradeKind]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, _no_constructor: Never, /) -> Self: ...  # calling the class raises TypeError
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...


@final
class TradeType:
    """交易类型"""

    Limit: ClassVar[TradeType]
    Market: ClassVar[TradeType]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, _no_constructor: Never, /) -> Self: ...  # calling the class raises TypeError
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...


@final
class TradeSide:
    """交易方向"""

    Long: ClassVar[TradeSide]
    Short: ClassVar[TradeSide]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, _no_constructor: Never, /) -> Self: ...  # calling the class raises TypeError
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...


@final
class OrderStatus:
    """订单状态"""

    Created: ClassVar[OrderStatus]
    Submitted: ClassVar[OrderStatus]
    PartialFilled: ClassVar[OrderStatus]
    Filled: ClassVar[OrderStatus]
    Canceled: ClassVar[OrderStatus]
    Rejected: ClassVar[OrderStatus]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, _no_constructor: Never, /) -> Self: ...  # calling the class raises TypeError
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...


@final
class CandleInterval:
    """K线周期"""

    Min1: ClassVar[CandleInterval]
    Min5: ClassVar[CandleInterval]
    Min15: ClassVar[CandleInterval]
    Hour1: ClassVar[CandleInterval]
    Day1: ClassVar[CandleInterval]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, _no_constructor: Never, /) -> Self: ...  # calling the class raises TypeError
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...


@final
class EventType:
    """事件类型"""

    Initialize: ClassVar[EventType]
    Start: ClassVar[EventType]
    Stop: ClassVar[EventType]
    Daily: ClassVar[EventType]
    Hourly: ClassVar[EventType]
    Minutely: ClassVar[EventType]
    Secondly: ClassVar[EventType]
    Tick: ClassVar[EventType]
    QuoteChange: ClassVar[EventType]
    AccountChange: ClassVar[EventType]
    PositionChange: ClassVar[EventType]
    OrderChange: ClassVar[EventType]
    __hash__: ClassVar[None]  # type: ignore[assignment]
    def __new__(cls, _no_constructor: Never, /) -> Self: ...  # calling the class raises TypeError
    def __int__(self) -> int: ...
    def __eq__(self, other: object, /) -> bool: ...
    def __ne__(self, other: object, /) -> bool: ...


@final
class Pair:
    """交易对"""

    def __new__(cls, _no_constructor: Never, /) -> Self: ...  # calling the class raises TypeError
    @property
    def kind(self) -> TradeKind:
        """交易品种"""
    @property
    def code(self) -> str:
        """交易代码"""
    @property
    def base(self) -> str:
        """基础货币"""
    @property
    def quote(self) -> str:
        """计价货币"""
    @property
    def min_volume(self) -> float:
        """最小下单数量"""
    @property
    def min_price(self) -> float:
        """最小下单价格"""
    @property
    def min_amount(self) -> float:
        """最小下单金额"""


@final
class Candle:
    """K线"""

    def __new__(cls, _no_constructor: Never, /) -> Self: ...  # calling the class raises TypeError
    @property
    def kind(self) -> TradeKind:
        """交易品种"""
    @property
    def code(self) -> str:
        """交易代码"""
    @property
    def interval(self) -> CandleInterval:
        """K线周期"""
    @property
    def open_time(self) -> datetime:
        """开盘时间"""
    @property
    def close_time(self) -> datetime:
        """收盘时间"""
    @property
    def open(self) -> float:
        """开盘价"""
    @property
    def high(self) -> float:
        """最高价"""
    @property
    def low(self) -> float:
        """最低价"""
    @property
    def close(self) -> float:
        """收盘价"""
    @property
    def volume(self) -> float:
        """成交量"""
    @property
    def amount(self) -> float:
        """成交额"""
    @property
    def trades(self) -> int:
        """交易笔数"""


@final
class Order:
    """订单"""

    def __new__(cls, _no_constructor: Never, /) -> Self: ...  # calling the class raises TypeError
    @property
    def id(self) -> str:
        """订单ID"""
    @property
    def kind(self) -> TradeKind:
        """交易品种"""
    @property
    def type(self) -> TradeType:
        """交易类型"""
    @property
    def side(self) -> TradeSide:
        """交易方向"""
    @property
    def code(self) -> str:
        """交易代码"""
    @property
    def status(self) -> OrderStatus:
        """订单状态"""
    @property
    def volume(self) -> float:
        """下单数量"""
    @property
    def price(self) -> float:
        """下单价格"""
    @property
    def filled_volume(self) -> float:
        """已成交数量"""
    @property
    def filled_price(self) -> float:
        """已成交均价"""
    @property
    def fee(self) -> float:
        """交易手续费"""
    @property
    def create_time(self) -> datetime:
        """下单时间"""


@final
class Position:
    """持仓"""

    def __new__(cls, _no_constructor: Never, /) -> Self: ...  # calling the class raises TypeError
    @property
    def kind(self) -> TradeKind:
        """交易品种"""
    @property
    def code(self) -> str:
        """交易代码"""
    @property
    def side(self) -> TradeSide:
        """交易方向"""
    @property
    def volume(self) -> float:
        """持仓数量"""
    @property
    def price(self) -> float:
        """持仓均价"""
    @property
    def leverage(self) -> int:
        """杠杆倍率"""


def safe_float(value: SupportsFloat | SupportsIndex, decimals: SupportsIndex) -> float:
    """安全浮点数"""

def truncate_to_day(date: datetime) -> datetime:
    """截断日期到天"""

def str_to_date(s: str) -> datetime:
    """字符串转日期"""

def date_to_str(d: datetime) -> str:
    """日期转字符串"""

def ms_to_date(ts: SupportsIndex) -> datetime:
    """时间戳转日期"""

def now_date() -> datetime:
    """获取当前时间"""

def now_ms() -> int:
    """获取当前时间戳"""

"""Type information for kavno_feed: kavno's records from Python data, for strategy tests and backtests."""

from collections.abc import Iterable, Iterator, Mapping, Sequence
from datetime import datetime
from os import PathLike
from typing import Any, Literal, Protocol, SupportsFloat, SupportsIndex, final, overload

from kavno import Candle, CandleInterval, Order, OrderStatus, Pair, Position, TradeKind, TradeSide, TradeType

class _ArrowStream(Protocol):
    def __arrow_c_stream__(self, requested_schema: object | None = None, /) -> object: ...

class _ArrowArray(Protocol):
    def __arrow_c_array__(self, requested_schema: object | None = None, /) -> tuple[object, object]: ...

_Date = datetime | int
_Number = SupportsFloat | SupportsIndex

def make_pair(
    *,
    code: str,
    base: str,
    quote: str,
    kind: TradeKind | int | None = None,
    min_volume: _Number | None = None,
    min_price: _Number | None = None,
    min_amount: _Number | None = None,
) -> Pair:
    """A Pair record. kind defaults to TradeKind.Spot, the minimums to 0.0.

    Enumeration fields take a member of their class or an int of one of its values; a member of another class is a
    TypeError, a value outside the class a ValueError ("Pair.kind: 2 is not a member value (0 to 1)"). Every refusal
    names the record and the field.
    """

def make_candle(
    *,
    code: str,
    open_time: _Date,
    close: _Number,
    kind: TradeKind | int | None = None,
    interval: CandleInterval | int | None = None,
    close_time: _Date | None = None,
    open: _Number | None = None,
    high: _Number | None = None,
    low: _Number | None = None,
    volume: _Number | None = None,
    amount: _Number | None = None,
    trades: int | None = None,
) -> Candle:
    """A Candle record; only what a test must say is required.

    open defaults to close, high to max(open, close), low to min(open, close), volume and amount to 0.0, trades to
    0, kind to TradeKind.Spot, interval to CandleInterval.Min1 and close_time to open_time + interval - 1 ms.
    Dates are an aware datetime whose tzinfo equals datetime.timezone.utc (TypeError for a naive one, ValueError
    for another zone) or an int of milliseconds since 1970-01-01T00:00:00 UTC. None asks for the default.
    """

def make_order(
    *,
    id: str,
    side: TradeSide | int,
    code: str,
    volume: _Number,
    price: _Number,
    create_time: _Date,
    kind: TradeKind | int | None = None,
    type: TradeType | int | None = None,
    status: OrderStatus | int | None = None,
    filled_volume: _Number | None = None,
    filled_price: _Number | None = None,
    fee: _Number | None = None,
) -> Order:
    """An Order record. kind defaults to TradeKind.Spot, type to TradeType.Limit, status to OrderStatus.Created,
    filled_volume, filled_price and fee to 0.0."""

def make_position(
    *,
    code: str,
    side: TradeSide | int,
    volume: _Number,
    price: _Number,
    kind: TradeKind | int | None = None,
    leverage: int | None = None,
) -> Position:
    """A Position record. kind defaults to TradeKind.Spot, leverage to 1 (a 32-bit integer)."""

def fields(record: Pair | Candle | Order | Position, /) -> dict[str, Any]:
    """A dict of a kavno record's fields, in their order (as dataclasses.asdict does for a dataclass)."""

def same(a: Pair | Candle | Order | Position, b: Pair | Candle | Order | Position, /) -> bool:
    """Whether two kavno records are of one class and hold the same value in every field (two NaNs are the same).
    Records compare by identity: a test that means their values asserts same(a, b)."""

@final
class RecordTable:
    """The fields of records as Arrow columns (made by table()): texts as strings, dates as UTC timestamps in
    microseconds, enumerations as dictionary-encoded member names ("OrderStatus.Filled"). len() is its rows."""

    def __len__(self) -> int: ...
    def __arrow_c_schema__(self) -> object: ...
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

def table(records: Iterable[Pair] | Iterable[Candle] | Iterable[Order] | Iterable[Position], /) -> RecordTable:
    """A RecordTable of records of one class, one Arrow column per field: pa.table(t), pl.DataFrame(pa.table(t)),
    duckdb.sql("SELECT * FROM t")."""

_Bars = _ArrowStream | _ArrowArray | Mapping[str, Any]
_TimeUnit = Literal["s", "ms", "us", "ns"]

def candles(
    data: _Bars | str | bytes | PathLike[str] | PathLike[bytes],
    /,
    *,
    code: str,
    interval: CandleInterval | int,
    kind: TradeKind | int | None = None,
    time_unit: _TimeUnit | None = None,
    columns: dict[str, str] | None = None,
    check_high_low: bool | None = None,
) -> CandleSeries:
    """A CandleSeries over the bars of `data`, each checked when the series is made.

    `data` is anything that speaks the Arrow PyCapsule interface (a pyarrow Table or RecordBatch, a polars or
    pandas DataFrame, a DuckDB result), a mapping of column names to one-dimensional buffers (NumPy arrays; a
    writable one is copied), or the path of a CSV file of bars (open_time_ms,open,high,low,close,volume, a header
    row optional). Columns by name, renamed by `columns` ({"open_time": "ts", "amount": "quote_volume"}):
    open_time (an Arrow timestamp of any zone, a date32/date64, or integers in `time_unit`, "ms" by default),
    close_time (optional: open_time + interval - 1 ms), open, high, low, close, volume (numbers: float64, or other
    types widened exactly), amount (optional, 0.0), trades (optional integers, 0); other columns are ignored.

    Every bar is checked: prices finite; volume and amount finite and not negative; trades not negative;
    close_time not before open_time; each bar opening after the bar before has closed (time order, no repeats, no
    overlap); low <= min(open, close) and max(open, close) <= high (check_high_low=False relaxes this rule only);
    every date in the years 1 to 9999. A fault raises ValueError (TypeError for a column of the wrong type) naming
    the column, the row and the value, and no series is made.
    """

def candles_by(
    data: _Bars,
    /,
    *,
    by: str,
    interval: CandleInterval | int,
    kind: TradeKind | int | None = None,
    time_unit: _TimeUnit | None = None,
    columns: dict[str, str] | None = None,
    check_high_low: bool | None = None,
) -> dict[Any, CandleSeries]:
    """The CandleSeries of each instrument of a table: a dict from each value of the column `by` (a string or
    integer column) to the series of its rows, in one pass, keys in the order they first appear. Each series'
    code is its key; its bars are checked as candles() checks them."""

@final
class CandleSeries(Sequence[Candle]):
    """An immutable sequence of Candle records over columns.

    len(), indexing (negative indices too; IndexError out of range), slicing (a view over the same columns, nothing
    copied) and iteration. Every access makes a new Candle; the series holds the columns, not a Python object per
    bar, and keeps what it read from alive as long as it (or a slice of it) lives.
    """

    @property
    def code(self) -> str:
        """The trading code of every candle."""
    @property
    def interval(self) -> CandleInterval:
        """The CandleInterval of every candle."""
    @property
    def kind(self) -> TradeKind:
        """The TradeKind of every candle."""
    def __len__(self) -> int: ...
    @overload
    def __getitem__(self, index: SupportsIndex, /) -> Candle: ...
    @overload
    def __getitem__(self, index: slice, /) -> CandleSeries: ...
    def __iter__(self) -> Iterator[Candle]: ...
    def count(self, value: object, /) -> int: ...
    def index(self, value: object, *args: object) -> int: ...
    def __copy__(self) -> CandleSeries:
        """The series itself: it is immutable."""
    def __deepcopy__(self, memo: object, /) -> CandleSeries:
        """The series itself: it is immutable."""
    def between(self, start: _Date, end: _Date) -> CandleSeries:
        """The candles whose open times lie in [start, end) (aware UTC datetimes or milliseconds since the epoch), a
        view found by binary search; nothing is copied."""
    def __arrow_c_schema__(self) -> object:
        """The Arrow schema of the series' columns (a PyCapsule)."""
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """The series' rows as an Arrow stream (a PyCapsule): open_time and close_time as UTC timestamps in
        milliseconds, open, high, low, close, volume and amount as float64, trades as int64, with kavno.code,
        kavno.interval and kavno.kind in the schema's metadata. Columns already in that layout are handed out without
        a copy; the series' source lives as long as an exported array needs it."""

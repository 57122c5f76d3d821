"""A CandleSeries out through the Arrow PyCapsule interface: kavno's columns and types, the series' code, interval and
kind in the schema's metadata, slices and split series exporting only their rows, buffers handed out without a copy
where their layout allows, and the source kept alive exactly as long as an export needs it."""

import datetime as dt
import gc

import pytest

import kavno_feed as feed
from kavno import CandleInterval, TradeKind

pa = pytest.importorskip("pyarrow")
np = pytest.importorskip("numpy")

MS = 1_704_067_260_000
FIELDS = ["open_time", "close_time", "open", "high", "low", "close", "volume", "amount", "trades"]


def source(rows=6, chunk=None):
    opens = [100.0 + i for i in range(rows)]
    table = pa.table({"open_time": pa.array([MS + 60_000 * i for i in range(rows)], pa.timestamp("ms", "UTC")),
                      "open": opens, "high": [o + 2 for o in opens], "low": [o - 1 for o in opens],
                      "close": [o + 1 for o in opens], "volume": [float(i) for i in range(rows)],
                      "trades": pa.array(range(rows), pa.int32())})
    return pa.Table.from_batches(table.to_batches(max_chunksize=chunk)) if chunk else table


def fields_of(series):
    return [tuple(getattr(candle, name) for name in FIELDS) for candle in series]


def test_a_series_exports_kavnos_columns_and_types():
    series = feed.candles(source(), code="BTCUSDT", interval=CandleInterval.Min1, kind=TradeKind.Future)
    table = pa.table(series)
    assert table.column_names == FIELDS
    assert [str(t) for t in table.schema.types] == ["timestamp[ms, tz=UTC]"] * 2 + ["double"] * 6 + ["int64"]
    assert table.schema.metadata == {b"kavno.code": b"BTCUSDT", b"kavno.interval": b"Min1", b"kavno.kind": b"Future"}
    assert table.column("close_time")[0].as_py() == dt.datetime(2024, 1, 1, 0, 1, 59, 999000, tzinfo=dt.timezone.utc)
    assert table.column("amount").to_pylist() == [0.0] * 6 and table.column("trades").to_pylist() == list(range(6))
    assert pa.schema(series) == table.schema  # __arrow_c_schema__


@pytest.mark.parametrize("view", [slice(None), slice(1, 5), slice(None, None, -1), slice(4, 0, -2), slice(5, 5)])
@pytest.mark.parametrize("chunk", [None, 2])
def test_a_view_exports_its_rows(view, chunk):
    series = feed.candles(source(chunk=chunk), code="X", interval=0)[view]
    rows = [tuple(row[name] for name in FIELDS) for row in pa.table(series).to_pylist()]
    assert rows == fields_of(series)  # newest first too, which candles() would refuse to read back


def test_a_split_series_exports_its_instruments_rows():
    table = pa.table({"code": ["A", "B", "A", "B"], "open_time": [MS, MS, MS + 60_000, MS + 60_000],
                      **{n: [1.0, 2.0, 3.0, 4.0] for n in ("open", "high", "low", "close", "volume")}})
    split = feed.candles_by(table, by="code", interval=0)
    assert pa.table(split["B"]).column("close").to_pylist() == [2.0, 4.0]
    assert pa.table(split["A"][::-1]).column("open").to_pylist() == [3.0, 1.0]


def test_columns_in_arrows_layout_are_handed_out_without_a_copy():
    data = source()
    series = feed.candles(data, code="X", interval=0)[2:]
    exported = pa.table(series)
    for name in ("open", "high", "close"):
        assert exported.column(name).chunk(0).buffers()[1].address == data.column(name).chunk(0).buffers()[1].address
    assert exported.column("open").to_pylist() == data.column("open").to_pylist()[2:]
    # made, not borrowed: the close time the series computes, the int32 trades widened
    assert exported.column("trades").chunk(0).buffers()[1].address != data.column("trades").chunk(0).buffers()[1].address


CONSUMERS = {
    "pyarrow": lambda series: pa.table(series),
    "polars": lambda series: pytest.importorskip("polars").DataFrame(pa.table(series)),
    "pandas": lambda series: pa.table(pytest.importorskip("pandas").DataFrame(pa.table(series).to_pandas())),
    "duckdb": lambda series: pytest.importorskip("duckdb").sql("SELECT * FROM series").arrow(),
}


@pytest.mark.parametrize("consume", CONSUMERS.values(), ids=CONSUMERS.keys())
def test_a_round_trip_through_each_consumer_gives_the_same_series(consume):
    series = feed.candles(source(rows=50, chunk=7), code="X", interval=0)[3:47]
    back = feed.candles(consume(series), code="X", interval=0)
    assert fields_of(back) == fields_of(series)


def test_every_export_releases_the_source_once_when_it_goes(producer):
    def outstanding():
        counts = producer.arrow_counts()
        return [e - r for e, r in zip(counts["exported"], counts["released"])]

    class Stream:
        def __init__(self, capsule):
            self.capsule = capsule

        def __arrow_c_stream__(self, requested_schema=None):
            return self.capsule

    before = outstanding()
    columns = [("open_time", "tsm:UTC", [MS + 60_000 * i for i in range(6)])] + [
        (name, "g", [1.0] * 6) for name in ("open", "high", "low", "close", "volume")]
    series = feed.candles(Stream(producer.arrow_stream(columns, 2)), code="X", interval=0)
    exported = pa.table(series)
    series.__arrow_c_stream__()  # a capsule no one consumes
    unused = series.__arrow_c_schema__()
    del series, unused
    gc.collect()
    assert outstanding()[1] == before[1] + 3  # the source's three batches live on in the exported table
    assert exported.column("close").to_pylist() == [1.0] * 6
    del exported
    gc.collect()
    assert outstanding() == before


def test_a_stream_asked_for_another_schema_gives_its_own():
    series = feed.candles(source(), code="X", interval=0)
    reader = pa.RecordBatchReader.from_stream(series, schema=pa.table(series).schema)
    assert reader.read_all().num_rows == 6
    with pytest.raises(TypeError, match="^__arrow_c_stream__\\(\\) takes at most one argument, requested_schema$"):
        series.__arrow_c_stream__(None, None)


# --- bars between dates -----------------------------------------------------------------------------------------

T0 = dt.datetime(2024, 1, 1, 0, 1, tzinfo=dt.timezone.utc)


@pytest.mark.parametrize("view", [slice(None), slice(1, None, 2), slice(None, None, -1), slice(None, None, -2)])
@pytest.mark.parametrize("start, end", [(2, 5), (0, 6), (-3, 2), (4, 100), (3, 3), (5, 2), (2.5, 4.5)])
def test_between_is_the_slice_of_open_times_in_the_range(view, start, end):
    series = feed.candles(source(rows=6, chunk=4), code="X", interval=0)[view]
    low, high = MS + int(60_000 * start), MS + int(60_000 * end)
    expected = [c.open for c in series if low <= c.open_time.timestamp() * 1000 < high]
    assert [c.open for c in series.between(low, high)] == expected
    assert [c.open for c in series.between(start=T0 + dt.timedelta(minutes=start),
                                           end=T0 + dt.timedelta(minutes=end))] == expected


def test_between_in_a_split_series_and_its_refusals():
    table = pa.table({"code": ["A", "B"] * 4, "open_time": [MS + 60_000 * (i // 2) for i in range(8)],
                      **{n: [float(i) for i in range(8)] for n in ("open", "high", "low", "close", "volume")}})
    b = feed.candles_by(table, by="code", interval=0)["B"]
    assert [c.open for c in b.between(MS + 60_000, MS + 180_000)] == [3.0, 5.0]
    with pytest.raises(TypeError, match="^between.start: expected a datetime with non-None tzinfo$"):
        b.between(dt.datetime(2024, 1, 1), MS)
    with pytest.raises(TypeError, match="^between\\(\\) takes 2 arguments: start and end$"):
        b.between(MS)
    with pytest.raises(TypeError, match="^between\\(\\) got an unexpected or repeated argument 'stop'$"):
        b.between(MS, stop=MS)


# --- records to tables ------------------------------------------------------------------------------------------

from kavno import OrderStatus, TradeSide  # noqa: E402


def orders(count=3):
    return [feed.make_order(id=f"o-{i}", code="BTCUSDT", side=i % 2, price=100.0 + i, volume=1.0,
                            create_time=60_000 * i + 1, status=OrderStatus.Filled, fee=0.1) for i in range(count)]


def test_a_table_of_orders_has_a_column_per_field_and_member_names():
    table = feed.table(orders())
    assert (repr(table), len(table)) == ("RecordTable(Order, 3 rows)", 3)
    arrow = pa.table(table)
    assert arrow.column_names == list(feed.fields(orders(1)[0]))
    assert str(arrow.schema.field("status").type) == "dictionary<values=string, indices=uint8, ordered=0>"
    assert str(arrow.schema.field("create_time").type) == "timestamp[us, tz=UTC]"
    row = arrow.to_pylist()[1]
    assert (row["id"], row["side"], row["status"], row["price"]) == ("o-1", "TradeSide.Short", "OrderStatus.Filled", 101.0)
    assert row["create_time"] == dt.datetime(1970, 1, 1, 0, 1, 0, 1000, tzinfo=dt.timezone.utc)
    assert pa.schema(table) == arrow.schema


@pytest.mark.parametrize("records, expected", [
    ([feed.make_pair(code="BTCUSDT", base="BTC", quote="USDT", min_price=0.01)],
     {"kind": "TradeKind.Spot", "code": "BTCUSDT", "base": "BTC", "quote": "USDT", "min_price": 0.01}),
    ((feed.make_position(code="X", side=TradeSide.Long, volume=2.0, price=3.0, leverage=5) for _ in range(2)),
     {"side": "TradeSide.Long", "leverage": 5, "volume": 2.0}),
    (feed.candles(source(rows=2), code="X", interval=0),
     {"interval": "CandleInterval.Min1", "trades": 0, "close": 101.0}),
])
def test_every_record_class_makes_a_table(records, expected):
    first = pa.table(feed.table(records)).to_pylist()[0]
    assert {name: first[name] for name in expected} == expected


@pytest.mark.parametrize("records, error, message", [
    ([], ValueError, "table(): no records, so no class to make the columns of"),
    ([1], TypeError, "table(): expected kavno records (Pair, Candle, Order or Position), not int"),
    (orders(2) + [feed.make_position(code="X", side=0, volume=1.0, price=1.0)], TypeError,
     "table(): record 2 is a Position, where the records before are Order"),
    (5, TypeError, None),
])
def test_what_makes_no_table_is_refused(records, error, message):
    with pytest.raises(error) as info:
        feed.table(records)
    assert message is None or info.value.args == (message,)


def test_a_record_table_outlives_its_records_and_reads_in_every_consumer():
    table = feed.table(orders(50))
    arrow = pa.table(table)
    del table
    gc.collect()
    assert arrow.column("price").to_pylist()[-1] == 149.0
    again = feed.table(orders(50))
    pl = pytest.importorskip("polars")
    assert pl.DataFrame(pa.table(again))["status"].to_list()[0] == "OrderStatus.Filled"
    duckdb = pytest.importorskip("duckdb")
    assert duckdb.sql("SELECT count(*) FROM again WHERE status = 'OrderStatus.Filled'").fetchall() == [(50,)]
    assert str(pa.table(again).to_pandas()["side"].dtype) == "category"


def test_the_backtest_reports_its_orders_and_positions_as_tables():
    import pathlib
    import sys
    root = pathlib.Path(__file__).resolve().parents[2]
    sys.path.insert(0, str(root / "examples"))
    try:
        import backtest
        import generate
        import strategy
    finally:
        sys.path.pop(0)
    table = generate.bars("BTCUSDT", 5000)
    report = backtest.backtest(strategy.MovingAverageCrossover(fast=5, slow=20),
                               feed.candles(table, code="BTCUSDT", interval=0))
    orders = pa.table(report.orders_table())
    assert orders.num_rows == report.trades > 0
    assert sum(orders.column("fee").to_pylist()) == pytest.approx(report.fees)
    assert pa.table(report.positions_table()).column("volume").to_pylist()[-1] == pytest.approx(report.holding)


# --- series to other processes ----------------------------------------------------------------------------------

import copy  # noqa: E402
import pickle  # noqa: E402


def candle_fields(series):
    return [tuple(getattr(c, name) for name in ["kind", "code", "interval", *FIELDS]) for c in series]


@pytest.mark.parametrize("protocol", range(2, pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("view", [slice(None), slice(1, 5, 2), slice(None, None, -1)])
def test_a_series_pickles_with_every_field(protocol, view):
    series = feed.candles(source(chunk=4), code="代码", interval=0, kind=TradeKind.Future)[view]
    back = pickle.loads(pickle.dumps(series, protocol=protocol))
    assert type(back) is type(series) and (back.code, back.interval, back.kind) == ("代码", CandleInterval.Min1,
                                                                                  TradeKind.Future)
    assert candle_fields(back) == candle_fields(series)


def test_protocol_5_sends_each_column_out_of_band():
    series = feed.candles(source(rows=1000), code="X", interval=0)
    buffers = []
    data = pickle.dumps(series, protocol=5, buffer_callback=buffers.append)
    assert len(buffers) == 9 and all(buffer.raw().nbytes == 8000 for buffer in buffers)
    assert len(data) < 1000  # the columns are not in the pickle itself
    assert candle_fields(pickle.loads(data, buffers=buffers)) == candle_fields(series)


def test_a_microsecond_series_and_a_split_one_pickle_exactly():
    table = pa.table({"code": ["A", "B"] * 2, "open_time": pa.array([MS * 1000 + 7, MS * 1000 + 9,
                                                                     (MS + 60_000) * 1000 + 7, (MS + 60_000) * 1000 + 9],
                                                                    pa.timestamp("us", "UTC")),
                      **{n: [1.0, 2.0, 3.0, 4.0] for n in ("open", "high", "low", "close", "volume")}})
    b = feed.candles_by(table, by="code", interval=0)["B"]
    back = pickle.loads(pickle.dumps(b))
    assert candle_fields(back) == candle_fields(b) and back[0].open_time.microsecond == 9


def test_a_series_is_its_own_copy():
    series = feed.candles(source(), code="X", interval=0)
    assert copy.copy(series) is series and copy.deepcopy(series) is series


def _closes(series):
    return [c.close for c in series]


def test_a_series_goes_to_a_worker_process():
    import concurrent.futures
    import multiprocessing
    series = feed.candles(source(), code="X", interval=0)
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as pool:
        assert pool.submit(_closes, series).result(timeout=120) == _closes(series)


@pytest.mark.leak_check(False)  # checks itself
def test_no_export_leaks():
    from conftest import assert_no_leak
    series = feed.candles(source(rows=20, chunk=7), code="X", interval=0)
    made = orders(20)
    assert_no_leak(lambda: pa.table(series), calls=500, rounds=3)
    assert_no_leak(lambda: pa.table(feed.table(made)), calls=500, rounds=3)
    assert_no_leak(lambda: pickle.loads(pickle.dumps(series, protocol=5)), calls=500, rounds=3)
    assert_no_leak(lambda: (series.__arrow_c_stream__(), series.__arrow_c_schema__()), calls=500, rounds=3)

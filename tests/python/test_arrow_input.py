"""What kavno_feed takes in: malformed Arrow arrays refused as nanoarrow refuses them, capsules of every wrong kind,
consumed exports, producers' release callbacks; every timestamp zone, dates, units, renamed columns; tables of many
instruments; NumPy buffers that others could write."""

import ctypes
import datetime as dt
import gc
import struct

import pytest

import arrow_c
import kavno_feed as feed
from kavno import CandleInterval

pa = pytest.importorskip("pyarrow")
np = pytest.importorskip("numpy")

UTC = dt.timezone.utc
MS = 1_704_067_260_000
T = dt.datetime(2024, 1, 1, 0, 1, tzinfo=UTC)


def read(data, **options):
    return feed.candles(data, code="X", interval=options.pop("interval", 0), **options)


# --- malformed arrays: refused as nanoarrow refuses them -------------------------------------------------------

def child(index, **fields):
    """Overrides for child `index` of the bars' struct array."""
    def change(schemas, arrays):
        for name, value in fields.items():
            setattr(arrays[index], name, value)
    return change


def struct_fields(**fields):
    def change(schemas, arrays, top):
        for name, value in fields.items():
            setattr(top, name, value)
    return change


def build(rows=3, change=None, top_change=None, top_null_count=0, top_validity=None):
    schemas, arrays = arrow_c.bars(rows)
    if change:
        change(schemas, arrays)
    top = arrow_c.array(rows, [top_validity], arrays, null_count=top_null_count)
    if top_change:
        top_change(schemas, arrays, top)
    return arrow_c.schema(b"+s", b"", schemas), top


MALFORMED = {
    "negative length": dict(top_change=struct_fields(length=-1)),
    "negative offset": dict(top_change=struct_fields(offset=-1)),
    "null_count below -1": dict(top_change=struct_fields(null_count=-2)),
    "children fewer than the schema's": dict(top_change=struct_fields(n_children=5)),
    "two buffers on a struct": dict(top_change=struct_fields(n_buffers=2)),
    "longer than its children": dict(top_change=struct_fields(length=4)),
    "offset beyond its children": dict(top_change=struct_fields(offset=1)),
    "child of one buffer": dict(change=child(2, n_buffers=1)),
    "child of three buffers": dict(change=child(2, n_buffers=3)),
    "child shorter than the table": dict(change=child(1, length=2)),
    "child negative offset": dict(change=child(3, offset=-1)),
    "child negative length": dict(change=child(3, length=-1)),
    "child with children": dict(change=child(4, n_children=1)),
    "child counting nulls without a bitmap": dict(change=child(4, null_count=1)),
    "unknown null count without a bitmap": dict(change=child(1, null_count=-1)),
}


@pytest.mark.parametrize("case", MALFORMED.values(), ids=MALFORMED.keys())
def test_a_malformed_array_is_refused_as_nanoarrow_refuses_it(case):
    na = pytest.importorskip("nanoarrow")
    with pytest.raises(Exception, match="ArrowArrayViewSetArray"):
        na.c_array(arrow_c.exported(*build(**case))).view()
    with pytest.raises(ValueError, match="is a malformed Arrow array: "):
        read(arrow_c.exported(*build(**case)))


def test_a_data_buffer_that_is_null_is_refused():
    def null_data(schemas, arrays):
        arrays[2].buffers[1] = None
    with pytest.raises(ValueError, match="^candles\\(\\): column 'high' is a malformed Arrow array: its buffer 1 is "
                                         "null$"):
        read(arrow_c.exported(*build(change=null_data)))


VALID = {
    "no bitmap and no nulls": dict(change=child(1, null_count=0)),
    "a bitmap of all rows valid": dict(top_null_count=-1, top_validity=arrow_c.bits([True] * 3)),
    "a struct offset into longer children": dict(rows=5, top_change=struct_fields(offset=2, length=3)),
}


@pytest.mark.parametrize("case", VALID.values(), ids=VALID.keys())
def test_what_nanoarrow_accepts_is_read(case):
    na = pytest.importorskip("nanoarrow")
    na.c_array(arrow_c.exported(*build(**case))).view()
    series = read(arrow_c.exported(*build(**case)))
    assert len(series) == 3 and series[0].close == 100.0


def validity_case(offset, null_at):
    """A close column of 12 rows with its own offset and one null, read by a struct with an offset of 2."""
    rows = 16
    def change(schemas, arrays):
        bitmap = ctypes.create_string_buffer(arrow_c.bits([row != null_at for row in range(offset + rows)]))
        arrays[4].buffers[0] = ctypes.cast(bitmap, ctypes.c_void_p)
        arrays[4].null_count, arrays[4].offset, arrays[4].length = 1, offset, rows
        data = ctypes.create_string_buffer(struct.pack(f"<{offset + rows}d", *[100.0] * (offset + rows)))
        arrays[4].buffers[1] = ctypes.cast(data, ctypes.c_void_p)
        arrow_c._keep.extend([bitmap, data])
    return dict(rows=rows, change=change, top_change=struct_fields(offset=2, length=12))


@pytest.mark.parametrize("offset, null_at, message", [
    (0, 0, None),  # before the struct's rows
    (0, 2, "column 'close', row 0: a null; drop or fill such rows before reading them"),
    (5, 7, "column 'close', row 0: a null; drop or fill such rows before reading them"),
    (5, 18, "column 'close', row 11: a null; drop or fill such rows before reading them"),
    (3, 19, None),  # after them
])
def test_validity_bitmaps_are_read_at_any_offset(offset, null_at, message):
    data = arrow_c.exported(*build(**validity_case(offset, null_at)))
    if message is None:
        assert len(read(data)) == 12
    else:
        with pytest.raises(ValueError) as info:
            read(data)
        assert info.value.args == (message,)


# --- capsules and exports ---------------------------------------------------------------------------------------

def test_a_consumed_stream_is_refused_not_read():
    capsule = pa.table({"open_time": [MS], **{n: [1.0] for n in ("open", "high", "low", "close", "volume")}}) \
        .__arrow_c_stream__()
    data = arrow_c.Exported(stream=capsule)
    assert len(read(data)) == 1
    with pytest.raises(ValueError) as info:
        read(data)  # the same capsule again: its stream was moved out
    assert info.value.args == ("candles(): the Arrow stream was already consumed (its release is NULL); export the "
                               "data again",)


def test_a_consumed_array_is_refused_not_read():
    data = arrow_c.exported(*arrow_c.table())
    assert len(read(data)) == 3
    with pytest.raises(ValueError, match="^candles\\(\\): the Arrow array was already consumed \\(its release is "
                                         "NULL\\); export the data again$"):
        read(data)
    struct_schema, struct_array = arrow_c.table()
    struct_schema.release = arrow_c.SCHEMA_RELEASE()
    with pytest.raises(ValueError, match="^candles\\(\\): the Arrow schema was already consumed"):
        read(arrow_c.exported(struct_schema, struct_array))


class Raising:
    @property
    def __arrow_c_stream__(self):
        raise RuntimeError("no stream today")


class Returning:
    def __init__(self, value):
        self.value = value

    def __arrow_c_stream__(self, requested_schema=None):
        return self.value


@pytest.mark.parametrize("data, error, message", [
    (Returning(42), TypeError, "candles(): __arrow_c_stream__() gave int, not a PyCapsule"),
    (Returning(arrow_c.capsule(arrow_c.ArrowArrayStream(), b"arrow_array")), TypeError,
     "candles(): __arrow_c_stream__() gave a capsule named 'arrow_array', not 'arrow_array_stream'"),
    (Returning(arrow_c.capsule(arrow_c.ArrowArrayStream(), None)), TypeError,
     "candles(): __arrow_c_stream__() gave a capsule named nothing, not 'arrow_array_stream'"),
    (arrow_c.Exported(arrow_c.capsule(arrow_c.ArrowSchema(), b"arrow_array"), None), TypeError,
     "candles(): __arrow_c_array__() gave a capsule named 'arrow_array', not 'arrow_schema'"),
    (Raising(), RuntimeError, "no stream today"),
])
def test_a_wrong_export_is_refused_with_what_it_gave(data, error, message):
    with pytest.raises(error) as info:
        read(data)
    assert type(info.value) is error and info.value.args == (message,)


def test_a_ctypes_producer_is_released_with_no_exception_pending():
    before = dict(arrow_c.RELEASED)
    schemas, arrays = arrow_c.bars(3)
    arrays[3].length = 1  # refused: the release callbacks run while the ValueError is raised
    top = arrow_c.array(3, [None], arrays)
    with pytest.raises(ValueError, match="^candles\\(\\): column 'low' is a malformed Arrow array"):
        read(arrow_c.exported(arrow_c.schema(b"+s", b"", schemas), top))
    gc.collect()
    assert arrow_c.RELEASED["array"] == before["array"] + 1


# --- every zone, dates, units, renamed columns ------------------------------------------------------------------

PRICES = {name: [100.0, 100.0] for name in ("open", "high", "low", "close", "volume")}


@pytest.mark.parametrize("times", [
    pa.array([MS, MS + 60_000], pa.timestamp("ms", "America/New_York")),
    pa.array([MS * 1000, (MS + 60_000) * 1000], pa.timestamp("us", "+08:00")),
    pa.array([MS // 1000, MS // 1000 + 60], pa.timestamp("s", "Asia/Shanghai")),
    pa.array([MS * 10**6, (MS + 60_000) * 10**6], pa.timestamp("ns", "UTC")),
], ids=["ms New York", "us +08:00", "s Shanghai", "ns UTC"])
def test_a_timestamp_of_any_zone_holds_utc_instants(times):
    assert [c.open_time for c in read(pa.table({"open_time": times, **PRICES}))] == [T, T + dt.timedelta(minutes=1)]


@pytest.mark.parametrize("times", [pa.array([dt.date(2024, 1, 1), dt.date(2024, 1, 2)], pa.date32()),
                                   pa.array([dt.date(2024, 1, 1), dt.date(2024, 1, 2)], pa.date64())])
def test_dates_are_utc_midnight(times):
    series = read(pa.table({"open_time": times, **PRICES}), interval=CandleInterval.Day1)
    assert [(c.open_time, c.close_time.isoformat()) for c in series] == [
        (dt.datetime(2024, 1, 1, tzinfo=UTC), "2024-01-01T23:59:59.999000+00:00"),
        (dt.datetime(2024, 1, 2, tzinfo=UTC), "2024-01-02T23:59:59.999000+00:00")]


@pytest.mark.parametrize("unit, scale, kind", [("s", 10**-3, pa.int64()), ("ms", 1, pa.int64()), ("us", 10**3, pa.int64()),
                                               ("ns", 10**6, pa.int64()), ("s", 10**-3, pa.uint32())])
def test_integer_times_are_read_in_time_unit(unit, scale, kind):
    times = pa.array([int(MS * scale), int((MS + 60_000) * scale)], kind)
    assert read(pa.table({"open_time": times, **PRICES}), time_unit=unit)[1].open_time == T + dt.timedelta(minutes=1)
    numpy = {"open_time": np.asarray(times), **{n: np.asarray(v) for n, v in PRICES.items()}}
    assert read(numpy, time_unit=unit)[0].open_time == T


@pytest.mark.parametrize("given, error, message", [
    (dict(time_unit="m"), ValueError, "time_unit: 'm' is not one of \"s\", \"ms\", \"us\", \"ns\""),
    (dict(time_unit=1000), TypeError, "time_unit: expected a str (\"s\", \"ms\", \"us\" or \"ns\"), not int"),
    (dict(columns={"start": "ts"}), ValueError,
     "columns: 'start' is no column of a candle (open_time, close_time, open, high, low, close, volume, amount, trades)"),
    (dict(columns={"open_time": 1}), TypeError, "columns: the name of 'open_time' must be a str, not int"),
    (dict(columns=[("open_time", "ts")]), TypeError,
     "columns: expected a dict of kavno's column names to the data's, not list"),
])
def test_bad_options_are_refused(given, error, message):
    with pytest.raises(error) as info:
        read(pa.table({"open_time": [MS], **{n: v[:1] for n, v in PRICES.items()}}), **given)
    assert type(info.value) is error and info.value.args == (message,)


def kline_table():
    """An exchange's kline layout."""
    return pa.table({"open_time": [MS, MS + 60_000], "open": [1.0, 2.0], "high": [1.5, 2.5], "low": [0.5, 1.5],
                     "close": [1.2, 2.2], "volume": [3.0, 4.0], "close_time": [MS + 59_999, MS + 119_999],
                     "quote_volume": [30.0, 40.0], "count": [7, 9], "ignore": ["0", "0"]})


def test_columns_map_kavno_names_to_the_data():
    series = read(kline_table(), columns={"amount": "quote_volume", "trades": "count"})
    assert [(c.amount, c.trades) for c in series] == [(30.0, 7), (40.0, 9)]
    assert series[1].close_time == T + dt.timedelta(minutes=1, milliseconds=59_999)
    with pytest.raises(ValueError, match="^candles\\(\\): the data has no column 'quote' \\(its columns: open_time, open, "
                                         "high, low, close, volume, close_time, quote_volume, count, ignore\\); name "):
        read(kline_table(), columns={"open": "quote"})


def test_two_columns_of_one_name_are_refused():
    table = pa.Table.from_arrays([pa.array([MS]), *[pa.array([1.0])] * 5, pa.array([2.0])],
                                 names=["open_time", "open", "high", "low", "close", "volume", "close"])
    with pytest.raises(ValueError) as info:
        read(table)
    assert info.value.args == ("candles(): the data has two columns named 'close'; rename or drop one",)


def test_real_libraries_outputs_are_read():
    pl = pytest.importorskip("polars")
    frame = pl.DataFrame({"ts": [T, T + dt.timedelta(minutes=1)], **PRICES}).with_columns(
        pl.col("ts").dt.convert_time_zone("Europe/Berlin"))
    assert read(frame, columns={"open_time": "ts"})[1].open_time == T + dt.timedelta(minutes=1)
    with pytest.raises(TypeError, match="pass data.collect\\(\\)$"):
        read(frame.lazy())
    pd = pytest.importorskip("pandas")
    pandas = pd.DataFrame({"open_time": pd.to_datetime([MS, MS + 60_000], unit="ms", utc=True), **PRICES})
    assert read(pandas)[0].open_time == T
    naive = pandas.assign(open_time=pandas.open_time.dt.tz_localize(None))
    with pytest.raises(TypeError, match="^column 'open_time': a timestamp without a time zone; kavno takes"):
        read(naive)


def test_a_duckdb_result_in_a_local_zone_is_read():
    duckdb = pytest.importorskip("duckdb")
    connection = duckdb.connect()
    connection.execute("SET TimeZone = 'America/New_York'")
    result = connection.sql(f"SELECT make_timestamptz({MS * 1000}) + to_minutes(i) AS open_time, 100.0::DOUBLE AS open, "
                            "100.0::DOUBLE AS high, 100.0::DOUBLE AS low, 100.0::DOUBLE AS close, 1.0::DOUBLE AS volume "
                            "FROM range(3) t(i)")
    assert [c.open_time for c in read(result)] == [T + dt.timedelta(minutes=i) for i in range(3)]


# --- tables of many instruments -------------------------------------------------------------------------------

def instruments(key_type=pa.string()):
    keys = ["BTC", "ETH", "BTC", "ETH", "SOL"]
    return pa.table({"code": pa.array(keys if key_type != pa.int32() else [1, 2, 1, 2, 3], key_type),
                     "open_time": [MS, MS, MS + 60_000, MS + 60_000, MS], "open": [1.0, 2.0, 3.0, 4.0, 5.0],
                     "high": [1.0, 2.0, 3.0, 4.0, 5.0], "low": [1.0, 2.0, 3.0, 4.0, 5.0],
                     "close": [1.0, 2.0, 3.0, 4.0, 5.0], "volume": [1.0] * 5})


@pytest.mark.parametrize("key_type", [pa.string(), pa.large_string(), pa.string_view(), pa.int32()])
def test_candles_by_splits_a_table_by_instrument_in_one_pass(key_type):
    table = instruments(key_type)
    split = feed.candles_by(pa.Table.from_batches(table.to_batches(max_chunksize=2)), by="code", interval=0)
    keys = [1, 2, 3] if key_type == pa.int32() else ["BTC", "ETH", "SOL"]
    assert list(split) == keys
    assert [[c.close for c in split[key]] for key in keys] == [[1.0, 3.0], [2.0, 4.0], [5.0]]
    assert [split[key].code for key in keys] == [str(key) for key in keys]
    assert [c.close for c in split[keys[0]][::-1]] == [3.0, 1.0] and split[keys[1]][-1].close == 4.0


def test_polars_string_views_split_too():
    pl = pytest.importorskip("polars")
    long_codes = ["A-LONG-INSTRUMENT-NAME", "B"]  # beyond 12 bytes a view points into a data buffer
    frame = pl.DataFrame({"code": [long_codes[0], long_codes[1], long_codes[0]], "open_time": [MS, MS, MS + 60_000],
                          **{n: [1.0, 2.0, 3.0] for n in PRICES}})
    split = feed.candles_by(frame, by="code", interval=0)
    assert {key: len(series) for key, series in split.items()} == {long_codes[0]: 2, long_codes[1]: 1}


@pytest.mark.parametrize("data, by, error, message", [
    (instruments().set_column(5, "close", pa.array([1.0, 2.0, float("nan"), 4.0, 5.0])), "code", ValueError,
     "column 'close', row 2: nan is not a finite number; drop or fill such bars before reading them (in the bars of "
     "code BTC)"),
    (instruments(), "symbol", ValueError, "candles(): the data has no column 'symbol' (its columns: code, open_time, "
                                          "open, high, low, close, volume)"),
    (instruments(), "open", TypeError, "column 'open': a string or integer column expected, found float64"),
    (instruments().set_column(0, "code", pa.array(["A", None, "A", "B", "C"])), "code", ValueError,
     "column 'code', row 1: a null; drop or fill such rows before reading them"),
    ({"code": np.zeros(2)}, "code", TypeError, "candles_by(): split tables of Arrow data (a pyarrow Table, a DataFrame)"),
    ("bars.csv", "code", TypeError, "candles_by(): a CSV file of bars holds one instrument; use candles()"),
])
def test_candles_by_refusals(data, by, error, message):
    with pytest.raises(error) as info:
        feed.candles_by(data, by=by, interval=0)
    assert type(info.value) is error and info.value.args == (message,)


def test_one_instrument_of_a_table_without_candles_by_is_refused_for_its_order():
    with pytest.raises(ValueError, match="^column 'open_time', row 1: 2024-01-01T00:01:00Z does not come after the bar "
                                         "before, .* read a table of several instruments with candles_by\\(\\)"):
        read(instruments())


# --- buffers that others could write ----------------------------------------------------------------------------

def test_a_writable_numpy_column_is_copied_so_the_series_cannot_change():
    data = {"open_time": np.array([MS, MS + 60_000]), **{n: np.array(v) for n, v in PRICES.items()},
            "trades": np.array([1, 2], dtype=np.uint64)}
    series = read(data)
    data["close"][0] = float("nan")
    data["trades"][1] = 2**63 + 5
    data["open_time"][1] = MS
    assert [(c.close, c.trades, c.open_time) for c in series] == [(100.0, 1, T), (100.0, 2, T + dt.timedelta(minutes=1))]


def test_a_read_only_buffer_is_read_in_place():
    raw = bytearray(struct.pack("<2d", 100.0, 100.0))
    close = memoryview(bytes(raw)).cast("d")  # read-only: no one can change it
    data = {"open_time": np.array([MS, MS + 60_000]), **{n: np.array(v) for n, v in PRICES.items()}, "close": close}
    assert [c.close for c in read(data)] == [100.0, 100.0]


class FailingBuffer:
    def __init__(self, error):
        self.error = error

    def __buffer__(self, flags):
        raise self.error


@pytest.mark.parametrize("error", [KeyboardInterrupt(), MemoryError(), ValueError("bad buffer")])
def test_a_buffer_failure_other_than_type_error_is_the_objects_own(error):
    data = {"open_time": np.array([MS]), **{n: np.array(v[:1]) for n, v in PRICES.items()}, "close": FailingBuffer(error)}
    with pytest.raises(type(error)) as info:
        read(data)
    assert info.value is error


def test_a_type_error_from_a_buffer_is_rephrased_with_its_cause():
    cause = TypeError("not today")
    data = {"open_time": np.array([MS]), **{n: np.array(v[:1]) for n, v in PRICES.items()}, "close": FailingBuffer(cause)}
    with pytest.raises(TypeError, match="^column 'close': a one-dimensional buffer of numbers") as info:
        read(data)
    assert info.value.__cause__ is cause


# --- every refusal of the reader ----------------------------------------------------------------------------------

def test_a_failing_stream_says_what_its_producer_said():
    with pytest.raises(OSError) as info:
        read(arrow_c.Exported(stream=arrow_c.capsule(arrow_c.stream(schema_error=5), b"arrow_array_stream")))
    assert info.value.args == ("candles(): the Arrow stream failed (5): the producer broke",)
    struct_schema, _ = arrow_c.table()
    failing = arrow_c.stream(struct_schema, next_error=12, message=None)
    with pytest.raises(OSError, match="^candles\\(\\): the Arrow stream failed \\(12\\): no message$"):
        read(arrow_c.Exported(stream=arrow_c.capsule(failing, b"arrow_array_stream")))
    broken = arrow_c.stream(struct_schema)
    broken.get_next = arrow_c.GET_NEXT()
    with pytest.raises(ValueError, match="^candles\\(\\): the Arrow stream is malformed: it has no get_schema or "
                                         "get_next$"):
        read(arrow_c.Exported(stream=arrow_c.capsule(broken, b"arrow_array_stream")))


def test_a_stream_of_batches_from_ctypes_is_read_and_released_once():
    before = dict(arrow_c.RELEASED)
    struct_schema, first = arrow_c.table()
    _, second = arrow_c.table()
    second.children[0].contents.buffers[1] = ctypes.cast(
        ctypes.create_string_buffer(struct.pack("<3q", *(MS + 60_000 * i for i in range(3, 6)))), ctypes.c_void_p)
    arrow_c._keep.append(second.children[0].contents.buffers[1])
    series = read(arrow_c.Exported(stream=arrow_c.capsule(arrow_c.stream(struct_schema, [first, second]),
                                                          b"arrow_array_stream")))
    assert [c.open_time for c in series][2:4] == [T + dt.timedelta(minutes=2), T + dt.timedelta(minutes=3)]
    del series
    gc.collect()
    assert [arrow_c.RELEASED[k] - before[k] for k in ("schema", "array", "stream")] == [1, 2, 1]


@pytest.mark.parametrize("data, error, message", [
    (arrow_c.Exported(42, None), TypeError, "candles(): __arrow_c_array__() gave int, not a PyCapsule"),
    (arrow_c.Exported(arrow_c.capsule(arrow_c.ArrowSchema(), b"arrow_schema"),
                      arrow_c.capsule(arrow_c.ArrowArray(), b"arrow_schema")), TypeError,
     "candles(): __arrow_c_array__() gave a capsule named 'arrow_schema', not 'arrow_array'"),
    (type("Pair", (), {"__arrow_c_array__": lambda self, requested_schema=None: (1, 2, 3)})(), TypeError,
     "candles(): __arrow_c_array__ gave no (schema, array) pair"),
    (type("Convertible", (), {"to_arrow": None})(), TypeError,
     "candles(): the data must speak the Arrow PyCapsule interface (__arrow_c_stream__ or __arrow_c_array__), map "
     "column names to one-dimensional buffers, or be the path of a CSV file, not Convertible; pass data.to_arrow()"),
])
def test_an_unreadable_export_is_refused(data, error, message):
    with pytest.raises(error) as info:
        read(data)
    assert type(info.value) is error and info.value.args == (message,)


def test_a_schema_without_its_children_is_refused():
    struct_schema, struct_array = arrow_c.table()
    struct_schema.n_children = -1
    with pytest.raises(ValueError, match="^candles\\(\\): the Arrow schema is malformed: its children are missing$"):
        read(arrow_c.exported(struct_schema, struct_array))


@pytest.mark.parametrize("column, message", [
    (pa.array([MS, MS + 1], pa.timestamp("ms", "UTC")), "found timestamp[ms] in UTC"),
    (pa.array([MS, MS + 1], pa.timestamp("us")), "found timestamp[us] without a time zone"),
    (pa.array([1, 2], pa.decimal128(10, 2)), "found decimal(10,2)"),
    (pa.array([b"ab", b"cd"], pa.binary(2)), "found fixed-size binary(2)"),
    (pa.array([[1], [2]], pa.list_(pa.int8(), 1)), "found fixed-size list(1)"),
    (pa.array([[1], [2]], pa.list_(pa.int8())), "found list"),
    (pa.array([dt.time(1), dt.time(2)]), "found time64[us]"),
    (pa.UnionArray.from_sparse(pa.array([0, 0], pa.int8()), [pa.array([1, 2])]), "found union"),
])
def test_a_column_of_another_type_is_named_as_a_user_knows_it(column, message):
    table = pa.table({"open_time": [MS, MS + 60_000], **{n: v for n, v in PRICES.items() if n != "close"},
                      "close": column})
    with pytest.raises(TypeError) as info:
        read(table)
    assert info.value.args == ("column 'close': a number column (float or integer) expected, " + message,)


@pytest.mark.parametrize("kind", [pa.int8(), pa.int16(), pa.uint8(), pa.uint16(), pa.uint32()])
def test_every_integer_width_reads_as_trades_and_prices(kind):
    table = pa.table({"open_time": [MS, MS + 60_000], "open": pa.array([1, 2], kind), "high": pa.array([3, 3], kind),
                      "low": pa.array([1, 1], kind), "close": pa.array([2, 2], kind), "volume": pa.array([0, 5], kind),
                      "trades": pa.array([7, 8], kind)})
    assert [(c.open, c.high, c.volume, c.trades) for c in read(table)] == [(1.0, 3.0, 0.0, 7), (2.0, 3.0, 5.0, 8)]


@pytest.mark.parametrize("column, error, message", [
    (np.array([1.0, 2.0], dtype=">f8"), TypeError, "column 'close': a buffer of numbers expected, found format '>d'"),
    (np.array([True, False]), TypeError, "column 'close': a buffer of numbers expected, found format '?'"),
])
def test_a_buffer_of_another_kind_is_refused(column, error, message):
    data = {"open_time": np.array([MS, MS + 60_000]), **{n: np.array(v) for n, v in PRICES.items()}, "close": column}
    with pytest.raises(error) as info:
        read(data)
    assert info.value.args == (message,)


def test_buffers_of_every_width_and_an_explicit_byte_order_are_read():
    data = {"open_time": np.array([MS, MS + 60_000]), **{n: np.array(v) for n, v in PRICES.items()},
            "close": np.array([100.0, 100.0], dtype="<f8"), "trades": np.array([1, 2], dtype=np.int8),
            "amount": np.array([3, 4], dtype=np.uint16)}
    assert [(c.close, c.trades, c.amount) for c in read(data)] == [(100.0, 1, 3.0), (100.0, 2, 4.0)]


def test_a_mapping_without_a_column_lists_its_keys():
    with pytest.raises(ValueError) as info:
        read({"open_time": np.array([MS]), "o": np.zeros(1)})
    assert info.value.args == ("candles(): the data has no column 'open' (its columns: ['open_time', 'o']); "
                               "name the columns of other names with columns={'open': ...}",)


def key_column(format, buffers, rows=3):
    """A struct of the bars with a `code` child of the given layout, built with ctypes."""
    schemas, arrays = arrow_c.bars(rows)
    schemas.append(arrow_c.schema(format, b"code"))
    arrays.append(arrow_c.array(rows, buffers))
    return arrow_c.exported(arrow_c.schema(b"+s", b"", schemas), arrow_c.array(rows, [None], arrays))


@pytest.mark.parametrize("format, buffers, message", [
    (b"u", [None, struct.pack("<4i", 0, 1, 0, 1), b"ab"], "its offsets are not in order"),
    (b"vu", [None, struct.pack("<i12s", 20, b"") * 3, b"x" * 8, struct.pack("<q", 8)], "a view beyond its data buffers"),
    (b"vu", [None, struct.pack("<i12s", 1, b"a") * 3, None], "its buffer 2 is null"),
])
def test_a_malformed_key_column_is_refused(format, buffers, message):
    with pytest.raises(ValueError) as info:
        feed.candles_by(key_column(format, buffers), by="code", interval=0)
    assert info.value.args == ("candles(): column 'code' is a malformed Arrow array: " + message,)


def test_a_key_that_is_no_utf8_is_refused():
    codes = pa.Array.from_buffers(pa.string(), 1, [None, pa.py_buffer(struct.pack("<2i", 0, 1)), pa.py_buffer(b"\xff")])
    table = pa.table({"code": codes, "open_time": [MS], **{n: v[:1] for n, v in PRICES.items()}})
    with pytest.raises(ValueError, match="^column 'code': a value is not valid UTF-8$"):
        feed.candles_by(table, by="code", interval=0)


@pytest.mark.parametrize("by, column, error, message", [
    (5, None, TypeError, "by: expected a column name (str), not int"),
    ("code", pa.array(["a", "b"]).dictionary_encode(), TypeError,
     "column 'code': dictionary-encoded (a categorical); decode it first"),
])
def test_candles_by_refuses_a_bad_key(by, column, error, message):
    table = pa.table({"code": column if column is not None else ["a", "b"], "open_time": [MS, MS],
                      **{n: v for n, v in PRICES.items()}})
    with pytest.raises(error) as info:
        feed.candles_by(table, by=by, interval=0)
    assert info.value.args == (message,)


def test_the_series_protocol_odds_and_ends():
    import operator
    series = read(pa.table({"open_time": [MS, MS + 60_000], **PRICES}))
    iterator = iter(series)
    next(iterator)
    assert operator.length_hint(iterator) == 1
    with pytest.raises(TypeError, match="^index expected 1 to 3 arguments, got 0$"):
        series.index()
    with pytest.raises(TypeError, match="^candles\\(\\) takes 1 positional argument but 2 positional arguments "
                                        "\\(and 2 keyword-only arguments\\) were given$"):
        feed.candles({}, {}, code="X", interval=0)

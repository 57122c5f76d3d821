// The columns a CandleSeries reads its candles from, where they lie: in the Arrow arrays a Python library exported
// (a table, a record batch, a stream of them), or in one-dimensional buffers (NumPy arrays). Nothing is copied:
// each column is a pointer, a stride and the type of its elements, checked whole when the series is made (types,
// nulls, time zones, dates a record can hold), so that reading a row cannot fail.
#pragma once

#include "arguments.hpp"
#include "arrow.hpp"

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace feed {

// How a column's elements are stored. Numbers of every width are read as a double exactly (64-bit integers only
// when every value is below 2^53); timestamps are 64-bit integers in their unit.
enum class Storage : std::uint8_t { F64, F32, F16, I8, I16, I32, I64, U8, U16, U32, U64 };
enum class TimeUnit : std::uint8_t { Seconds, Milliseconds, Microseconds, Nanoseconds };

struct Column {
    const std::byte* values = nullptr;  // the element of the chunk's first row
    std::int64_t stride = 0;            // bytes from one row's element to the next
    Storage storage = Storage::F64;
    TimeUnit unit = TimeUnit::Milliseconds;  // for the time columns
    bool present = false;

    double number(std::int64_t row) const noexcept;
    std::int64_t integer(std::int64_t row) const noexcept;  // integer storages only
    Timepoint time(std::int64_t row) const noexcept { return to_timepoint(integer(row), unit); }

    static Timepoint to_timepoint(std::int64_t value, TimeUnit unit) noexcept;
};

// Rows that lie together: one Arrow record batch, or all of the buffers.
struct Chunk {
    std::int64_t rows = 0;
    Column open_time, close_time, open, high, low, close, volume, amount, trades;
};

// What a series reads from, shared by a series and its slices. It owns the Arrow arrays it moved out of their
// capsules and the buffer views it took, and releases each exactly once when the last series goes (with the GIL
// held: it lives in Python objects).
class Table {
public:
    Table() = default;
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;
    ~Table();

    std::vector<Chunk> chunks;
    std::vector<std::int64_t> starts;  // the first row of each chunk
    std::int64_t rows = 0;
    std::vector<ArrowArray> arrays;
    std::vector<Py_buffer> buffers;

    // The chunk that holds `row` (in [0, rows)) and the row within it.
    const Chunk& locate(std::int64_t row, std::int64_t& within) const noexcept;
};

// Reads `data` (anything with __arrow_c_stream__ or __arrow_c_array__, or a mapping of column names to buffers)
// for candles of `interval`; null with the exception set when a column is missing, of the wrong type, holds a
// null or a date a record cannot hold.
std::shared_ptr<Table> read_table(PyObject* data, kavno::CandleInterval interval);

// Fetches collections.abc.Mapping, which read_table asks about, once at import.
bool load_mapping_abc() noexcept;

}  // namespace feed

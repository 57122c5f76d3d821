// Columns of bars where they lie (Arrow arrays a library exported, one-dimensional buffers, a CSV file read into
// memory), found by name, checked for their layout and then row by row by the bar rules, so that reading a row of
// a series never fails. Nothing here knows Python: the Arrow reader is fuzzed on its own.
#pragma once

#include "arrow.hpp"
#include "bars/rules.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace feed {

using BarField = bars::Field;
using bars::Time;
using bars::Unit;

// How a column's elements are stored. Numbers of every width are read as a double exactly (64-bit integers only
// when every value is within 2^53); times are integers in their unit.
enum class Storage : std::uint8_t { F64, F32, F16, I8, I16, I32, I64, U8, U16, U32, U64 };

constexpr bool is_integer(Storage storage) noexcept { return storage >= Storage::I8; }
std::int64_t size_of(Storage storage) noexcept;

struct Column {
    const std::byte* values = nullptr;  // the element of the chunk's first row
    std::int64_t stride = 0;            // bytes from one row's element to the next
    Storage storage = Storage::F64;
    Unit unit = Unit::Milliseconds;  // of a time column
    bool present = false;
    bool typed_time = false;  // an Arrow timestamp or date, whose unit is its type's (not time_unit=)

    double number(std::int64_t row) const noexcept;
    std::int64_t integer(std::int64_t row) const noexcept;  // integer storages; a uint64 beyond 2^63 wraps
    // The instant of a time column's row; checked for every row when the series is made.
    Time time(std::int64_t row) const noexcept {
        Time out;
        bars::to_time(integer(row), unit, out);
        return out;
    }
};

// Rows that lie together: one Arrow record batch, or all of the buffers.
struct Chunk {
    std::int64_t rows = 0;
    std::array<Column, bars::field_count> columns;
    const Column& operator[](BarField field) const noexcept { return columns[static_cast<std::size_t>(field)]; }

    // One bar's field as the 8 bytes a series' own columns store it as: a time as an int64 count of units of
    // which `per_second` make a second (the close time, where the data has none, the open time plus
    // `close_after_ms`), trades as an int64, the rest as a float64; an absent amount or trades is zero.
    void write_field(std::byte* into, BarField field, std::int64_t row, std::int64_t close_after_ms,
                     std::int64_t per_second) const noexcept;
    Column& operator[](BarField field) noexcept { return columns[static_cast<std::size_t>(field)]; }
};

struct Columns {
    std::vector<Chunk> chunks;
    std::vector<std::int64_t> starts;  // the first row of each chunk
    std::int64_t rows = 0;

    void add(const Chunk& chunk);
    // The chunk that holds `row` (in [0, rows)) and the row within it.
    const Chunk& locate(std::int64_t row, std::int64_t& within) const noexcept;
};

// A refusal: the Python exception it becomes (TypeError for data of the wrong kind, ValueError for values) and its
// message.
struct Problem {
    enum class Kind : std::uint8_t { Type, Value };
    Kind kind;
    std::string message;
};
using Outcome = std::optional<Problem>;

// What the reader is asked for: each field's column name in the data, the unit of integer time columns, and the
// column whose values split a table into instruments (empty for none).
struct Request {
    std::array<std::string, bars::field_count> names;
    Unit integer_unit = Unit::Milliseconds;
    std::string by;
    std::int64_t close_after_ms = 59'999;  // a bar without close_time closes at open_time plus this
    bool check_high_low = true;

    Request();
    const std::string& name(BarField field) const noexcept { return names[static_cast<std::size_t>(field)]; }
};

// The instruments of a table split by a key column: each key's rows in table order, keys in order of appearance.
struct Groups {
    enum class KeyKind : std::uint8_t { Text, Integer } kind = KeyKind::Text;
    struct Group {
        std::string text;          // the key: its text, or for integers its decimal digits
        std::int64_t integer = 0;  // the key of an integer column
        std::vector<std::int64_t> rows;
    };
    std::vector<Group> groups;
    std::unordered_map<std::string, std::size_t> index;  // key bytes to group
};

// --- Arrow ----------------------------------------------------------------------------------------------------

// An Arrow format string as a user knows the type: "string view", "timestamp[ns] in America/New_York".
std::string describe_format(const char* format);

// Where each requested column is among a struct schema's children and how it is stored.
struct Layout {
    std::array<int, bars::field_count> child{};  // -1: an optional column that is not there
    std::array<Column, bars::field_count> types{};
    std::int64_t children = 0;
    int by_child = -1;
    enum class KeyLayout : std::uint8_t { None, Utf8, LargeUtf8, Utf8View, Integer } key = KeyLayout::None;
    Storage key_storage = Storage::I64;
};

Outcome read_schema(const ArrowSchema& schema, const Request& request, Layout& layout);

// Checks a record batch against the layout (lengths, offsets, buffer and child counts, nulls at any offset) and
// adds its columns to `columns`; with a key column, adds each row to its group.
Outcome read_batch(const ArrowArray& batch, const Layout& layout, const Request& request, Columns& columns,
                   Groups* groups);

// --- the rows -------------------------------------------------------------------------------------------------

// Checks every row by the bar rules, in table order or (for an instrument of a split table) in the order `rows`
// gives; `row_base` counts the rows of messages from the table's first.
Outcome check_rows(const Columns& columns, const Request& request, std::span<const std::int64_t> rows = {});

// Checks one column of buffers: its storage suits its field.
Outcome check_buffer_storage(BarField field, const std::string& name, Storage storage);

// A refusal about one column, "column 'close': ...".
Problem column_problem(Problem::Kind kind, const std::string& column, const std::string& what);

}  // namespace feed

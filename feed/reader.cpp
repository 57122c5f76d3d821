// The layout checks of Arrow arrays and the rows pass of the bar rules.
#include "reader.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string_view>

namespace feed {

namespace {

enum class Role : std::uint8_t { Time, Number, Count };

constexpr Role role_of(BarField field) noexcept {
    switch (field) {
        case BarField::OpenTime:
        case BarField::CloseTime: return Role::Time;
        case BarField::Trades: return Role::Count;
        default: return Role::Number;
    }
}

constexpr bool is_required(BarField field) noexcept {
    return field != BarField::CloseTime && field != BarField::Amount && field != BarField::Trades;
}

constexpr std::int64_t exact_limit = std::int64_t{1} << 53;  // every integer up to here is exactly a double

double from_half(std::uint16_t bits) noexcept {
    const int exponent = (bits >> 10) & 0x1F;
    const double fraction = bits & 0x3FF;
    const double magnitude = exponent == 0    ? std::ldexp(fraction, -24)
                             : exponent == 31 ? (fraction == 0 ? INFINITY : NAN)
                                              : std::ldexp(fraction + 1024, exponent - 25);
    return (bits & 0x8000) ? -magnitude : magnitude;
}

template <class T>
T load(const void* at) noexcept {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

Problem type_problem(const std::string& column, const std::string& what) {
    return column_problem(Problem::Kind::Type, column, what);
}
Problem value_problem(const std::string& what) { return Problem{Problem::Kind::Value, "candles(): " + what}; }

bool storage_of_format(std::string_view format, Storage& out) noexcept {
    if (format.size() != 1) return false;
    constexpr std::string_view codes = "gfecsilCSIL";
    constexpr Storage storages[] = {Storage::F64, Storage::F32, Storage::F16, Storage::I8,  Storage::I16, Storage::I32,
                                    Storage::I64, Storage::U8,  Storage::U16, Storage::U32, Storage::U64};
    const std::size_t at = codes.find(format[0]);
    if (at == std::string_view::npos) return false;
    out = storages[at];
    return true;
}

constexpr const char* naive_fix =
    "; kavno takes times as UTC instants. If the values are UTC, label them so: in pyarrow "
    "table.set_column(i, name, table[name].cast(pa.timestamp(\"ms\", tz=\"UTC\"))), in polars "
    "df.with_columns(pl.col(name).dt.replace_time_zone(\"UTC\")), in pandas df[name] = df[name].dt.tz_localize(\"UTC\")";

Outcome column_type(BarField field, const std::string& column_name, std::string_view format, Unit integer_unit,
                    Column& column) {
    switch (role_of(field)) {
        case Role::Time:
            if (storage_of_format(format, column.storage) && is_integer(column.storage)) {
                column.unit = integer_unit;
                return std::nullopt;
            }
            if (format == "tdD" || format == "tdm") {  // dates: UTC midnight
                column.storage = format == "tdD" ? Storage::I32 : Storage::I64;
                column.unit = format == "tdD" ? Unit::Days : Unit::Milliseconds;
                column.typed_time = true;
                return std::nullopt;
            }
            if (format.size() >= 4 && format.starts_with("ts") && format[3] == ':' &&
                std::string_view("smun").find(format[2]) != std::string_view::npos) {
                // Values of a timestamp with any zone are UTC instants; the zone only says how to show them.
                if (format.size() == 4) {
                    return type_problem(column_name, "a timestamp without a time zone" + std::string(naive_fix));
                }
                column.storage = Storage::I64;
                column.unit = static_cast<Unit>(std::string_view("smun").find(format[2]));
                column.typed_time = true;
                return std::nullopt;
            }
            return type_problem(column_name, "a timestamp, a date or integer times expected, found " +
                                                 describe_format(std::string(format).c_str()));
        case Role::Number:
            if (storage_of_format(format, column.storage)) return std::nullopt;
            return type_problem(column_name, "a number column (float or integer) expected, found " +
                                                 describe_format(std::string(format).c_str()));
        case Role::Count:
            if (storage_of_format(format, column.storage) && is_integer(column.storage)) return std::nullopt;
            return type_problem(column_name,
                                "an integer column expected, found " + describe_format(std::string(format).c_str()));
    }
    return std::nullopt;
}

// The first row in [0, length) whose validity bit (counted from `offset`) is clear, or -1.
std::int64_t first_null(const void* validity, std::int64_t offset, std::int64_t length) noexcept {
    const auto* bits = static_cast<const std::uint8_t*>(validity);
    for (std::int64_t row = 0; row < length; ++row) {
        const std::int64_t bit = offset + row;
        if ((bits[bit >> 3] & (1u << (bit & 7))) == 0) return row;
    }
    return -1;
}

// Whether an array's own fields can be trusted before any buffer is read: what every Arrow reader checks.
Outcome check_array(const ArrowArray& array, const std::string& what, std::int64_t buffers, std::int64_t children,
                    bool at_least = false) {
    auto malformed = [&](const std::string& problem) {
        return value_problem(what + " is a malformed Arrow array: " + problem);
    };
    if (array.length < 0) return malformed("its length is negative");
    if (array.offset < 0) return malformed("its offset is negative");
    if (array.null_count < -1) return malformed("its null_count is below -1");
    if (array.length > INT64_MAX - array.offset) return malformed("its offset plus length overflows");
    if (at_least ? array.n_buffers < buffers : array.n_buffers != buffers) {
        return malformed("it has " + std::to_string(array.n_buffers) + " buffers where its type has " +
                         (at_least ? "at least " : "") + std::to_string(buffers));
    }
    if (array.n_buffers > 0 && array.buffers == nullptr) return malformed("its buffer list is null");
    if (array.n_children != children) {
        return malformed("it has " + std::to_string(array.n_children) + " children where its type has " +
                         std::to_string(children));
    }
    if (array.n_children > 0 && array.children == nullptr) return malformed("its child list is null");
    for (std::int64_t c = 0; c < array.n_children; ++c) {
        if (array.children[c] == nullptr) return malformed("child " + std::to_string(c) + " is null");
    }
    if (array.dictionary != nullptr) return malformed("it has a dictionary its type does not have");
    return std::nullopt;
}

// A null in rows [start, start + length) of `array` (its own offset added): the row, or -1. An array with nulls
// and no validity bitmap is malformed.
Outcome check_nulls(const ArrowArray& array, std::int64_t start, std::int64_t length, const std::string& what,
                    std::int64_t first_row) {
    if (array.null_count == 0) return std::nullopt;
    if (array.buffers[0] == nullptr) {
        // Only an array that says it has no nulls may leave its bitmap out (an unknown count, -1, is no such word).
        if (array.offset + array.length == 0) return std::nullopt;
        return value_problem(what + " is a malformed Arrow array: its null_count is " + std::to_string(array.null_count) +
                             " but it has no validity bitmap");
    }
    if (length == 0) return std::nullopt;
    if (const std::int64_t row = first_null(array.buffers[0], array.offset + start, length); row >= 0) {
        return Problem{Problem::Kind::Value, what + ", row " + std::to_string(first_row + row) +
                                                 ": a null; drop or fill such rows before reading them"};
    }
    return std::nullopt;
}

std::string column_of(const Request& request, BarField field) {
    return "column '" + request.name(field) + "'";
}

// The key of one row of the `by` column, as the bytes that identify it.
Outcome read_key(const ArrowArray& keys, const Layout& layout, std::int64_t row, std::string_view& out,
                 const std::string& what) {
    const std::int64_t at = keys.offset + row;
    switch (layout.key) {
        case Layout::KeyLayout::Utf8:
        case Layout::KeyLayout::LargeUtf8: {
            std::int64_t begin = 0, end = 0;
            if (layout.key == Layout::KeyLayout::Utf8) {
                begin = load<std::int32_t>(static_cast<const std::int32_t*>(keys.buffers[1]) + at);
                end = load<std::int32_t>(static_cast<const std::int32_t*>(keys.buffers[1]) + at + 1);
            } else {
                begin = load<std::int64_t>(static_cast<const std::int64_t*>(keys.buffers[1]) + at);
                end = load<std::int64_t>(static_cast<const std::int64_t*>(keys.buffers[1]) + at + 1);
            }
            if (begin < 0 || end < begin) {
                return value_problem(what + " is a malformed Arrow array: its offsets are not in order");
            }
            out = std::string_view(static_cast<const char*>(keys.buffers[2]) + begin, static_cast<std::size_t>(end - begin));
            return std::nullopt;
        }
        case Layout::KeyLayout::Utf8View: {
            const auto* view = static_cast<const std::byte*>(keys.buffers[1]) + at * 16;
            const auto length = load<std::int32_t>(view);
            if (length < 0) return value_problem(what + " is a malformed Arrow array: a view of negative length");
            if (length <= 12) {
                out = std::string_view(reinterpret_cast<const char*>(view + 4), static_cast<std::size_t>(length));
                return std::nullopt;
            }
            const auto buffer = load<std::int32_t>(view + 8);
            const auto offset = load<std::int32_t>(view + 12);
            const std::int64_t data_buffers = keys.n_buffers - 3;
            const auto* sizes = static_cast<const std::int64_t*>(keys.buffers[keys.n_buffers - 1]);
            if (buffer < 0 || buffer >= data_buffers || offset < 0 || sizes == nullptr ||
                static_cast<std::int64_t>(offset) + length > load<std::int64_t>(sizes + buffer) ||
                keys.buffers[2 + buffer] == nullptr) {
                return value_problem(what + " is a malformed Arrow array: a view beyond its data buffers");
            }
            out = std::string_view(static_cast<const char*>(keys.buffers[2 + buffer]) + offset,
                                   static_cast<std::size_t>(length));
            return std::nullopt;
        }
        default: {
            Column column;
            column.storage = layout.key_storage;
            column.values = static_cast<const std::byte*>(keys.buffers[1]) + at * size_of(column.storage);
            column.stride = size_of(column.storage);
            out = std::string_view(reinterpret_cast<const char*>(column.values), static_cast<std::size_t>(column.stride));
            return std::nullopt;
        }
    }
}

Outcome add_keys(const ArrowArray& keys, const Layout& layout, std::int64_t start, std::int64_t length,
                 std::int64_t first_row, const std::string& what, Groups& groups) {
    groups.kind = layout.key == Layout::KeyLayout::Integer ? Groups::KeyKind::Integer : Groups::KeyKind::Text;
    for (std::int64_t row = 0; row < length; ++row) {
        std::string_view key;
        if (Outcome problem = read_key(keys, layout, start + row, key, what)) return problem;
        auto [found, added] = groups.index.try_emplace(std::string(key), groups.groups.size());
        if (added) {
            Groups::Group group;
            if (layout.key == Layout::KeyLayout::Integer) {
                Column column{reinterpret_cast<const std::byte*>(key.data()), 0, layout.key_storage};
                group.integer = column.integer(0);
                group.text = layout.key_storage == Storage::U64
                                 ? std::to_string(static_cast<std::uint64_t>(group.integer))
                                 : std::to_string(group.integer);
            } else {
                group.text = std::string(key);
            }
            groups.groups.push_back(std::move(group));
        }
        groups.groups[found->second].rows.push_back(first_row + row);
    }
    return std::nullopt;
}

}  // namespace

std::int64_t size_of(Storage storage) noexcept {
    constexpr std::int64_t sizes[] = {8, 4, 2, 1, 2, 4, 8, 1, 2, 4, 8};
    return sizes[static_cast<std::size_t>(storage)];
}

Request::Request() {
    for (std::size_t i = 0; i < bars::field_count; ++i) names[i] = bars::field_names[i];
}

Problem column_problem(Problem::Kind kind, const std::string& column, const std::string& what) {
    return Problem{kind, "column '" + column + "': " + what};
}

double Column::number(std::int64_t row) const noexcept {
    const std::byte* at = values + row * stride;
    switch (storage) {
        case Storage::F64: return load<double>(at);
        case Storage::F32: return load<float>(at);
        case Storage::F16: return from_half(load<std::uint16_t>(at));
        case Storage::I8: return load<std::int8_t>(at);
        case Storage::I16: return load<std::int16_t>(at);
        case Storage::I32: return load<std::int32_t>(at);
        case Storage::I64: return static_cast<double>(load<std::int64_t>(at));
        case Storage::U8: return load<std::uint8_t>(at);
        case Storage::U16: return load<std::uint16_t>(at);
        case Storage::U32: return load<std::uint32_t>(at);
        case Storage::U64: return static_cast<double>(load<std::uint64_t>(at));
    }
    return 0.0;
}

std::int64_t Column::integer(std::int64_t row) const noexcept {
    const std::byte* at = values + row * stride;
    switch (storage) {
        case Storage::I8: return load<std::int8_t>(at);
        case Storage::I16: return load<std::int16_t>(at);
        case Storage::I32: return load<std::int32_t>(at);
        case Storage::I64: return load<std::int64_t>(at);
        case Storage::U8: return load<std::uint8_t>(at);
        case Storage::U16: return load<std::uint16_t>(at);
        case Storage::U32: return load<std::uint32_t>(at);
        case Storage::U64: return static_cast<std::int64_t>(load<std::uint64_t>(at));
        default: return 0;
    }
}

void Columns::add(const Chunk& chunk) {
    if (chunk.rows == 0) return;
    starts.push_back(rows);
    chunks.push_back(chunk);
    rows += chunk.rows;
}

const Chunk& Columns::locate(std::int64_t row, std::int64_t& within) const noexcept {
    const std::size_t index = chunks.size() == 1
                                  ? 0
                                  : static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), row) -
                                                             starts.begin() - 1);
    within = row - starts[index];
    return chunks[index];
}

std::string describe_format(const char* format_text) {
    const std::string_view format = format_text ? format_text : "";
    struct Known {
        std::string_view format;
        const char* name;
    };
    static constexpr Known known[] = {
        {"n", "null"}, {"b", "boolean"}, {"c", "int8"}, {"C", "uint8"}, {"s", "int16"}, {"S", "uint16"},
        {"i", "int32"}, {"I", "uint32"}, {"l", "int64"}, {"L", "uint64"}, {"e", "float16"}, {"f", "float32"},
        {"g", "float64"}, {"z", "binary"}, {"Z", "large binary"}, {"vz", "binary view"}, {"u", "string"},
        {"U", "large string"}, {"vu", "string view"}, {"tdD", "date32"}, {"tdm", "date64"},
        {"tts", "time32[s]"}, {"ttm", "time32[ms]"}, {"ttu", "time64[us]"}, {"ttn", "time64[ns]"},
        {"tDs", "duration[s]"}, {"tDm", "duration[ms]"}, {"tDu", "duration[us]"}, {"tDn", "duration[ns]"},
        {"tiM", "interval[months]"}, {"tiD", "interval[days, ms]"}, {"tin", "interval[months, days, ns]"},
        {"+l", "list"}, {"+L", "large list"}, {"+vl", "list view"}, {"+vL", "large list view"}, {"+s", "struct"},
        {"+m", "map"}, {"+r", "run-end encoded"},
    };
    for (const Known& entry : known) {
        if (entry.format == format) return entry.name;
    }
    if (format.size() >= 4 && format.starts_with("ts") && format[3] == ':') {
        const std::string_view zone = format.substr(4);
        return "timestamp[" + std::string(format[2] == 'm' ? "ms" : format[2] == 'u' ? "us" : format[2] == 'n' ? "ns" : "s") +
               "]" + (zone.empty() ? std::string(" without a time zone") : " in " + std::string(zone));
    }
    if (format.starts_with("d:")) return "decimal(" + std::string(format.substr(2)) + ")";
    if (format.starts_with("w:")) return "fixed-size binary(" + std::string(format.substr(2)) + ")";
    if (format.starts_with("+w:")) return "fixed-size list(" + std::string(format.substr(3)) + ")";
    if (format.starts_with("+u")) return "union";
    return "Arrow type '" + std::string(format.substr(0, 40)) + "'";
}

Outcome read_schema(const ArrowSchema& schema, const Request& request, Layout& layout) {
    if (schema.release == nullptr) {
        return Problem{Problem::Kind::Value, "candles(): the Arrow schema was already released; export the data again"};
    }
    const std::string_view format = schema.format ? schema.format : "";
    if (format != "+s") {
        return Problem{Problem::Kind::Type, "candles(): the data must be a table of columns (an Arrow struct), not " +
                                                describe_format(schema.format)};
    }
    if (schema.n_children < 0 || (schema.n_children > 0 && schema.children == nullptr)) {
        return value_problem("the Arrow schema is malformed: its children are missing");
    }
    layout.children = schema.n_children;
    std::string present;  // the columns there are, for a message about one that is not
    for (std::int64_t c = 0; c < schema.n_children; ++c) {
        if (schema.children[c] == nullptr) return value_problem("the Arrow schema is malformed: a child is null");
        const char* name = schema.children[c]->name ? schema.children[c]->name : "";
        present += (c ? ", " : "") + std::string(name);
    }
    auto find = [&](const std::string& name, int& child) -> Outcome {
        child = -1;
        for (std::int64_t c = 0; c < schema.n_children; ++c) {
            const char* found = schema.children[c]->name;
            if (found == nullptr || name != found) continue;
            if (child >= 0) {
                return value_problem("the data has two columns named '" + name + "'; rename or drop one");
            }
            child = static_cast<int>(c);
        }
        return std::nullopt;
    };
    for (std::size_t w = 0; w < bars::field_count; ++w) {
        const auto field = static_cast<BarField>(w);
        const std::string& name = request.names[w];
        if (Outcome problem = find(name, layout.child[w])) return problem;
        if (layout.child[w] < 0) {
            if (!is_required(field)) continue;
            return value_problem("the data has no column '" + name + "' (its columns: " + present +
                                 "); name the columns of other names with columns={'" + bars::field_names[w] +
                                 "': ...}");
        }
        const ArrowSchema& child = *schema.children[layout.child[w]];
        if (child.dictionary != nullptr) {
            return type_problem(name, "dictionary-encoded (a categorical); decode it first");
        }
        Column& type = layout.types[w];
        if (Outcome problem = column_type(field, name, child.format ? child.format : "", request.integer_unit, type)) {
            return problem;
        }
    }
    if (!request.by.empty()) {
        if (Outcome problem = find(request.by, layout.by_child)) return problem;
        if (layout.by_child < 0) {
            return value_problem("the data has no column '" + request.by + "' (its columns: " + present + ")");
        }
        const ArrowSchema& child = *schema.children[layout.by_child];
        const std::string_view key_format = child.format ? child.format : "";
        if (child.dictionary != nullptr) {
            return type_problem(request.by, "dictionary-encoded (a categorical); decode it first");
        }
        if (key_format == "u") {
            layout.key = Layout::KeyLayout::Utf8;
        } else if (key_format == "U") {
            layout.key = Layout::KeyLayout::LargeUtf8;
        } else if (key_format == "vu") {
            layout.key = Layout::KeyLayout::Utf8View;
        } else if (storage_of_format(key_format, layout.key_storage) && is_integer(layout.key_storage)) {
            layout.key = Layout::KeyLayout::Integer;
        } else {
            return type_problem(request.by, "a string or integer column expected, found " + describe_format(child.format));
        }
    }
    return std::nullopt;
}

Outcome read_batch(const ArrowArray& batch, const Layout& layout, const Request& request, Columns& columns,
                   Groups* groups) {
    if (batch.release == nullptr) return value_problem("a record batch was already released; export the data again");
    if (Outcome problem = check_array(batch, "a record batch", 1, layout.children)) return problem;
    const std::int64_t first_row = columns.rows;
    if (Outcome problem = check_nulls(batch, 0, batch.length, "candles(): the table", first_row)) return problem;
    Chunk chunk;
    chunk.rows = batch.length;
    auto child_of = [&](int index, const std::string& what, std::int64_t buffers, bool at_least) -> Outcome {
        const ArrowArray& child = *batch.children[index];
        if (Outcome problem = check_array(child, what, buffers, 0, at_least)) return problem;
        if (child.length < batch.offset + batch.length) {
            return value_problem(what + " is a malformed Arrow array: it has " + std::to_string(child.length) +
                                 " rows where the table has " + std::to_string(batch.offset + batch.length));
        }
        for (std::int64_t b = 1; b < buffers; ++b) {
            if (child.buffers[b] == nullptr && child.offset + batch.offset + batch.length > 0) {
                return value_problem(what + " is a malformed Arrow array: its buffer " + std::to_string(b) + " is null");
            }
        }
        return check_nulls(child, batch.offset, batch.length, what, first_row);
    };
    for (std::size_t w = 0; w < bars::field_count; ++w) {
        if (layout.child[w] < 0) continue;
        const std::string what = column_of(request, static_cast<BarField>(w));
        if (Outcome problem = child_of(layout.child[w], what, 2, false)) return problem;
        const ArrowArray& child = *batch.children[layout.child[w]];
        Column column = layout.types[w];
        column.stride = size_of(column.storage);
        column.values = static_cast<const std::byte*>(child.buffers[1]) + (child.offset + batch.offset) * column.stride;
        column.present = true;
        chunk.columns[w] = column;
    }
    if (groups != nullptr && layout.by_child >= 0) {
        const std::string what = "column '" + request.by + "'";
        const bool view = layout.key == Layout::KeyLayout::Utf8View;
        const bool text = layout.key == Layout::KeyLayout::Utf8 || layout.key == Layout::KeyLayout::LargeUtf8;
        if (Outcome problem = child_of(layout.by_child, what, view ? 3 : text ? 3 : 2, view)) return problem;
        const ArrowArray& keys = *batch.children[layout.by_child];
        if (view && batch.length > 0 && keys.buffers[keys.n_buffers - 1] == nullptr && keys.n_buffers > 3) {
            return value_problem(what + " is a malformed Arrow array: its buffer sizes are missing");
        }
        if (Outcome problem = add_keys(keys, layout, batch.offset, batch.length, first_row, what, *groups)) return problem;
    }
    columns.add(chunk);
    return std::nullopt;
}

Outcome check_buffer_storage(BarField field, const std::string& name, Storage storage) {
    const Role role = role_of(field);
    if ((role == Role::Count || role == Role::Time) && !is_integer(storage)) {
        return type_problem(name, role == Role::Time ? "a buffer of integer times expected (NumPy datetime64 arrays "
                                                       "export no buffer: give integers and time_unit=)"
                                                     : "a buffer of integers expected");
    }
    return std::nullopt;
}

namespace {

// The rules over the common layout (float64 prices, int64 times of one unit, in table order), in one tight pass
// over each chunk's columns with the times compared in their own unit: true when every row holds them. A row that
// does not, or any other layout, goes through the general pass, which finds and words the fault.
bool holds_in_one_pass(const Columns& columns, const Request& request) {
    if (columns.chunks.empty()) return true;
    const Chunk& first = columns.chunks.front();
    const Column& opens = first[BarField::OpenTime];
    const Column& closes = first[BarField::CloseTime];
    if (opens.storage != Storage::I64 || opens.unit == Unit::Days) return false;
    if (closes.present && (closes.storage != Storage::I64 || closes.unit != opens.unit)) return false;
    for (const BarField field : {BarField::Open, BarField::High, BarField::Low, BarField::Close, BarField::Volume,
                                 BarField::Amount}) {
        if (first[field].present && first[field].storage != Storage::F64) return false;
    }
    if (first[BarField::Trades].present && first[BarField::Trades].storage != Storage::I64) return false;
    // The years in the column's unit; nanoseconds since 1970 cannot leave them.
    constexpr std::int64_t per_second[] = {1, 1000, 1'000'000, 1'000'000'000};
    const std::int64_t units = per_second[static_cast<std::size_t>(opens.unit)];
    const bool bounded = opens.unit != Unit::Nanoseconds;
    const std::int64_t lowest = bounded ? bars::first_second * units : INT64_MIN;
    const std::int64_t highest = bounded ? (bars::last_second + 1) * units - 1 : INT64_MAX;
    // A bar without close_time closes `close_after` units after it opens (whole units: the next bar, a whole number
    // of units, opens after the fraction exactly when it opens after the whole part).
    const std::int64_t close_after = request.close_after_ms * units / 1000;
    if (!closes.present && highest - close_after < lowest) return false;
    const std::int64_t latest_open = closes.present ? highest : highest - close_after;
    bool has_previous = false;
    std::int64_t previous_close = 0;
    for (const Chunk& chunk : columns.chunks) {
        auto values = [&](BarField field) { return chunk[field].values; };
        auto stride_of = [&](BarField field) { return chunk[field].stride; };
        const std::byte* open_time = values(BarField::OpenTime);
        const std::byte* close_time = closes.present ? values(BarField::CloseTime) : nullptr;
        const std::byte* prices[] = {values(BarField::Open), values(BarField::High), values(BarField::Low),
                                     values(BarField::Close), values(BarField::Volume)};
        const std::int64_t strides[] = {stride_of(BarField::Open), stride_of(BarField::High), stride_of(BarField::Low),
                                        stride_of(BarField::Close), stride_of(BarField::Volume)};
        const bool has_amount = chunk[BarField::Amount].present;
        const bool has_trades = chunk[BarField::Trades].present;
        bool sound = true;
        for (std::int64_t row = 0; row < chunk.rows && sound; ++row) {
            const auto opened = load<std::int64_t>(open_time + row * chunk[BarField::OpenTime].stride);
            const std::int64_t closed = close_time ? load<std::int64_t>(close_time + row * chunk[BarField::CloseTime].stride)
                                        : opened <= latest_open ? opened + close_after
                                                                : highest;  // refused below, without an overflow
            const double open = load<double>(prices[0] + row * strides[0]);
            const double high = load<double>(prices[1] + row * strides[1]);
            const double low = load<double>(prices[2] + row * strides[2]);
            const double close = load<double>(prices[3] + row * strides[3]);
            const double volume = load<double>(prices[4] + row * strides[4]);
            const double amount = has_amount ? chunk[BarField::Amount].number(row) : 0.0;
            const std::int64_t trades = has_trades ? chunk[BarField::Trades].integer(row) : 0;
            sound = opened >= lowest && opened <= latest_open && closed >= opened && closed <= highest &&
                    (!has_previous || opened > previous_close) && std::isfinite(open) && std::isfinite(high) &&
                    std::isfinite(low) && std::isfinite(close) && std::isfinite(volume) && volume >= 0 &&
                    std::isfinite(amount) && amount >= 0 && trades >= 0 &&
                    (!request.check_high_low || (low <= std::min(open, close) && std::max(open, close) <= high));
            previous_close = closed;
            has_previous = true;
        }
        if (!sound) return false;
    }
    return true;
}

}  // namespace

Outcome check_rows(const Columns& columns, const Request& request, std::span<const std::int64_t> rows) {
    if (rows.empty() && holds_in_one_pass(columns, request)) return std::nullopt;
    bars::Checker checker(request.check_high_low);
    const std::int64_t count = rows.empty() ? columns.rows : static_cast<std::int64_t>(rows.size());
    const Chunk* chunk = nullptr;
    std::int64_t chunk_end = 0;
    std::int64_t chunk_start = 0;
    bars::Bar bar;
    for (std::int64_t item = 0; item < count; ++item) {
        const std::int64_t table_row = rows.empty() ? item : rows[static_cast<std::size_t>(item)];
        if (chunk == nullptr || table_row < chunk_start || table_row >= chunk_end) {
            std::int64_t within = 0;
            chunk = &columns.locate(table_row, within);
            chunk_start = table_row - within;
            chunk_end = chunk_start + chunk->rows;
        }
        const Chunk& at = *chunk;
        const std::int64_t row = table_row - chunk_start;
        auto refuse = [&](BarField field, const std::string& what) {
            return Problem{Problem::Kind::Value,
                           column_of(request, field) + ", row " + std::to_string(table_row) + ": " + what};
        };
        // Times: every one within the years, a missing close time the open time plus the interval.
        for (const BarField field : {BarField::OpenTime, BarField::CloseTime}) {
            const Column& column = at[field];
            if (!column.present) continue;
            const std::int64_t raw = column.integer(row);
            Time& time = field == BarField::OpenTime ? bar.open_time : bar.close_time;
            const bool wrapped = column.storage == Storage::U64 && raw < 0;
            if (wrapped || !bars::to_time(raw, column.unit, time)) {
                std::string value = wrapped ? std::to_string(static_cast<std::uint64_t>(raw)) : std::to_string(raw);
                return refuse(field, value + " " + std::string(bars::unit_names[static_cast<std::size_t>(column.unit)]) +
                                         " is " + std::string(bars::years_text) +
                                         (!column.typed_time
                                              ? "; if the column counts another unit, pass time_unit="
                                              : ""));
            }
        }
        if (!at[BarField::CloseTime].present) {
            bar.close_time = bar.open_time.plus_milliseconds(request.close_after_ms);
            if (!bars::within_years(bar.close_time)) {
                return refuse(BarField::OpenTime, bars::time_text(bar.open_time) + " opens a bar that closes " +
                                                   std::string(bars::years_text));
            }
        }
        double* numbers[] = {&bar.open, &bar.high, &bar.low, &bar.close, &bar.volume, &bar.amount};
        for (std::size_t n = 0; n < 6; ++n) {
            const auto field = static_cast<BarField>(n + 2);
            const Column& column = at[field];
            if (!column.present) {
                *numbers[n] = 0.0;
                continue;
            }
            if (column.storage == Storage::I64 || column.storage == Storage::U64) {
                const std::int64_t raw = column.integer(row);
                const bool exact = column.storage == Storage::I64 ? raw >= -exact_limit && raw <= exact_limit
                                                                  : static_cast<std::uint64_t>(raw) <= exact_limit;
                if (!exact) {
                    return refuse(field, (column.storage == Storage::U64 ? std::to_string(static_cast<std::uint64_t>(raw))
                                                                         : std::to_string(raw)) +
                                             " is beyond 2**53, which a float64 cannot hold exactly");
                }
            }
            *numbers[n] = column.number(row);
        }
        const Column& trades = at[BarField::Trades];
        bar.trades = trades.present ? trades.integer(row) : 0;
        if (trades.present && trades.storage == Storage::U64 && bar.trades < 0) {
            return refuse(BarField::Trades, std::to_string(static_cast<std::uint64_t>(bar.trades)) + " is beyond 64 signed bits");
        }
        if (!checker.accept(bar)) [[unlikely]] {
            const bars::Fault fault = checker.fault(bar);
            std::string problem = bars::describe(fault, request.name(fault.field), table_row);
            if (fault.field == BarField::High || fault.field == BarField::Low) {
                problem += "; pass check_high_low=False for a series that breaks this rule";
            }
            return Problem{Problem::Kind::Value, std::move(problem)};
        }
    }
    return std::nullopt;
}

void Chunk::write_field(std::byte* into, BarField field, std::int64_t row, std::int64_t close_after_ms,
                        std::int64_t per_second) const noexcept {
    const Column& column = (*this)[field];
    if (field == BarField::OpenTime || field == BarField::CloseTime) {
        const Time time = column.present ? column.time(row)
                                         : (*this)[BarField::OpenTime].time(row).plus_milliseconds(close_after_ms);
        const std::int64_t count = time.seconds * per_second + time.nanosecond / (1'000'000'000 / per_second);
        std::memcpy(into, &count, 8);
    } else if (field == BarField::Trades) {
        const std::int64_t count = column.present ? column.integer(row) : 0;
        std::memcpy(into, &count, 8);
    } else {
        const double number = column.present ? column.number(row) : 0.0;
        std::memcpy(into, &number, 8);
    }
}

}  // namespace feed

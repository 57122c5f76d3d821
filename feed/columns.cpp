// Reading columns out of Arrow arrays and buffers, and checking them whole before any candle is made.
#include "columns.hpp"

#include "owned.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

namespace feed {

namespace {

enum class Role : std::uint8_t { Time, Number, Count };

struct Wanted {
    const char* name;
    Role role;
    bool required;
    Column Chunk::*column;
};

// The columns read by name; any other column is left alone.
constexpr Wanted wanted[] = {
    {"open_time", Role::Time, true, &Chunk::open_time}, {"close_time", Role::Time, false, &Chunk::close_time},
    {"open", Role::Number, true, &Chunk::open},         {"high", Role::Number, true, &Chunk::high},
    {"low", Role::Number, true, &Chunk::low},           {"close", Role::Number, true, &Chunk::close},
    {"volume", Role::Number, true, &Chunk::volume},     {"amount", Role::Number, false, &Chunk::amount},
    {"trades", Role::Count, false, &Chunk::trades},
};
constexpr std::size_t wanted_count = std::size(wanted);

bool column_error(PyObject* type, const Wanted& column, const std::string& what) {
    PyErr_Format(type, "column '%s': %s", column.name, what.c_str());
    return false;
}

constexpr std::int64_t size_of(Storage storage) noexcept {
    constexpr std::int64_t sizes[] = {8, 4, 2, 1, 2, 4, 8, 1, 2, 4, 8};
    return sizes[static_cast<std::size_t>(storage)];
}

constexpr bool is_integer(Storage storage) noexcept { return storage >= Storage::I8; }

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
T load(const std::byte* at) noexcept {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// An Arrow format string as a message shows it.
std::string describe(std::string_view format) {
    struct Known {
        std::string_view format;
        const char* name;
    };
    static constexpr Known known[] = {
        {"n", "null"},     {"b", "boolean"},  {"u", "utf8 string"}, {"U", "large utf8 string"}, {"z", "binary"},
        {"Z", "large binary"}, {"tdD", "date32"}, {"tdm", "date64"}, {"+s", "struct"}, {"+l", "list"},
        {"+L", "large list"}, {"g", "float64"}, {"f", "float32"}, {"e", "float16"}, {"l", "int64"},
        {"L", "uint64"},   {"i", "int32"},    {"I", "uint32"},      {"s", "int16"},  {"S", "uint16"},
        {"c", "int8"},     {"C", "uint8"},
    };
    for (const Known& entry : known) {
        if (entry.format == format) return entry.name;
    }
    if (format.starts_with("ts") && format.size() >= 4) {
        const std::string_view zone = format.substr(4);
        return "timestamp[" + std::string(format.substr(2, 1)) + "]" +
               (zone.empty() ? std::string(" without a time zone") : " in " + std::string(zone));
    }
    if (format.starts_with("d:")) return "decimal(" + std::string(format.substr(2)) + ")";
    return "Arrow type '" + std::string(format) + "'";
}

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

bool is_utc_zone(std::string_view zone) noexcept {
    return zone == "UTC" || zone == "Etc/UTC" || zone == "+00:00" || zone == "Z" || zone == "utc";
}

// The storage (and for times the unit) of a column whose Arrow format is `format`; TypeError if it cannot serve.
bool column_type(const Wanted& wanted_column, std::string_view format, Column& column) {
    switch (wanted_column.role) {
        case Role::Time:
            if (format == "l") {  // int64 milliseconds
                column.storage = Storage::I64;
                column.unit = TimeUnit::Milliseconds;
                return true;
            }
            if (format.starts_with("ts") && format.size() >= 4 && format[3] == ':' &&
                std::string_view("smun").find(format[2]) != std::string_view::npos) {
                const std::string_view zone = format.substr(4);
                if (zone.empty()) {
                    return column_error(PyExc_TypeError, wanted_column,
                                        "a timestamp without a time zone; dates must be UTC (a timestamp in UTC, or "
                                        "int64 milliseconds)");
                }
                if (!is_utc_zone(zone)) {
                    return column_error(PyExc_TypeError, wanted_column,
                                        "the time zone '" + std::string(zone) + "' is not UTC");
                }
                column.storage = Storage::I64;
                column.unit = static_cast<TimeUnit>(std::string_view("smun").find(format[2]));
                return true;
            }
            return column_error(PyExc_TypeError, wanted_column,
                                "a timestamp in UTC or int64 milliseconds expected, found " + describe(format));
        case Role::Number:
            if (storage_of_format(format, column.storage)) return true;
            return column_error(PyExc_TypeError, wanted_column,
                                "a number column (float or integer) expected, found " + describe(format));
        case Role::Count:
            if (storage_of_format(format, column.storage) && is_integer(column.storage)) return true;
            return column_error(PyExc_TypeError, wanted_column, "an integer column expected, found " + describe(format));
    }
    return false;
}

bool within_records(Timepoint point) noexcept {
    return point.seconds >= kavno::first_unix_second && point.seconds <= kavno::last_unix_second;
}

// Whether every value of the column can be read as its field needs: dates a record can hold (for the open time,
// its default close time too), numbers a double holds exactly, counts within 64 signed bits.
bool check_values(const Wanted& wanted_column, const Column& column, std::int64_t rows, std::int64_t first_row,
                  std::int64_t close_after_ms) {
    for (std::int64_t row = 0; row < rows; ++row) {
        bool fits = true;
        std::string what;
        if (wanted_column.role == Role::Time) {
            const Timepoint point = column.time(row);
            fits = within_records(point) && (close_after_ms == 0 || within_records(point.plus_milliseconds(close_after_ms)));
            if (!fits) what = "a date outside the years a record can hold (-262143 to 262142)";
        } else if (column.storage == Storage::U64) {
            const auto value = load<std::uint64_t>(column.values + row * column.stride);
            fits = wanted_column.role == Role::Count ? value <= INT64_MAX : value <= static_cast<std::uint64_t>(exact_limit);
            if (!fits) what = std::to_string(value) + (wanted_column.role == Role::Count ? ", beyond 64 signed bits"
                                                                                        : ", which a float64 cannot hold exactly");
        } else if (column.storage == Storage::I64 && wanted_column.role == Role::Number) {
            const auto value = load<std::int64_t>(column.values + row * column.stride);
            fits = value >= -exact_limit && value <= exact_limit;
            if (!fits) what = std::to_string(value) + ", which a float64 cannot hold exactly";
        } else {
            return true;  // every value of the other storages fits
        }
        if (!fits) return column_error(PyExc_ValueError, wanted_column, "row " + std::to_string(first_row + row) + " holds " + what);
    }
    return true;
}

// The first row in [0, length) whose validity bit is clear, or -1.
std::int64_t first_null(const void* validity, std::int64_t offset, std::int64_t length) noexcept {
    const auto* bits = static_cast<const std::uint8_t*>(validity);
    for (std::int64_t row = 0; row < length; ++row) {
        const std::int64_t bit = offset + row;
        if ((bits[bit >> 3] & (1u << (bit & 7))) == 0) return row;
    }
    return -1;
}

// --- Arrow ----------------------------------------------------------------------------------------------------

struct SchemaGuard {
    ArrowSchema schema{};
    ~SchemaGuard() {
        if (schema.release) schema.release(&schema);
    }
};

struct StreamGuard {
    ArrowArrayStream stream{};
    ~StreamGuard() {
        if (stream.release) stream.release(&stream);
    }
};

// Where each wanted column is among the struct's children (-1 for an optional one that is not there), and its
// storage.
struct Layout {
    int child[wanted_count];
    Column types[wanted_count];
};

bool read_schema(const ArrowSchema& schema, Layout& layout) {
    const std::string_view format = schema.format ? schema.format : "";
    if (format != "+s") {
        PyErr_Format(PyExc_TypeError, "candles(): the data must be a table of columns (an Arrow struct), not %s",
                     describe(format).c_str());
        return false;
    }
    for (std::size_t w = 0; w < wanted_count; ++w) {
        layout.child[w] = -1;
        for (std::int64_t c = 0; c < schema.n_children && layout.child[w] < 0; ++c) {
            const ArrowSchema* child = schema.children[c];
            if (child->name != nullptr && std::strcmp(child->name, wanted[w].name) == 0) layout.child[w] = static_cast<int>(c);
        }
        if (layout.child[w] < 0) {
            if (!wanted[w].required) continue;
            PyErr_Format(PyExc_ValueError, "candles(): the data has no column '%s'", wanted[w].name);
            return false;
        }
        const ArrowSchema& child = *schema.children[layout.child[w]];
        if (child.dictionary != nullptr) {
            return column_error(PyExc_TypeError, wanted[w], "dictionary-encoded; decode it first");
        }
        if (!column_type(wanted[w], child.format ? child.format : "", layout.types[w])) return false;
    }
    return true;
}

bool add_arrow_chunk(Table& table, const ArrowArray& batch, const Layout& layout, std::int64_t close_after_ms) {
    if (batch.length == 0) return true;
    if (batch.null_count != 0 && batch.n_buffers > 0 && batch.buffers[0] != nullptr) {
        if (const std::int64_t row = first_null(batch.buffers[0], batch.offset, batch.length); row >= 0) {
            PyErr_Format(PyExc_ValueError, "candles(): row %lld is null", static_cast<long long>(table.rows + row));
            return false;
        }
    }
    Chunk chunk;
    chunk.rows = batch.length;
    for (std::size_t w = 0; w < wanted_count; ++w) {
        if (layout.child[w] < 0) continue;
        if (layout.child[w] >= batch.n_children) {
            PyErr_SetString(PyExc_ValueError, "candles(): a record batch has fewer columns than its schema");
            return false;
        }
        const ArrowArray& child = *batch.children[layout.child[w]];
        const std::int64_t offset = child.offset + batch.offset;
        if (child.n_buffers < 2 || child.buffers[1] == nullptr || child.length < batch.offset + batch.length) {
            return column_error(PyExc_ValueError, wanted[w], "a malformed Arrow array");
        }
        if (child.null_count != 0 && child.buffers[0] != nullptr) {
            if (const std::int64_t row = first_null(child.buffers[0], offset, batch.length); row >= 0) {
                return column_error(PyExc_ValueError, wanted[w], "a null at row " + std::to_string(table.rows + row));
            }
        }
        Column column = layout.types[w];
        column.values = static_cast<const std::byte*>(child.buffers[1]) + offset * size_of(column.storage);
        column.stride = size_of(column.storage);
        column.present = true;
        const bool needs_close = &wanted[w] == &wanted[0] && layout.child[1] < 0;
        if (!check_values(wanted[w], column, batch.length, table.rows, needs_close ? close_after_ms : 0)) return false;
        chunk.*wanted[w].column = column;
    }
    table.starts.push_back(table.rows);
    table.chunks.push_back(chunk);
    table.rows += batch.length;
    return true;
}

template <class T>
T* capsule_pointer(PyObject* capsule, const char* name) {
    return static_cast<T*>(PyCapsule_GetPointer(capsule, name));  // null with ValueError for another name
}

bool read_stream(PyObject* data, Table& table, std::int64_t close_after_ms) {
    Owned capsule = own(PyObject_CallMethod(data, "__arrow_c_stream__", nullptr));
    if (!capsule) return false;
    auto* exported = capsule_pointer<ArrowArrayStream>(capsule.get(), arrow::stream_capsule);
    if (exported == nullptr) return false;
    StreamGuard guard;
    guard.stream = *exported;   // moved out: the capsule's destructor now finds a released stream
    exported->release = nullptr;
    ArrowArrayStream& stream = guard.stream;
    auto stream_error = [&](int code) {
        const char* text = stream.get_last_error ? stream.get_last_error(&stream) : nullptr;
        PyErr_Format(PyExc_OSError, "candles(): the Arrow stream failed (%d): %s", code, text ? text : "no message");
        return false;
    };
    SchemaGuard schema;
    if (const int code = stream.get_schema(&stream, &schema.schema); code != 0) return stream_error(code);
    Layout layout;
    if (!read_schema(schema.schema, layout)) return false;
    while (true) {
        ArrowArray batch{};
        if (const int code = stream.get_next(&stream, &batch); code != 0) return stream_error(code);
        if (batch.release == nullptr) return true;  // the end of the stream
        table.arrays.push_back(batch);              // owned from here on, released once by the table
        if (!add_arrow_chunk(table, table.arrays.back(), layout, close_after_ms)) return false;
    }
}

bool read_array(PyObject* data, Table& table, std::int64_t close_after_ms) {
    Owned pair = own(PyObject_CallMethod(data, "__arrow_c_array__", nullptr));
    if (!pair) return false;
    if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
        PyErr_SetString(PyExc_TypeError, "candles(): __arrow_c_array__ gave no (schema, array) pair");
        return false;
    }
    auto* schema = capsule_pointer<ArrowSchema>(PyTuple_GET_ITEM(pair.get(), 0), arrow::schema_capsule);
    auto* exported = capsule_pointer<ArrowArray>(PyTuple_GET_ITEM(pair.get(), 1), arrow::array_capsule);
    if (schema == nullptr || exported == nullptr) return false;
    Layout layout;
    if (!read_schema(*schema, layout)) return false;  // the schema stays the capsule's
    table.arrays.push_back(*exported);                // the array is moved out, as for a stream
    exported->release = nullptr;
    return add_arrow_chunk(table, table.arrays.back(), layout, close_after_ms);
}

// --- buffers --------------------------------------------------------------------------------------------------

bool storage_of_buffer(const Py_buffer& view, Storage& out) noexcept {
    std::string_view format = view.format ? view.format : "B";
    if (!format.empty() && std::string_view("@=<>!").find(format[0]) != std::string_view::npos) {
        const bool big = format[0] == '>' || format[0] == '!';
        if (big != (std::endian::native == std::endian::big) && format[0] != '@' && format[0] != '=') return false;
        format.remove_prefix(1);
    }
    if (format.size() != 1) return false;
    const char code = format[0];
    struct Float {
        char code;
        Py_ssize_t size;
        Storage storage;
    };
    for (const Float candidate : {Float{'d', 8, Storage::F64}, Float{'f', 4, Storage::F32}, Float{'e', 2, Storage::F16}}) {
        if (code == candidate.code && view.itemsize == candidate.size) {
            out = candidate.storage;
            return true;
        }
    }
    if (std::string_view("bBhHiIlLqQ").find(code) == std::string_view::npos) return false;
    const bool is_unsigned = code == 'B' || code == 'H' || code == 'I' || code == 'L' || code == 'Q';
    switch (view.itemsize) {  // by width, whatever the platform's sizes of the C types the codes name
        case 1: out = is_unsigned ? Storage::U8 : Storage::I8; return true;
        case 2: out = is_unsigned ? Storage::U16 : Storage::I16; return true;
        case 4: out = is_unsigned ? Storage::U32 : Storage::I32; return true;
        case 8: out = is_unsigned ? Storage::U64 : Storage::I64; return true;
        default: return false;
    }
}

bool read_buffers(PyObject* data, Table& table, std::int64_t close_after_ms) {
    Chunk chunk;
    const Wanted* first = nullptr;
    bool has_close_time = false;
    for (const Wanted& wanted_column : wanted) {
        Owned key = own(PyUnicode_FromString(wanted_column.name));
        if (!key) return false;
        Owned item = own(PyObject_GetItem(data, key.get()));
        if (!item) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
            PyErr_Clear();
            if (!wanted_column.required) continue;
            PyErr_Format(PyExc_ValueError, "candles(): the data has no column '%s'", wanted_column.name);
            return false;
        }
        Py_buffer view;
        if (PyObject_GetBuffer(item.get(), &view, PyBUF_STRIDES | PyBUF_FORMAT) < 0) {
            PyErr_Clear();
            return column_error(PyExc_TypeError, wanted_column,
                                "a one-dimensional buffer of numbers (a NumPy array, for example) expected, not " +
                                    std::string(Py_TYPE(item.get())->tp_name) +
                                    (wanted_column.role == Role::Time
                                         ? " (NumPy datetime64 arrays export no buffer: give int64 milliseconds)"
                                         : ""));
        }
        table.buffers.push_back(view);  // owned from here on, released once by the table
        Column column;
        if (view.ndim != 1) return column_error(PyExc_TypeError, wanted_column, "the buffer is not one-dimensional");
        if (!storage_of_buffer(view, column.storage) ||
            (wanted_column.role == Role::Count && !is_integer(column.storage)) ||
            (wanted_column.role == Role::Time && column.storage != Storage::I64)) {
            const char* expected = wanted_column.role == Role::Time    ? "int64 milliseconds"
                                   : wanted_column.role == Role::Count ? "integers"
                                                                       : "numbers";
            return column_error(PyExc_TypeError, wanted_column,
                                std::string("a buffer of ") + expected + " expected, found format '" +
                                    (view.format ? view.format : "B") + "'");
        }
        const std::int64_t rows = view.shape[0];
        if (first == nullptr) {
            first = &wanted_column;
            chunk.rows = rows;
        } else if (rows != chunk.rows) {
            return column_error(PyExc_ValueError, wanted_column,
                                std::to_string(rows) + " rows where column '" + first->name + "' has " +
                                    std::to_string(chunk.rows));
        }
        column.values = static_cast<const std::byte*>(view.buf);
        column.stride = view.strides ? view.strides[0] : view.itemsize;
        column.present = true;
        if (&wanted_column == &wanted[1]) has_close_time = true;
        chunk.*wanted_column.column = column;
    }
    for (const Wanted& wanted_column : wanted) {
        const Column& column = chunk.*wanted_column.column;
        const bool needs_close = &wanted_column == &wanted[0] && !has_close_time;
        if (column.present &&
            !check_values(wanted_column, column, chunk.rows, 0, needs_close ? close_after_ms : 0)) {
            return false;
        }
    }
    if (chunk.rows > 0) {
        table.starts.push_back(0);
        table.chunks.push_back(chunk);
        table.rows = chunk.rows;
    }
    return true;
}

}  // namespace

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

Timepoint Column::to_timepoint(std::int64_t value, TimeUnit unit) noexcept {
    constexpr std::int64_t per_second[] = {1, 1000, 1'000'000, 1'000'000'000};
    const std::int64_t units = per_second[static_cast<std::size_t>(unit)];
    const std::int64_t seconds = kavno::floor_div(value, units);
    const auto fraction = static_cast<std::uint32_t>(kavno::floor_mod(value, units) * (1'000'000'000 / units));
    return Timepoint{seconds, fraction};
}

Table::~Table() {
    for (ArrowArray& array : arrays) {
        if (array.release != nullptr) array.release(&array);
    }
    for (Py_buffer& view : buffers) PyBuffer_Release(&view);
}

const Chunk& Table::locate(std::int64_t row, std::int64_t& within) const noexcept {
    const std::size_t index = chunks.size() == 1
                                  ? 0
                                  : static_cast<std::size_t>(std::upper_bound(starts.begin(), starts.end(), row) -
                                                             starts.begin() - 1);
    within = row - starts[index];
    return chunks[index];
}

PyObject* mapping_abc = nullptr;  // collections.abc.Mapping, fetched at import and kept

bool load_mapping_abc() noexcept {
    Owned abc = own(PyImport_ImportModule("collections.abc"));
    mapping_abc = abc ? PyObject_GetAttrString(abc.get(), "Mapping") : nullptr;
    return mapping_abc != nullptr;
}

std::shared_ptr<Table> read_table(PyObject* data, kavno::CandleInterval interval) {
    auto table = std::make_shared<Table>();
    const std::int64_t close_after_ms = interval_milliseconds(interval) - 1;
    bool read = false;
    if (PyObject_HasAttrString(data, "__arrow_c_stream__")) {
        read = read_stream(data, *table, close_after_ms);
    } else if (PyObject_HasAttrString(data, "__arrow_c_array__")) {
        read = read_array(data, *table, close_after_ms);
    } else if (const int mapping = PyObject_IsInstance(data, mapping_abc); mapping != 0) {
        read = mapping > 0 && read_buffers(data, *table, close_after_ms);
    } else {
        PyErr_Format(PyExc_TypeError,
                     "candles(): the data must speak the Arrow PyCapsule interface (__arrow_c_stream__ or "
                     "__arrow_c_array__) or map column names to one-dimensional buffers, not %.200s",
                     Py_TYPE(data)->tp_name);
    }
    if (!read) return nullptr;
    return table;
}

}  // namespace feed

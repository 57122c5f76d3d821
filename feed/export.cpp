// The Arrow export of a series. Every structure handed out owns what it points at through its private data, so
// that a consumer may release a child on its own (the C data interface allows it) and release callbacks may come
// from any thread, with or without the GIL: the last one that drops the series' table takes the GIL to do it.
#include "export.hpp"

#include "arrow.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>

namespace feed {

constexpr std::int64_t batch_rows = 65'536;  // rows of a batch that gathers rows from all over the table

// --- schemas ---------------------------------------------------------------------------------------------------

void release_schema(ArrowSchema* schema) {
    if (schema->release == nullptr) return;
    auto* data = static_cast<SchemaData*>(schema->private_data);
    for (ArrowSchema* child : data->children) {
        if (child->release != nullptr) child->release(child);
    }
    if (data->dictionary && data->dictionary->release != nullptr) data->dictionary->release(data->dictionary.get());
    delete data;
    schema->release = nullptr;
}

SchemaData* fill_schema(ArrowSchema& out, std::string format, std::string name, std::string metadata,
                        std::size_t children) {
    auto* data = new SchemaData{std::move(format), std::move(name), std::move(metadata), {}, {}, {}};
    data->children_storage.resize(children);
    for (ArrowSchema& child : data->children_storage) data->children.push_back(&child);
    out = ArrowSchema{};
    out.format = data->format.c_str();
    out.name = data->name.c_str();
    out.metadata = data->metadata.empty() ? nullptr : data->metadata.data();
    out.flags = 0;
    out.n_children = static_cast<std::int64_t>(children);
    out.children = children ? data->children.data() : nullptr;
    out.release = release_schema;
    out.private_data = data;
    return data;
}

// A buffer of `bytes`, zeroed or not. A large zeroed one comes from calloc, which maps fresh pages that cost
// nothing until read: an exported column of zeros that no one reads costs no time.
Memory allocate(std::size_t bytes, bool zeroed) {
    void* memory = zeroed ? std::calloc(bytes, 1) : std::malloc(bytes);
    if (memory == nullptr) throw std::bad_alloc();
    return Memory(static_cast<std::byte*>(memory));
}

void release_array(ArrowArray* array) {
    if (array->release == nullptr) return;
    auto* data = static_cast<ArrayData*>(array->private_data);
    for (ArrowArray* child : data->children) {
        if (child->release != nullptr) child->release(child);
    }
    if (data->dictionary && data->dictionary->release != nullptr) data->dictionary->release(data->dictionary.get());
    {
        // The table's last owner releases the source's Arrow arrays and buffer views, which needs the GIL.
        const PyGILState_STATE state = PyGILState_Ensure();
        delete data;
        PyGILState_Release(state);
    }
    array->release = nullptr;
}

ArrayData* fill_array(ArrowArray& out, std::int64_t length, std::size_t buffers, std::size_t children) {
    auto* data = new ArrayData{};
    data->buffers.assign(buffers, nullptr);
    data->children_storage.resize(children);
    for (ArrowArray& child : data->children_storage) data->children.push_back(&child);
    out = ArrowArray{};
    out.length = length;
    out.null_count = 0;
    out.n_buffers = static_cast<std::int64_t>(buffers);
    out.buffers = data->buffers.data();
    out.n_children = static_cast<std::int64_t>(children);
    out.children = children ? data->children.data() : nullptr;
    out.release = release_array;
    out.private_data = data;
    return data;
}

namespace {

// Arrow's metadata: an int32 count, then each key and value as an int32 length and its bytes.
std::string metadata_of(std::initializer_list<std::pair<std::string_view, std::string_view>> pairs) {
    std::string out;
    auto put = [&out](std::int32_t value) { out.append(reinterpret_cast<const char*>(&value), sizeof value); };
    put(static_cast<std::int32_t>(pairs.size()));
    for (const auto& [key, value] : pairs) {
        put(static_cast<std::int32_t>(key.size()));
        out.append(key);
        put(static_cast<std::int32_t>(value.size()));
        out.append(value);
    }
    return out;
}

const char* member_name(kavno::EnumerationId which, std::uint8_t value) {
    return kavno::enumerations[static_cast<std::size_t>(which)].members[value];
}

void fill_series_schema(ArrowSchema& out, const SeriesRows& series) {
    fill_schema(out, "+s", "",
                metadata_of({{"kavno.code", series.code},
                             {"kavno.interval",
                              member_name(kavno::EnumerationId::CandleInterval, static_cast<std::uint8_t>(series.interval))},
                             {"kavno.kind", member_name(kavno::EnumerationId::TradeKind, static_cast<std::uint8_t>(series.kind))}}),
                bars::field_count);
    auto* data = static_cast<SchemaData*>(out.private_data);
    for (std::size_t f = 0; f < bars::field_count; ++f) {
        const auto field = static_cast<BarField>(f);
        const char* format = field == BarField::OpenTime || field == BarField::CloseTime ? "tsm:UTC"
                             : field == BarField::Trades                                ? "l"
                                                                                        : "g";
        fill_schema(data->children_storage[f], format, bars::field_names[f], "", 0);
    }
}

// --- arrays ----------------------------------------------------------------------------------------------------

// Where the rows of a batch lie: `count` rows from row `first` of one chunk, or table rows gathered one by one.
struct Piece {
    const Columns* columns = nullptr;
    const Chunk* chunk = nullptr;  // contiguous rows of one chunk
    std::int64_t first = 0;
    std::vector<std::int64_t> table_rows;  // otherwise
    std::int64_t count = 0;

    template <class Read>
    void each(Read&& read) const {
        if (chunk != nullptr) {
            for (std::int64_t i = 0; i < count; ++i) read(i, *chunk, first + i);
            return;
        }
        const Chunk* at = nullptr;
        std::int64_t chunk_start = 0;
        for (std::int64_t i = 0; i < count; ++i) {
            const std::int64_t row = table_rows[static_cast<std::size_t>(i)];
            if (at == nullptr || row < chunk_start || row >= chunk_start + at->rows) {
                std::int64_t within = 0;
                at = &columns->locate(row, within);
                chunk_start = row - within;
            }
            read(i, *at, row - chunk_start);
        }
    }
};

// One child column of a batch: the series' own buffer where it already has Arrow's layout, a new one otherwise.
void fill_column(ArrowArray& out, const SeriesRows& series, const Piece& piece, BarField field) {
    ArrayData* data = fill_array(out, piece.count, 2, 0);
    const bool time = field == BarField::OpenTime || field == BarField::CloseTime;
    const Column* source = piece.chunk ? &(*piece.chunk)[field] : nullptr;
    const bool borrowable =
        source != nullptr && source->present && source->stride == 8 &&
        (time ? source->storage == Storage::I64 && source->unit == Unit::Milliseconds
              : field == BarField::Trades ? source->storage == Storage::I64 : source->storage == Storage::F64);
    if (borrowable) {
        data->keep = series.table;
        data->buffers[1] = source->values;
        out.offset = piece.first;
        return;
    }
    const auto bytes = static_cast<std::size_t>(std::max<std::int64_t>(piece.count, 1) * 8);
    const bool absent = piece.chunk != nullptr && !(*piece.chunk)[field].present && !time;
    if (absent) {  // an amount or trades the source has not: zeros
        data->owned.push_back(allocate(bytes, true));
        data->buffers[1] = data->owned.back().get();
        return;
    }
    Memory made = allocate(bytes, false);  // every element is written below
    std::byte* into = made.get();
    const std::int64_t close_after = interval_milliseconds(series.interval) - 1;
    if (piece.chunk != nullptr && field == BarField::CloseTime && !source->present) {
        const Column& opens = (*piece.chunk)[BarField::OpenTime];
        if (opens.storage == Storage::I64 && opens.unit == Unit::Milliseconds) {
            // The common case, a close time the series computes from milliseconds: one addition a row.
            for (std::int64_t i = 0; i < piece.count; ++i) {
                std::int64_t ms = 0;
                std::memcpy(&ms, opens.values + (piece.first + i) * opens.stride, 8);
                ms += close_after;
                std::memcpy(into + i * 8, &ms, 8);
            }
            data->buffers[1] = into;
            data->owned.push_back(std::move(made));
            return;
        }
    }
    piece.each([&](std::int64_t i, const Chunk& chunk, std::int64_t row) {
        chunk.write_field(into + i * 8, field, row, close_after, 1000);  // times in milliseconds
    });
    data->buffers[1] = into;
    data->owned.push_back(std::move(made));
}

void fill_batch(ArrowArray& out, const SeriesRows& series, const Piece& piece) {
    ArrayData* data = fill_array(out, piece.count, 1, bars::field_count);
    for (std::size_t f = 0; f < bars::field_count; ++f) {
        fill_column(data->children_storage[f], series, piece, static_cast<BarField>(f));
    }
}

// --- the stream ---------------------------------------------------------------------------------------------

struct SeriesStream final : StreamSource {
    explicit SeriesStream(const SeriesRows& rows) : series(rows) {}
    SeriesRows series;
    std::int64_t position = 0;  // the next item of the series

    std::int64_t table_row(std::int64_t item) const {
        const std::int64_t at = series.start + item * series.step;
        return series.rows ? (*series.rows)[static_cast<std::size_t>(at)] : at;
    }

    void schema(ArrowSchema& out) override { fill_series_schema(out, series); }

    void next(ArrowArray& out) override {
        if (position >= series.length) {
            out = ArrowArray{};  // the end: a released array
            return;
        }
        Piece piece;
        piece.columns = series.table.get();
        if (!series.rows && series.step == 1) {
            // Rows in table order: as much of one chunk as the series holds, its buffers handed out where they lie.
            std::int64_t within = 0;
            piece.chunk = &series.table->locate(series.start + position, within);
            piece.first = within;
            piece.count = std::min(series.length - position, piece.chunk->rows - within);
        } else {
            piece.count = std::min(series.length - position, batch_rows);
            piece.table_rows.reserve(static_cast<std::size_t>(piece.count));
            for (std::int64_t i = 0; i < piece.count; ++i) piece.table_rows.push_back(table_row(position + i));
        }
        fill_batch(out, series, piece);
        position += piece.count;
    }
};

template <class Body>
int reporting(StreamSource& source, Body&& body) {
    try {
        body();
        return 0;
    } catch (const std::bad_alloc&) {
        source.error = "out of memory";
        return ENOMEM;
    }
}

StreamSource& source_of(ArrowArrayStream* stream) { return *static_cast<StreamSource*>(stream->private_data); }

int stream_schema(ArrowArrayStream* stream, ArrowSchema* out) {
    return reporting(source_of(stream), [&] { source_of(stream).schema(*out); });
}

int stream_next(ArrowArrayStream* stream, ArrowArray* out) {
    return reporting(source_of(stream), [&] { source_of(stream).next(*out); });
}

const char* stream_error(ArrowArrayStream* stream) {
    const std::string& error = source_of(stream).error;
    return error.empty() ? nullptr : error.c_str();
}

void release_stream(ArrowArrayStream* stream) {
    if (stream->release == nullptr) return;
    const PyGILState_STATE state = PyGILState_Ensure();
    delete &source_of(stream);
    PyGILState_Release(state);
    stream->release = nullptr;
}

// Capsule destructors: what the consumer never took is released with the capsule.
template <class Exported>
void delete_capsule(PyObject* capsule) {
    const char* name = std::is_same_v<Exported, ArrowSchema> ? arrow::schema_capsule : arrow::stream_capsule;
    auto* exported = static_cast<Exported*>(PyCapsule_GetPointer(capsule, name));
    if (exported == nullptr) {
        PyErr_Clear();
        return;
    }
    if (exported->release != nullptr) exported->release(exported);
    delete exported;
}

}  // namespace

PyObject* schema_capsule(void (*fill)(ArrowSchema&, const void*), const void* source) {
    auto* schema = new (std::nothrow) ArrowSchema{};
    if (schema == nullptr) return PyErr_NoMemory();
    try {
        fill(*schema, source);
    } catch (const std::bad_alloc&) {
        delete schema;
        return PyErr_NoMemory();
    }
    PyObject* capsule = PyCapsule_New(schema, arrow::schema_capsule, delete_capsule<ArrowSchema>);
    if (capsule == nullptr) {
        release_schema(schema);
        delete schema;
    }
    return capsule;
}

PyObject* stream_capsule(StreamSource* data) {
    auto* stream = new (std::nothrow) ArrowArrayStream{};
    if (stream == nullptr) {
        const PyGILState_STATE state = PyGILState_Ensure();
        delete data;
        PyGILState_Release(state);
        return PyErr_NoMemory();
    }
    *stream = ArrowArrayStream{stream_schema, stream_next, stream_error, release_stream, data};
    PyObject* capsule = PyCapsule_New(stream, arrow::stream_capsule, delete_capsule<ArrowArrayStream>);
    if (capsule == nullptr) {
        release_stream(stream);
        delete stream;
    }
    return capsule;
}

bool takes_requested_schema(Py_ssize_t nargs, PyObject* kwnames) {
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs + keywords <= 1 &&
        (keywords == 0 || PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, 0), "requested_schema") == 0)) {
        return true;
    }
    PyErr_SetString(PyExc_TypeError, "__arrow_c_stream__() takes at most one argument, requested_schema");
    return false;
}

PyObject* export_schema(const SeriesRows& series) {
    return schema_capsule([](ArrowSchema& out, const void* source) {
        fill_series_schema(out, *static_cast<const SeriesRows*>(source));
    }, &series);
}

PyObject* export_stream(const SeriesRows& series) {
    auto* data = new (std::nothrow) SeriesStream(series);
    if (data == nullptr) return PyErr_NoMemory();
    return stream_capsule(data);
}

}  // namespace feed

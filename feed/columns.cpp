// Taking columns out of Python objects: Arrow capsules, buffers, CSV paths. The layout and the rows are checked by
// the reader; this file holds what touches the interpreter.
#include "columns.hpp"

#include "boundary/ref.hpp"

#include <bit>
#include <cstddef>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

namespace feed {

namespace {

PyObject* mapping_abc = nullptr;  // collections.abc.Mapping, fetched at import and kept

// A producer's release callback may run Python code (a ctypes or cffi producer): it must not find an exception
// pending, and must not lose the one the reader is raising.
template <class Exported>
void release(Exported& exported) {
    if (exported.release == nullptr) return;
    PyObject* pending = PyErr_GetRaisedException();
    exported.release(&exported);
    if (pending != nullptr) {
        if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
        PyErr_SetRaisedException(pending);
    }
}

template <class Exported>
struct Guard {
    Exported exported{};
    ~Guard() { release(exported); }
};

// The attribute `name` of `object`, or null without an exception when it has none (an attribute that raises
// anything but AttributeError is the caller's error).
int optional_attribute(PyObject* object, const char* name, Ref& out) {
    PyObject* found = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
    const int status = PyObject_GetOptionalAttrString(object, name, &found);
#else
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key) return -1;
    const int status = _PyObject_LookupAttr(object, key.get(), &found);
#endif
    out = Ref::steal(found);
    return status;
}

// The structure a capsule carries, refused with a TypeError naming what gave it when the capsule is of another
// kind.
template <class T>
T* capsule_pointer(PyObject* capsule, const char* name, const char* source) {
    if (!PyCapsule_CheckExact(capsule)) {
        PyErr_Format(PyExc_TypeError, "candles(): %s gave %.200s, not a PyCapsule", source, Py_TYPE(capsule)->tp_name);
        return nullptr;
    }
    const char* found = PyCapsule_GetName(capsule);
    if (found == nullptr || std::strcmp(found, name) != 0) {
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "candles(): %s gave a capsule named %s%s%s, not '%s'", source,
                     found ? "'" : "", found ? found : "nothing", found ? "'" : "", name);
        return nullptr;
    }
    return static_cast<T*>(PyCapsule_GetPointer(capsule, name));
}

bool consumed(const char* what) {
    PyErr_Format(PyExc_ValueError, "candles(): the %s was already consumed (its release is NULL); export the data again",
                 what);
    return false;
}

bool read_stream(PyObject* method, const Request& request, Table& table, Groups* groups) {
    Ref capsule = Ref::steal(PyObject_CallNoArgs(method));
    if (!capsule) return false;
    auto* exported = capsule_pointer<ArrowArrayStream>(capsule.get(), arrow::stream_capsule, "__arrow_c_stream__()");
    if (exported == nullptr) return false;
    if (exported->release == nullptr) return consumed("Arrow stream");
    Guard<ArrowArrayStream> guard;
    guard.exported = *exported;  // moved out: the capsule's destructor now finds a released stream
    exported->release = nullptr;
    ArrowArrayStream& stream = guard.exported;
    auto stream_error = [&](int code) {
        const char* text = stream.get_last_error ? stream.get_last_error(&stream) : nullptr;
        PyErr_Format(PyExc_OSError, "candles(): the Arrow stream failed (%d): %s", code, text ? text : "no message");
        return false;
    };
    if (stream.get_schema == nullptr || stream.get_next == nullptr) {
        PyErr_SetString(PyExc_ValueError, "candles(): the Arrow stream is malformed: it has no get_schema or get_next");
        return false;
    }
    Guard<ArrowSchema> schema;
    if (const int code = stream.get_schema(&stream, &schema.exported); code != 0) return stream_error(code);
    Layout layout;
    if (Outcome problem = read_schema(schema.exported, request, layout)) return raise(*problem);
    while (true) {
        ArrowArray batch{};
        if (const int code = stream.get_next(&stream, &batch); code != 0) return stream_error(code);
        if (batch.release == nullptr) return true;  // the end of the stream
        table.arrays.push_back(batch);              // owned from here on, released once by the table
        if (Outcome problem = read_batch(table.arrays.back(), layout, request, table, groups)) return raise(*problem);
    }
}

bool read_array(PyObject* method, const Request& request, Table& table, Groups* groups) {
    Ref pair = Ref::steal(PyObject_CallNoArgs(method));
    if (!pair) return false;
    if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
        PyErr_SetString(PyExc_TypeError, "candles(): __arrow_c_array__ gave no (schema, array) pair");
        return false;
    }
    auto* schema = capsule_pointer<ArrowSchema>(PyTuple_GET_ITEM(pair.get(), 0), arrow::schema_capsule,
                                                "__arrow_c_array__()");
    if (schema == nullptr) return false;
    auto* exported = capsule_pointer<ArrowArray>(PyTuple_GET_ITEM(pair.get(), 1), arrow::array_capsule,
                                                 "__arrow_c_array__()");
    if (exported == nullptr) return false;
    if (schema->release == nullptr) return consumed("Arrow schema");
    if (exported->release == nullptr) return consumed("Arrow array");
    Layout layout;
    if (Outcome problem = read_schema(*schema, request, layout)) return raise(*problem);  // the schema stays the capsule's
    table.arrays.push_back(*exported);  // the array is moved out, as for a stream
    exported->release = nullptr;
    if (Outcome problem = read_batch(table.arrays.back(), layout, request, table, groups)) return raise(*problem);
    return true;
}

// --- buffers --------------------------------------------------------------------------------------------------

bool storage_of_buffer(const Py_buffer& view, Storage& out) {
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

bool column_refused(PyObject* type, const std::string& column, const std::string& what) {
    PyErr_Format(type, "column '%s': %s", column.c_str(), what.c_str());
    return false;
}

bool read_buffers(PyObject* data, const Request& request, Table& table) {
    Chunk chunk;
    const std::string* first = nullptr;
    for (std::size_t w = 0; w < bars::field_count; ++w) {
        const auto field = static_cast<BarField>(w);
        const std::string& name = request.names[w];
        Ref key = Ref::steal(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
        if (!key) return false;
        Ref item = Ref::steal(PyObject_GetItem(data, key.get()));
        if (!item) {
            if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
            PyErr_Clear();
            if (field == BarField::CloseTime || field == BarField::Amount || field == BarField::Trades) continue;
            Ref keys = Ref::steal(PyMapping_Keys(data));
            Ref shown = keys ? Ref::steal(PyObject_Repr(keys.get())) : Ref();
            const char* listed = shown ? PyUnicode_AsUTF8(shown.get()) : nullptr;
            PyErr_Clear();
            PyErr_Format(PyExc_ValueError,
                         "candles(): the data has no column '%s' (its columns: %.400s); name the columns of other "
                         "names with columns={'%s': ...}",
                         name.c_str(), listed ? listed : "?", bars::field_names[w]);
            return false;
        }
        Py_buffer view;
        if (PyObject_GetBuffer(item.get(), &view, PyBUF_STRIDES | PyBUF_FORMAT) < 0) {
            // Only "this object has no buffer" is rephrased; any other failure is the object's own.
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
            Ref cause = Ref::steal(PyErr_GetRaisedException());
            column_refused(PyExc_TypeError, name,
                           "a one-dimensional buffer of numbers (a NumPy array, for example) expected, not " +
                               std::string(Py_TYPE(item.get())->tp_name) +
                               (field == BarField::OpenTime || field == BarField::CloseTime
                                    ? " (NumPy datetime64 arrays export no buffer: give integers and time_unit=)"
                                    : ""));
            PyObject* raised = PyErr_GetRaisedException();
            PyException_SetCause(raised, cause.release());
            PyErr_SetRaisedException(raised);
            return false;
        }
        table.buffers.push_back(view);  // owned from here on, released once by the table
        Column column;
        if (view.ndim != 1) return column_refused(PyExc_TypeError, name, "the buffer is not one-dimensional");
        if (!storage_of_buffer(view, column.storage)) {
            return column_refused(PyExc_TypeError, name,
                                  std::string("a buffer of numbers expected, found format '") +
                                      (view.format ? view.format : "B") + "'");
        }
        if (Outcome problem = check_buffer_storage(field, name, column.storage)) return raise(*problem);
        const std::int64_t rows = view.shape[0];
        if (first == nullptr) {
            first = &name;
            chunk.rows = rows;
        } else if (rows != chunk.rows) {
            return column_refused(PyExc_ValueError, name,
                                  std::to_string(rows) + " rows where column '" + *first + "' has " +
                                      std::to_string(chunk.rows));
        }
        column.unit = request.integer_unit;
        column.stride = view.strides ? view.strides[0] : view.itemsize;
        column.values = static_cast<const std::byte*>(view.buf);
        if (!view.readonly && rows > 0) {
            // Anyone holding the array could write into it after the checks: the series keeps a copy of its own.
            const std::int64_t size = size_of(column.storage);
            auto copy = std::unique_ptr<std::byte[]>(new (std::nothrow) std::byte[static_cast<std::size_t>(rows * size)]);
            if (!copy) {
                PyErr_NoMemory();
                return false;
            }
            if (column.stride == size) {
                std::memcpy(copy.get(), column.values, static_cast<std::size_t>(rows * size));
            } else {
                for (std::int64_t row = 0; row < rows; ++row) {
                    std::memcpy(copy.get() + row * size, column.values + row * column.stride, static_cast<std::size_t>(size));
                }
            }
            column.values = copy.get();
            column.stride = size;
            table.copies.push_back(std::move(copy));
        }
        column.present = true;
        chunk.columns[w] = column;
    }
    table.add(chunk);
    return true;
}

// --- CSV ------------------------------------------------------------------------------------------------------

bool read_csv(PyObject* path, const Request& request, Table& table) {
    PyObject* converted = nullptr;
    if (!PyUnicode_FSConverter(path, &converted)) return false;  // str, bytes or os.PathLike, as open() takes
    Ref encoded = Ref::steal(converted);
    const std::string file(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    try {
        table.csv = bars::read_csv(file, request.close_after_ms + 1, request.check_high_low);
    } catch (const bars::BadInput& error) {
        PyObject* type = error.kind == bars::BadInput::Kind::Missing      ? PyExc_FileNotFoundError
                         : error.kind == bars::BadInput::Kind::Unreadable ? PyExc_OSError
                                                                          : PyExc_ValueError;
        PyErr_SetString(type, error.what());
        return false;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
        return false;
    }
    Chunk chunk;
    chunk.rows = static_cast<std::int64_t>(table.csv.size());
    const auto* base = reinterpret_cast<const std::byte*>(table.csv.data());
    auto column = [&](std::size_t offset, Storage storage) {
        return Column{base + offset, static_cast<std::int64_t>(sizeof(bars::CsvBar)), storage, Unit::Milliseconds, true};
    };
    chunk[BarField::OpenTime] = column(offsetof(bars::CsvBar, open_ms), Storage::I64);
    chunk[BarField::Open] = column(offsetof(bars::CsvBar, open), Storage::F64);
    chunk[BarField::High] = column(offsetof(bars::CsvBar, high), Storage::F64);
    chunk[BarField::Low] = column(offsetof(bars::CsvBar, low), Storage::F64);
    chunk[BarField::Close] = column(offsetof(bars::CsvBar, close), Storage::F64);
    chunk[BarField::Volume] = column(offsetof(bars::CsvBar, volume), Storage::F64);
    table.add(chunk);
    return true;
}

// What data that is none of the kinds candles() reads needs, said as a hint.
bool refuse_data(PyObject* data) {
    Ref attribute;
    std::string hint;
    if (PyList_Check(data) || PyTuple_Check(data)) {
        hint = "; candles() reads columns, not rows: give a pyarrow Table, a DataFrame or a dict of NumPy arrays";
    } else if (const int lazy = optional_attribute(data, "collect", attribute); lazy != 0) {
        if (lazy < 0) return false;
        hint = "; a lazy query (a polars LazyFrame, for example) holds no data until collected: pass data.collect()";
    } else if (const int convertible = optional_attribute(data, "to_arrow", attribute); convertible != 0) {
        if (convertible < 0) return false;
        hint = "; pass data.to_arrow()";
    }
    PyErr_Format(PyExc_TypeError,
                 "candles(): the data must speak the Arrow PyCapsule interface (__arrow_c_stream__ or "
                 "__arrow_c_array__), map column names to one-dimensional buffers, or be the path of a CSV file, not "
                 "%.200s%s",
                 Py_TYPE(data)->tp_name, hint.c_str());
    return false;
}

}  // namespace

bool raise(const Problem& problem) {
    PyErr_SetString(problem.kind == Problem::Kind::Type ? PyExc_TypeError : PyExc_ValueError, problem.message.c_str());
    return false;
}

Table::~Table() {
    for (ArrowArray& array : arrays) release(array);
    for (Py_buffer& view : buffers) PyBuffer_Release(&view);
}

bool load_mapping_abc() {
    Ref abc = Ref::steal(PyImport_ImportModule("collections.abc"));
    mapping_abc = abc ? PyObject_GetAttrString(abc.get(), "Mapping") : nullptr;
    return mapping_abc != nullptr;
}

std::shared_ptr<Table> read_table(PyObject* data, const Request& request, Groups* groups) {
    auto table = std::make_shared<Table>();
    Ref method;
    bool read = false;
    if (const int stream = optional_attribute(data, "__arrow_c_stream__", method); stream != 0) {
        read = stream > 0 && read_stream(method.get(), request, *table, groups);
    } else if (const int array = optional_attribute(data, "__arrow_c_array__", method); array != 0) {
        read = array > 0 && read_array(method.get(), request, *table, groups);
    } else if (const int path = PyUnicode_Check(data) || PyBytes_Check(data)
                                    ? 1
                                    : optional_attribute(data, "__fspath__", method);
               path != 0) {
        if (path < 0) return nullptr;
        if (groups != nullptr) {
            PyErr_SetString(PyExc_TypeError, "candles_by(): a CSV file of bars holds one instrument; use candles()");
            return nullptr;
        }
        read = read_csv(data, request, *table);
    } else if (const int mapping = PyObject_IsInstance(data, mapping_abc); mapping != 0) {
        if (mapping > 0 && groups != nullptr) {
            PyErr_SetString(PyExc_TypeError, "candles_by(): split tables of Arrow data (a pyarrow Table, a DataFrame)");
            return nullptr;
        }
        read = mapping > 0 && read_buffers(data, request, *table);
    } else {
        read = refuse_data(data);
    }
    if (!read) return nullptr;
    return table;
}

}  // namespace feed

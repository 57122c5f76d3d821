// kavno_feed.table(records): the fields of many records of one class as Arrow columns, one per field, read straight
// from the records (kavno's layout, checked when kavno_feed was imported). Texts become large strings, dates UTC
// timestamps in microseconds, enumerations dictionary-encoded strings of their members ("OrderStatus.Filled").
#include "table.hpp"

#include "arguments.hpp"
#include "export.hpp"
#include "boundary/ref.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace feed {

namespace {

// The columns of a table of records, made once and shared by every export of it.
struct RecordColumns {
    const kavno::RecordSpec* spec = nullptr;
    std::int64_t rows = 0;
    struct Column {
        std::vector<std::byte> values;      // fixed-width values, or a text's int64 offsets
        std::string characters;             // a text's bytes
    };
    std::vector<Column> columns;
};

PyTypeObject* table_type = nullptr;

struct TableObject {
    PyObject_HEAD
    std::shared_ptr<const RecordColumns> columns;  // constructed in place, destroyed in table_dealloc
};

const char* format_of(const kavno::FieldSpec& field) {
    switch (field.kind) {
        case kavno::FieldKind::Text: return "U";
        case kavno::FieldKind::Double: return "g";
        case kavno::FieldKind::Int64: return "l";
        case kavno::FieldKind::Int32: return "i";
        case kavno::FieldKind::Enumeration: return "C";  // uint8 indices into the members' names
        case kavno::FieldKind::DateTime: return "tsu:UTC";
    }
    return "n";
}

std::size_t width_of(const kavno::FieldSpec& field) {
    switch (field.kind) {
        case kavno::FieldKind::Text:
        case kavno::FieldKind::Double:
        case kavno::FieldKind::Int64:
        case kavno::FieldKind::DateTime: return 8;
        case kavno::FieldKind::Int32: return 4;
        case kavno::FieldKind::Enumeration: return 1;
    }
    return 0;
}

void append(std::vector<std::byte>& out, const void* value, std::size_t size) {
    const auto* bytes = static_cast<const std::byte*>(value);
    out.insert(out.end(), bytes, bytes + size);
}

// One record's fields appended to the columns.
void add_record(RecordColumns& table, PyObject* record) {
    const auto* base = reinterpret_cast<const std::byte*>(record);
    for (std::size_t f = 0; f < table.spec->field_count; ++f) {
        const kavno::FieldSpec& field = table.spec->fields[f];
        const std::byte* at = base + field.offset;
        RecordColumns::Column& column = table.columns[f];
        switch (field.kind) {
            case kavno::FieldKind::Text: {
                kavno::Text text;
                std::memcpy(&text, at, sizeof text);
                column.characters.append(text.data, static_cast<std::size_t>(text.size));
                const auto end = static_cast<std::int64_t>(column.characters.size());
                append(column.values, &end, 8);
                break;
            }
            case kavno::FieldKind::DateTime: {
                kavno::UtcDateTime when;
                std::memcpy(&when, at, sizeof when);
                const std::int64_t micros = kavno::unix_seconds(when) * 1'000'000 + when.nanosecond / 1000;
                append(column.values, &micros, 8);
                break;
            }
            default: append(column.values, at, width_of(field)); break;
        }
    }
}

// The dictionary of an enumeration column: the names of its members, "OrderStatus.Filled", as a string array.
void fill_dictionary(ArrowArray& out, kavno::EnumerationId which) {
    const kavno::EnumerationDescription& enumeration = kavno::enumerations[static_cast<std::size_t>(which)];
    std::vector<std::int32_t> offsets{0};
    std::string characters;
    for (std::size_t m = 0; m < enumeration.member_count; ++m) {
        characters += std::string(enumeration.name) + "." + enumeration.members[m];
        offsets.push_back(static_cast<std::int32_t>(characters.size()));
    }
    ArrayData* data = fill_array(out, static_cast<std::int64_t>(enumeration.member_count), 3, 0);
    Memory offset_memory = allocate(offsets.size() * 4, false);
    std::memcpy(offset_memory.get(), offsets.data(), offsets.size() * 4);
    Memory character_memory = allocate(std::max<std::size_t>(characters.size(), 1), false);
    std::memcpy(character_memory.get(), characters.data(), characters.size());
    data->buffers[1] = offset_memory.get();
    data->buffers[2] = character_memory.get();
    data->owned.push_back(std::move(offset_memory));
    data->owned.push_back(std::move(character_memory));
}

void fill_record_schema(ArrowSchema& out, const RecordColumns& table) {
    SchemaData* data = fill_schema(out, "+s", "", "", table.spec->field_count);
    for (std::size_t f = 0; f < table.spec->field_count; ++f) {
        const kavno::FieldSpec& field = table.spec->fields[f];
        SchemaData* child = fill_schema(data->children_storage[f], format_of(field), field.name, "", 0);
        if (field.kind == kavno::FieldKind::Enumeration) {
            child->dictionary = std::make_unique<ArrowSchema>();
            fill_schema(*child->dictionary, "u", "", "", 0);
            data->children_storage[f].dictionary = child->dictionary.get();
        }
    }
}

void fill_record_batch(ArrowArray& out, const std::shared_ptr<const RecordColumns>& table) {
    ArrayData* data = fill_array(out, table->rows, 1, table->spec->field_count);
    for (std::size_t f = 0; f < table->spec->field_count; ++f) {
        const kavno::FieldSpec& field = table->spec->fields[f];
        const RecordColumns::Column& column = table->columns[f];
        const bool text = field.kind == kavno::FieldKind::Text;
        ArrowArray& child = data->children_storage[f];
        ArrayData* child_data = fill_array(child, table->rows, text ? 3 : 2, 0);
        child_data->keep = table;  // the columns are handed out where they lie
        if (text) {
            static constexpr std::int64_t zero = 0;
            // Arrow's offsets start with the first string's start: a first 0, then each end. The ends are stored;
            // a table's offsets buffer is made once with the 0 in front.
            Memory offsets = allocate((static_cast<std::size_t>(table->rows) + 1) * 8, false);
            std::memcpy(offsets.get(), &zero, 8);
            std::memcpy(offsets.get() + 8, column.values.data(), column.values.size());
            child_data->buffers[1] = offsets.get();
            child_data->owned.push_back(std::move(offsets));
            child_data->buffers[2] = column.characters.data();
        } else {
            child_data->buffers[1] = column.values.data();
        }
        if (field.kind == kavno::FieldKind::Enumeration) {
            child_data->dictionary = std::make_unique<ArrowArray>();
            fill_dictionary(*child_data->dictionary, field.enumeration);
            child.dictionary = child_data->dictionary.get();
        }
    }
}

struct TableStream final : StreamSource {
    explicit TableStream(std::shared_ptr<const RecordColumns> columns) : table(std::move(columns)) {}
    std::shared_ptr<const RecordColumns> table;
    bool given = false;  // the one batch

    void schema(ArrowSchema& out) override { fill_record_schema(out, *table); }

    void next(ArrowArray& out) override {
        if (given) {
            out = ArrowArray{};
            return;
        }
        fill_record_batch(out, table);
        given = true;
    }
};

TableObject* as_table(PyObject* object) { return reinterpret_cast<TableObject*>(object); }

PyObject* table_arrow_stream(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
    if (!takes_requested_schema(nargs, kwnames)) return nullptr;
    auto* data = new (std::nothrow) TableStream(as_table(self)->columns);
    if (data == nullptr) return PyErr_NoMemory();
    return stream_capsule(data);
}

PyObject* table_arrow_schema(PyObject* self, PyObject*) {
    return schema_capsule([](ArrowSchema& out, const void* source) {
        fill_record_schema(out, *static_cast<const RecordColumns*>(source));
    }, as_table(self)->columns.get());
}

Py_ssize_t table_length(PyObject* self) { return static_cast<Py_ssize_t>(as_table(self)->columns->rows); }

PyObject* table_repr(PyObject* self) {
    const RecordColumns& columns = *as_table(self)->columns;
    return PyUnicode_FromFormat("RecordTable(%s, %lld rows)", columns.spec->name(), static_cast<long long>(columns.rows));
}

void table_dealloc(PyObject* self) {
    as_table(self)->columns.~shared_ptr();
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef table_methods[] = {
    {"__arrow_c_stream__", kavno::method_entry<table_arrow_stream>(),
     METH_FASTCALL | METH_KEYWORDS, "__arrow_c_stream__(requested_schema=None) -> PyCapsule: the table as an Arrow stream."},
    {"__arrow_c_schema__", kavno::method_entry<table_arrow_schema>(), METH_NOARGS, "__arrow_c_schema__() -> PyCapsule: the table's Arrow schema."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot table_slots[] = {
    {Py_tp_doc, const_cast<char*>("The fields of records as Arrow columns (made by kavno_feed.table()): pa.table(t), "
                                  "pl.DataFrame(pa.table(t)), duckdb.sql(\"SELECT * FROM t\"). len() is its rows.")},
    {Py_tp_dealloc, kavno::slot_entry<table_dealloc>()},
    {Py_tp_repr, kavno::slot_entry<table_repr>()},
    {Py_sq_length, kavno::slot_entry<table_length>()},
    {Py_tp_methods, table_methods},
    {0, nullptr},
};

PyType_Spec table_spec = {"kavno_feed.RecordTable", sizeof(TableObject), 0,
                          Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                          table_slots};

}  // namespace

bool add_table_type(PyObject* module) {
    table_type = reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &table_spec, nullptr));
    if (table_type == nullptr) return false;
    return PyModule_AddObjectRef(module, "RecordTable", reinterpret_cast<PyObject*>(table_type)) == 0;
}

PyObject* table(PyObject*, PyObject* records) {
    Ref iterator = Ref::steal(PyObject_GetIter(records));
    if (!iterator) return nullptr;
    auto columns = std::make_shared<RecordColumns>();
    PyTypeObject* of = nullptr;
    try {
        while (Ref item = Ref::steal(PyIter_Next(iterator.get()))) {
            if (of == nullptr) {
                columns->spec = record_spec_of(item.get());
                if (columns->spec == nullptr) {
                    PyErr_Format(PyExc_TypeError, "table(): expected kavno records (Pair, Candle, Order or Position), "
                                 "not %.200s", Py_TYPE(item.get())->tp_name);
                    return nullptr;
                }
                of = Py_TYPE(item.get());
                columns->columns.resize(columns->spec->field_count);
            } else if (Py_TYPE(item.get()) != of) {
                const kavno::RecordSpec* other = record_spec_of(item.get());
                PyErr_Format(PyExc_TypeError, "table(): record %lld is a %.200s, where the records before are %s",
                             static_cast<long long>(columns->rows), other ? other->name() : Py_TYPE(item.get())->tp_name,
                             columns->spec->name());
                return nullptr;
            }
            add_record(*columns, item.get());
            ++columns->rows;
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    if (PyErr_Occurred()) return nullptr;
    if (of == nullptr) {
        PyErr_SetString(PyExc_ValueError, "table(): no records, so no class to make the columns of");
        return nullptr;
    }
    auto* object = reinterpret_cast<TableObject*>(table_type->tp_alloc(table_type, 0));
    if (object == nullptr) return nullptr;
    new (&object->columns) std::shared_ptr<const RecordColumns>(std::move(columns));
    return reinterpret_cast<PyObject*>(object);
}

}  // namespace feed

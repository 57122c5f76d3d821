// One getter serves every field of every record: the getset entry's closure points at the field's table row,
// which says where the value lies and how it becomes a Python object. Each read makes a new object.
#include "types/record_classes.hpp"

#include "boundary/entry.hpp"
#include "datetime/bridge.hpp"
#include "types/enumerations.hpp"

#include <array>
#include <vector>

namespace kavno {

namespace {

template <class T>
const T& field_at(PyObject* self, const FieldSpec& field) {
    return *reinterpret_cast<const T*>(reinterpret_cast<const char*>(self) + field.offset);
}

PyObject* read_field(PyObject* self, void* closure) {
    const FieldSpec& field = *static_cast<const FieldSpec*>(closure);
    switch (field.kind) {
        case FieldKind::Text: {
            const Text& text = field_at<Text>(self, field);
            return PyUnicode_DecodeUTF8(text.data, text.size, nullptr);
        }
        case FieldKind::Double: return PyFloat_FromDouble(field_at<double>(self, field));
        case FieldKind::Int64: return PyLong_FromLongLong(field_at<std::int64_t>(self, field));
        case FieldKind::Int32: return PyLong_FromLong(field_at<std::int32_t>(self, field));
        case FieldKind::Enumeration:
            return finish(enum_instance(field.enumeration, field_at<std::uint8_t>(self, field)));
        case FieldKind::DateTime: return finish(datetime_result(field_at<UtcDateTime>(self, field)));
    }
    Py_UNREACHABLE();
}

template <RecordId R>
void record_dealloc(PyObject* self) {
    const RecordSpec& spec = *records[static_cast<std::size_t>(R)];
    for (std::size_t i = 0; i < spec.field_count; ++i) {
        if (spec.fields[i].kind == FieldKind::Text) PyMem_Free(field_at<Text>(self, spec.fields[i]).data);
    }
    free_instance(self);
}

constexpr destructor record_deallocs[] = {
#define KAVNO_RECORD_DEALLOC(Class, prefix, doc, FIELDS) record_dealloc<RecordId::Class>,
    KAVNO_RECORDS(KAVNO_RECORD_DEALLOC)
#undef KAVNO_RECORD_DEALLOC
};
static_assert(std::size(record_deallocs) == std::size(records));

// Getset tables, made on first build and kept: the types point at them.
std::array<std::vector<PyGetSetDef>, std::size(records)> getsets;

PyGetSetDef* getset_of(std::size_t index) {
    std::vector<PyGetSetDef>& table = getsets[index];
    if (table.empty()) {
        const RecordSpec& spec = *records[index];
        for (std::size_t i = 0; i < spec.field_count; ++i) {
            const FieldSpec& field = spec.fields[i];
            table.push_back({field.name, getter_entry<read_field>(), nullptr, field.doc, const_cast<FieldSpec*>(&field)});
        }
        table.push_back({nullptr, nullptr, nullptr, nullptr, nullptr});
    }
    return table.data();
}

}  // namespace

TypeSpec record_type_spec(std::size_t position) {
    const RecordSpec& record = *records[position];
    return {record.spec_name, record.doc, record.basicsize, {}, getset_of(position), record_deallocs[position]};
}

}  // namespace kavno

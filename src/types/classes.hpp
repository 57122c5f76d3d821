// The eleven classes of the module, in registration order, and the one way to obtain their type objects:
// built once per process on first need, enumeration members filled in as class attributes, kept forever.
#pragma once

#include "boundary/failure.hpp"
#include "kavno/enums.hpp"
#include "kavno/records.hpp"

#include <cstddef>
#include <cstdint>

namespace kavno {

// The enumerations first, then the records, as the lists in include/kavno/ give them.
enum class ClassId : std::uint8_t {
#define KAVNO_CLASS_ID(name, ...) name,
#define KAVNO_NO_MEMBER(member)
    KAVNO_ENUMERATIONS(KAVNO_CLASS_ID, KAVNO_NO_MEMBER) KAVNO_RECORDS(KAVNO_CLASS_ID)
#undef KAVNO_NO_MEMBER
#undef KAVNO_CLASS_ID
};

inline constexpr std::size_t class_count = enumeration_count + std::size(records);

constexpr bool is_enumeration(ClassId id) noexcept { return static_cast<std::size_t>(id) < enumeration_count; }
constexpr ClassId class_id(EnumerationId which) noexcept { return static_cast<ClassId>(which); }  // same positions
constexpr const RecordSpec& record_spec(ClassId id) noexcept {
    return *records[static_cast<std::size_t>(id) - enumeration_count];
}

const char* class_name(ClassId id);

// For the import: the ready type object, or RuntimeError "An error occurred while initializing class {}" with
// the cause chain of the step that failed.
PyResult<Ref> class_for_import(ClassId id);

// For every other need (instances, type tests): the type object; a class that cannot be built here is a fatal
// internal failure. Borrowed: type objects are never released.
PyTypeObject* class_object(ClassId id);

}  // namespace kavno

// The eleven classes of the module, in registration order, and the one way to obtain their type objects:
// built once per process on first need, enumeration members filled in as class attributes, kept forever.
#pragma once

#include "boundary/failure.hpp"

#include <cstddef>
#include <cstdint>

namespace kavno {

enum class ClassId : std::uint8_t {
    RunMode, TradeKind, TradeType, TradeSide, OrderStatus, CandleInterval, EventType,  // enumerations
    Pair, Candle, Order, Position,                                                     // records
};

inline constexpr std::size_t enumeration_count = 7;
inline constexpr std::size_t class_count = 11;

constexpr bool is_enumeration(ClassId id) noexcept { return static_cast<std::size_t>(id) < enumeration_count; }

const char* class_name(ClassId id) noexcept;

// For the import: the ready type object, or RuntimeError "An error occurred while initializing class {}" with
// the cause chain of the step that failed.
PyResult<Ref> class_for_import(ClassId id) noexcept;

// For every other need (instances, type tests): the type object; a class that cannot be built here is a fatal
// internal failure. Borrowed: type objects are never released.
PyTypeObject* class_object(ClassId id) noexcept;

}  // namespace kavno

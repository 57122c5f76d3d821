// Enumeration members hold one byte; text form, integer form and comparison come from the class's table.
// Each slot is instantiated per class so that it reaches its table and type without a lookup.
#include "types/enumerations.hpp"

#include <array>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kavno {

namespace {

constexpr const char* run_mode_members[] = {"Backtest", "Simulation", "Live"};
constexpr const char* trade_kind_members[] = {"Spot", "Future"};
constexpr const char* trade_type_members[] = {"Limit", "Market"};
constexpr const char* trade_side_members[] = {"Long", "Short"};
constexpr const char* order_status_members[] = {"Created", "Submitted", "PartialFilled", "Filled", "Canceled", "Rejected"};
constexpr const char* candle_interval_members[] = {"Min1", "Min5", "Min15", "Hour1", "Day1"};
constexpr const char* event_type_members[] = {
    "Initialize", "Start", "Stop", "Daily", "Hourly", "Minutely", "Secondly", "Tick",
    "QuoteChange", "AccountChange", "PositionChange", "OrderChange",
};

constexpr EnumSpec enum_specs[] = {
    {"builtins.RunMode", "运行模式", run_mode_members},
    {"builtins.TradeKind", "交易品种", trade_kind_members},
    {"builtins.TradeType", "交易类型", trade_type_members},
    {"builtins.TradeSide", "交易方向", trade_side_members},
    {"builtins.OrderStatus", "订单状态", order_status_members},
    {"builtins.CandleInterval", "K线周期", candle_interval_members},
    {"builtins.EventType", "事件类型", event_type_members},
};
static_assert(std::size(enum_specs) == enumeration_count);
static_assert(std::size(run_mode_members) == member_count<RunMode>);
static_assert(std::size(trade_kind_members) == member_count<TradeKind>);
static_assert(std::size(trade_type_members) == member_count<TradeType>);
static_assert(std::size(trade_side_members) == member_count<TradeSide>);
static_assert(std::size(order_status_members) == member_count<OrderStatus>);
static_assert(std::size(candle_interval_members) == member_count<CandleInterval>);
static_assert(std::size(event_type_members) == member_count<EventType>);
static_assert(static_cast<int>(EnumClass::EventType) == static_cast<int>(ClassId::EventType));

std::array<PyTypeObject*, enumeration_count> built_types{};
// "Class.Member" for every member, made when the class is built.
std::array<std::vector<std::string>, enumeration_count> text_forms;

template <std::size_t I>
EnumObject* receiver(PyObject* self) noexcept {
    return Py_IS_TYPE(self, built_types[I]) ? reinterpret_cast<EnumObject*>(self) : nullptr;
}

template <std::size_t I>
PyObject* enum_repr(PyObject* self) {
    const EnumObject* member = receiver<I>(self);
    if (member == nullptr) return PyErr_Format(PyExc_TypeError, "expected a member of %s", enum_specs[I].spec_name);
    const std::string& text = text_forms[I][member->value];
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

template <std::size_t I>
PyObject* enum_int(PyObject* self) {
    const EnumObject* member = receiver<I>(self);
    if (member == nullptr) return PyErr_Format(PyExc_TypeError, "expected a member of %s", enum_specs[I].spec_name);
    return PyLong_FromLong(member->value);
}

// The value of `other` read through the integer protocol, or nothing (errors swallowed).
std::optional<long long> integer_operand(PyObject* other) noexcept {
    if (PyLong_CheckExact(other) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(other))) {
        return PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(other));  // the common small int
    }
    long long value = 0;
    int overflow = 0;
    if (PyLong_Check(other)) {
        value = PyLong_AsLongLongAndOverflow(other, &overflow);
    } else {
        if (Py_TYPE(other)->tp_as_number == nullptr || Py_TYPE(other)->tp_as_number->nb_index == nullptr) return {};
        Ref index = Ref::steal(PyNumber_Index(other));
        if (!index) {
            PyErr_Clear();
            return {};
        }
        value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
    }
    if (overflow != 0) return {};  // too large: a failed read, so never equal
    if (value == -1 && PyErr_Occurred()) {
        PyErr_Clear();
        return {};
    }
    return value;
}

template <std::size_t I>
PyObject* enum_compare(PyObject* self, PyObject* other, int op) {
    const EnumObject* member = receiver<I>(self);
    if (member == nullptr || (op != Py_EQ && op != Py_NE)) {
        // Ordering is never defined; the operand is still read first, as an equality would read it.
        if (member != nullptr && op >= Py_LT && op <= Py_GE && !Py_IS_TYPE(other, built_types[I])) {
            (void)integer_operand(other);
        }
        Py_RETURN_NOTIMPLEMENTED;
    }
    long long value = 0;
    if (Py_IS_TYPE(other, built_types[I])) {
        value = reinterpret_cast<EnumObject*>(other)->value;
    } else if (auto integer = integer_operand(other)) {
        value = *integer;
    } else {
        Py_RETURN_NOTIMPLEMENTED;
    }
    const bool equal = value == member->value;
    return Py_NewRef((op == Py_EQ) == equal ? Py_True : Py_False);
}

void enum_dealloc(PyObject* self) { free_instance(self); }

template <std::size_t I>
std::array<PyType_Slot, 3> slots_of() noexcept {
    return {{
        {Py_tp_repr, reinterpret_cast<void*>(enum_repr<I>)},
        {Py_nb_int, reinterpret_cast<void*>(enum_int<I>)},
        {Py_tp_richcompare, reinterpret_cast<void*>(enum_compare<I>)},
    }};
}

template <std::size_t... I>
std::array<std::array<PyType_Slot, 3>, enumeration_count> all_slots(std::index_sequence<I...>) noexcept {
    return {slots_of<I>()...};
}

const std::array<std::array<PyType_Slot, 3>, enumeration_count> enum_slots =
    all_slots(std::make_index_sequence<enumeration_count>());

}  // namespace

const EnumSpec& enum_spec(ClassId id) noexcept { return enum_specs[static_cast<std::size_t>(id)]; }

TypeSpec enum_type_spec(ClassId id) noexcept {
    const auto index = static_cast<std::size_t>(id);
    const EnumSpec& spec = enum_specs[index];
    if (text_forms[index].empty()) {
        const std::string prefix = std::string(class_name(id)) + ".";
        for (const char* member : spec.members) text_forms[index].push_back(prefix + member);
    }
    return {spec.spec_name, spec.doc, sizeof(EnumObject), enum_slots[index], nullptr, enum_dealloc};
}

void enum_type_built(ClassId id, PyTypeObject* type) noexcept { built_types[static_cast<std::size_t>(id)] = type; }

PyResult<Ref> enum_instance(PyTypeObject* type, std::uint8_t value) noexcept {
    auto instance = allocate_instance(type);
    if (instance) reinterpret_cast<EnumObject*>(instance->get())->value = value;
    return instance;
}

PyResult<Ref> enum_instance(EnumClass which, std::uint8_t value) noexcept {
    return enum_instance(class_object(static_cast<ClassId>(which)), value);
}

}  // namespace kavno

// The four record classes as native structures, and their field tables. kavno builds each class from its
// table; a producer (include/kavno/producer.hpp) fills an instance through the same layout and checks a class
// it found against the same table before it writes into one.
#pragma once

#include <Python.h>

#include "kavno/datetime.hpp"
#include "kavno/enums.hpp"

#include <cstddef>
#include <cstdint>
#include <iterator>

namespace kavno {

// Owned UTF-8 text: `size` bytes at `data` plus a terminating NUL, allocated with PyMem_Malloc so that the
// side that frees it (kavno's deallocation) uses the interpreter's allocator as the producer did.
struct Text {
    char* data;
    Py_ssize_t size;
};

struct PairObject {
    PyObject ob_base;
    TradeKind kind;
    Text code;
    Text base;
    Text quote;
    double min_volume;
    double min_price;
    double min_amount;
};

struct CandleObject {
    PyObject ob_base;
    TradeKind kind;
    Text code;
    CandleInterval interval;
    UtcDateTime open_time;
    UtcDateTime close_time;
    double open;
    double high;
    double low;
    double close;
    double volume;
    double amount;
    std::int64_t trades;
};

struct OrderObject {
    PyObject ob_base;
    Text id;
    TradeKind kind;
    TradeType type;
    TradeSide side;
    Text code;
    OrderStatus status;
    double volume;
    double price;
    double filled_volume;
    double filled_price;
    double fee;
    UtcDateTime create_time;
};

struct PositionObject {
    PyObject ob_base;
    TradeKind kind;
    Text code;
    TradeSide side;
    double volume;
    double price;
    std::int32_t leverage;
};

enum class FieldKind : std::uint8_t { Text, Double, Int64, Int32, Enumeration, DateTime };

// Which enumeration an enumeration field holds: the enumerations in registration order.
enum class EnumClass : std::uint8_t { RunMode, TradeKind, TradeType, TradeSide, OrderStatus, CandleInterval, EventType };

struct FieldSpec {
    const char* name;
    FieldKind kind;
    std::size_t offset;
    const char* doc;
    EnumClass enumeration;  // for FieldKind::Enumeration only
    std::uint8_t member_count;  // for FieldKind::Enumeration only: valid values are below it
};

namespace fields {

template <class E>
constexpr FieldSpec enumeration(const char* name, std::size_t offset, const char* doc, EnumClass which) noexcept {
    return {name, FieldKind::Enumeration, offset, doc, which, member_count<E>};
}
constexpr FieldSpec of(const char* name, FieldKind kind, std::size_t offset, const char* doc) noexcept {
    return {name, kind, offset, doc, EnumClass::RunMode, 0};
}

}  // namespace fields

#define KAVNO_FIELD(record, name, kind, doc) ::kavno::fields::of(#name, FieldKind::kind, offsetof(record, name), doc)
#define KAVNO_ENUM_FIELD(record, name, type, doc) \
    ::kavno::fields::enumeration<type>(#name, offsetof(record, name), doc, EnumClass::type)

inline constexpr FieldSpec pair_fields[] = {
    KAVNO_ENUM_FIELD(PairObject, kind, TradeKind, "交易品种"),
    KAVNO_FIELD(PairObject, code, Text, "交易代码"),
    KAVNO_FIELD(PairObject, base, Text, "基础货币"),
    KAVNO_FIELD(PairObject, quote, Text, "计价货币"),
    KAVNO_FIELD(PairObject, min_volume, Double, "最小下单数量"),
    KAVNO_FIELD(PairObject, min_price, Double, "最小下单价格"),
    KAVNO_FIELD(PairObject, min_amount, Double, "最小下单金额"),
};

inline constexpr FieldSpec candle_fields[] = {
    KAVNO_ENUM_FIELD(CandleObject, kind, TradeKind, "交易品种"),
    KAVNO_FIELD(CandleObject, code, Text, "交易代码"),
    KAVNO_ENUM_FIELD(CandleObject, interval, CandleInterval, "K线周期"),
    KAVNO_FIELD(CandleObject, open_time, DateTime, "开盘时间"),
    KAVNO_FIELD(CandleObject, close_time, DateTime, "收盘时间"),
    KAVNO_FIELD(CandleObject, open, Double, "开盘价"),
    KAVNO_FIELD(CandleObject, high, Double, "最高价"),
    KAVNO_FIELD(CandleObject, low, Double, "最低价"),
    KAVNO_FIELD(CandleObject, close, Double, "收盘价"),
    KAVNO_FIELD(CandleObject, volume, Double, "成交量"),
    KAVNO_FIELD(CandleObject, amount, Double, "成交额"),
    KAVNO_FIELD(CandleObject, trades, Int64, "交易笔数"),
};

inline constexpr FieldSpec order_fields[] = {
    KAVNO_FIELD(OrderObject, id, Text, "订单ID"),
    KAVNO_ENUM_FIELD(OrderObject, kind, TradeKind, "交易品种"),
    KAVNO_ENUM_FIELD(OrderObject, type, TradeType, "交易类型"),
    KAVNO_ENUM_FIELD(OrderObject, side, TradeSide, "交易方向"),
    KAVNO_FIELD(OrderObject, code, Text, "交易代码"),
    KAVNO_ENUM_FIELD(OrderObject, status, OrderStatus, "订单状态"),
    KAVNO_FIELD(OrderObject, volume, Double, "下单数量"),
    KAVNO_FIELD(OrderObject, price, Double, "下单价格"),
    KAVNO_FIELD(OrderObject, filled_volume, Double, "已成交数量"),
    KAVNO_FIELD(OrderObject, filled_price, Double, "已成交均价"),
    KAVNO_FIELD(OrderObject, fee, Double, "交易手续费"),
    KAVNO_FIELD(OrderObject, create_time, DateTime, "下单时间"),
};

inline constexpr FieldSpec position_fields[] = {
    KAVNO_ENUM_FIELD(PositionObject, kind, TradeKind, "交易品种"),
    KAVNO_FIELD(PositionObject, code, Text, "交易代码"),
    KAVNO_ENUM_FIELD(PositionObject, side, TradeSide, "交易方向"),
    KAVNO_FIELD(PositionObject, volume, Double, "持仓数量"),
    KAVNO_FIELD(PositionObject, price, Double, "持仓均价"),
    KAVNO_FIELD(PositionObject, leverage, Int32, "杠杆倍率"),
};

#undef KAVNO_ENUM_FIELD
#undef KAVNO_FIELD

// The class name within a heap type's spec name ("builtins.Candle" -> "Candle").
constexpr const char* class_name_of(const char* spec_name) noexcept { return spec_name + sizeof("builtins.") - 1; }

struct RecordSpec {
    const char* spec_name;  // "builtins." + class name
    const char* doc;
    Py_ssize_t basicsize;
    const FieldSpec* fields;
    std::size_t field_count;

    const char* name() const noexcept { return class_name_of(spec_name); }
};

inline constexpr RecordSpec pair_record{"builtins.Pair", "交易对", sizeof(PairObject), pair_fields, std::size(pair_fields)};
inline constexpr RecordSpec candle_record{"builtins.Candle", "K线", sizeof(CandleObject), candle_fields,
                                          std::size(candle_fields)};
inline constexpr RecordSpec order_record{"builtins.Order", "订单", sizeof(OrderObject), order_fields,
                                         std::size(order_fields)};
inline constexpr RecordSpec position_record{"builtins.Position", "持仓", sizeof(PositionObject), position_fields,
                                            std::size(position_fields)};

}  // namespace kavno

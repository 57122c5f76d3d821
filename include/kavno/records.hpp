// The four record classes as native structures, and their field tables. kavno builds each class from its
// table; a producer (include/kavno/producer.hpp) fills an instance through the same layout and checks a class
// it found against the same table, field by field, before it writes into one.
#pragma once

#include <Python.h>

#include "kavno/datetime.hpp"
#include "kavno/enums.hpp"
#include "kavno/version.hpp"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string_view>
#include <variant>

#pragma GCC visibility push(hidden)  // one copy per binary (producer.hpp says why)

namespace kavno {

// Owned UTF-8 text: `size` bytes at `data` plus a terminating NUL, allocated with PyMem_Malloc so that the
// side that frees it (kavno's deallocation) uses the interpreter's allocator as the producer did.
struct Text {
    char* data;
    Py_ssize_t size;
};

// Each record's fields, described once, in layout order: FIELD(Record, name, Kind, "doc", given) for a text, a
// number or a date, MEMBER(Record, name, Enumeration, "doc", given) for an enumeration. The lists generate the
// records' structures (below), their field tables, the producer's *Values structures and the copy of each field
// (producer.hpp), and the keywords of a factory that makes records from Python (kavno_feed's). `given` says what
// such a factory takes for a field left out: required (it must be given), zero (0, empty, the first member,
// 1970-01-01T00:00:00Z), derived (computed from the fields given) or value(v).
#define KAVNO_PAIR_FIELDS(R, FIELD, MEMBER)                   \
    MEMBER(R, kind, TradeKind, "交易品种", zero)               \
    FIELD(R, code, Text, "交易代码", required)                 \
    FIELD(R, base, Text, "基础货币", required)                 \
    FIELD(R, quote, Text, "计价货币", required)                \
    FIELD(R, min_volume, Double, "最小下单数量", zero)         \
    FIELD(R, min_price, Double, "最小下单价格", zero)          \
    FIELD(R, min_amount, Double, "最小下单金额", zero)

#define KAVNO_CANDLE_FIELDS(R, FIELD, MEMBER)                 \
    MEMBER(R, kind, TradeKind, "交易品种", zero)               \
    FIELD(R, code, Text, "交易代码", required)                 \
    MEMBER(R, interval, CandleInterval, "K线周期", zero)       \
    FIELD(R, open_time, DateTime, "开盘时间", required)        \
    FIELD(R, close_time, DateTime, "收盘时间", derived)        \
    FIELD(R, open, Double, "开盘价", derived)                  \
    FIELD(R, high, Double, "最高价", derived)                  \
    FIELD(R, low, Double, "最低价", derived)                   \
    FIELD(R, close, Double, "收盘价", required)                \
    FIELD(R, volume, Double, "成交量", zero)                   \
    FIELD(R, amount, Double, "成交额", zero)                   \
    FIELD(R, trades, Int64, "交易笔数", zero)

#define KAVNO_ORDER_FIELDS(R, FIELD, MEMBER)                  \
    FIELD(R, id, Text, "订单ID", required)                     \
    MEMBER(R, kind, TradeKind, "交易品种", zero)               \
    MEMBER(R, type, TradeType, "交易类型", zero)               \
    MEMBER(R, side, TradeSide, "交易方向", required)           \
    FIELD(R, code, Text, "交易代码", required)                 \
    MEMBER(R, status, OrderStatus, "订单状态", zero)           \
    FIELD(R, volume, Double, "下单数量", required)             \
    FIELD(R, price, Double, "下单价格", required)              \
    FIELD(R, filled_volume, Double, "已成交数量", zero)        \
    FIELD(R, filled_price, Double, "已成交均价", zero)         \
    FIELD(R, fee, Double, "交易手续费", zero)                  \
    FIELD(R, create_time, DateTime, "下单时间", required)

#define KAVNO_POSITION_FIELDS(R, FIELD, MEMBER)               \
    MEMBER(R, kind, TradeKind, "交易品种", zero)               \
    FIELD(R, code, Text, "交易代码", required)                 \
    MEMBER(R, side, TradeSide, "交易方向", required)           \
    FIELD(R, volume, Double, "持仓数量", required)             \
    FIELD(R, price, Double, "持仓均价", required)              \
    FIELD(R, leverage, Int32, "杠杆倍率", value(1))

// The four records in registration order: RECORD(Class, table prefix, "class docstring", field list).
#define KAVNO_RECORDS(RECORD)                            \
    RECORD(Pair, pair, "交易对", KAVNO_PAIR_FIELDS)       \
    RECORD(Candle, candle, "K线", KAVNO_CANDLE_FIELDS)    \
    RECORD(Order, order, "订单", KAVNO_ORDER_FIELDS)      \
    RECORD(Position, position, "持仓", KAVNO_POSITION_FIELDS)

enum class FieldKind : std::uint8_t { Text, Double, Int64, Int32, Enumeration, DateTime };

// A millisecond timestamp, for date fields given as one.
struct Milliseconds {
    std::int64_t count;
};

// A date field as a producer gives it: a UTC date-time, or a millisecond timestamp since 1970-01-01T00:00:00 UTC.
using Instant = std::variant<UtcDateTime, Milliseconds>;

// How a record stores a field of each kind, and how a producer gives it (texts as views, copied into the record).
template <FieldKind Kind>
struct field_types;
template <>
struct field_types<FieldKind::Text> {
    using stored = Text;
    using given = std::string_view;
};
template <>
struct field_types<FieldKind::Double> {
    using stored = double;
    using given = double;
};
template <>
struct field_types<FieldKind::Int64> {
    using stored = std::int64_t;
    using given = std::int64_t;
};
template <>
struct field_types<FieldKind::Int32> {
    using stored = std::int32_t;
    using given = std::int32_t;
};
template <>
struct field_types<FieldKind::DateTime> {
    using stored = UtcDateTime;
    using given = Instant;
};

// The record structures: the object header, then every field of the list in its order.
#define KAVNO_STORE_FIELD(R, name, kind, doc, given) ::kavno::field_types<::kavno::FieldKind::kind>::stored name;
#define KAVNO_STORE_MEMBER(R, name, type, doc, given) ::kavno::type name;
#define KAVNO_RECORD_STRUCT(Class, prefix, doc, FIELDS)             \
    struct Class##Object {                                          \
        PyObject ob_base;                                           \
        FIELDS(Class, KAVNO_STORE_FIELD, KAVNO_STORE_MEMBER)        \
    };
KAVNO_RECORDS(KAVNO_RECORD_STRUCT)
#undef KAVNO_RECORD_STRUCT
#undef KAVNO_STORE_MEMBER
#undef KAVNO_STORE_FIELD

// Which record: their positions in registration order, the index of kavno::records.
enum class RecordId : std::uint8_t {
#define KAVNO_RECORD_ID(Class, prefix, doc, FIELDS) Class,
    KAVNO_RECORDS(KAVNO_RECORD_ID)
#undef KAVNO_RECORD_ID
};

template <class Object>
struct record_traits;
#define KAVNO_RECORD_TRAITS(Class, prefix, doc, FIELDS)             \
    template <>                                                     \
    struct record_traits<Class##Object> {                           \
        static constexpr RecordId id = RecordId::Class;             \
    };
KAVNO_RECORDS(KAVNO_RECORD_TRAITS)
#undef KAVNO_RECORD_TRAITS

// Who wrote a field table: the first member of every FieldSpec, in this layout and every one to come, so that a
// producer can read it from any kavno's table before trusting anything else in it.
struct LayoutStamp {
    std::uint32_t magic;   // layout_magic: the table is kavno's
    std::uint16_t layout;  // KAVNO_RECORD_LAYOUT_VERSION of the kavno that built the class
    std::uint8_t major;    // and that kavno's version
    std::uint8_t minor;
    std::uint8_t patch;
};

inline constexpr std::uint32_t layout_magic = 0x6B61766E;  // "kavn"
inline constexpr LayoutStamp this_layout{layout_magic, KAVNO_RECORD_LAYOUT_VERSION, KAVNO_VERSION_MAJOR,
                                         KAVNO_VERSION_MINOR, KAVNO_VERSION_PATCH};

// One field of a record. kavno's record classes point each attribute's getset closure at its FieldSpec, which is
// how a producer finds the layout of the kavno it is talking to.
struct FieldSpec {
    LayoutStamp stamp;
    const char* name;
    FieldKind kind;
    std::size_t offset;
    const char* doc;
    EnumerationId enumeration;  // for FieldKind::Enumeration only
};

// The field tables, one row per field of the list.
#define KAVNO_FIELD_SPEC(R, name, kind, doc, given)                                                            \
    ::kavno::FieldSpec{::kavno::this_layout, #name, ::kavno::FieldKind::kind, offsetof(R##Object, name), doc, \
                       ::kavno::EnumerationId{}},
#define KAVNO_MEMBER_SPEC(R, name, type, doc, given)                                                             \
    ::kavno::FieldSpec{::kavno::this_layout, #name, ::kavno::FieldKind::Enumeration, offsetof(R##Object, name), doc, \
                       ::kavno::enum_traits<::kavno::type>::id},
#define KAVNO_FIELD_TABLE(Class, prefix, doc, FIELDS) \
    inline constexpr FieldSpec prefix##_fields[] = {FIELDS(Class, KAVNO_FIELD_SPEC, KAVNO_MEMBER_SPEC)};
KAVNO_RECORDS(KAVNO_FIELD_TABLE)
#undef KAVNO_FIELD_TABLE
#undef KAVNO_MEMBER_SPEC
#undef KAVNO_FIELD_SPEC

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

#define KAVNO_RECORD_SPEC(Class, prefix, doc, FIELDS)                                                          \
    inline constexpr RecordSpec prefix##_record{"builtins." #Class, doc, sizeof(Class##Object), prefix##_fields, \
                                                std::size(prefix##_fields)};
KAVNO_RECORDS(KAVNO_RECORD_SPEC)
#undef KAVNO_RECORD_SPEC

// Indexed by registration order among the records.
inline constexpr const RecordSpec* records[] = {
#define KAVNO_RECORD_ENTRY(Class, prefix, doc, FIELDS) &prefix##_record,
    KAVNO_RECORDS(KAVNO_RECORD_ENTRY)
#undef KAVNO_RECORD_ENTRY
};

}  // namespace kavno

#pragma GCC visibility pop

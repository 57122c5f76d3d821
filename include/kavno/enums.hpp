// The seven enumerations, each described once in KAVNO_ENUMERATIONS: its class name, its docstring and its
// members in value order. That one list generates the native enum types (one unsigned byte, a member's
// position counted from 0), their member names and counts, and the enumeration ids; kavno builds its classes
// from the same list, so a member added here is a member in Python.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>

// ENUMERATION(Class, "docstring", MEMBER(First) MEMBER(Second) ...), in registration order.
#define KAVNO_ENUMERATIONS(ENUMERATION, MEMBER)                                                          \
    ENUMERATION(RunMode, "运行模式", MEMBER(Backtest) MEMBER(Simulation) MEMBER(Live))                   \
    ENUMERATION(TradeKind, "交易品种", MEMBER(Spot) MEMBER(Future))                                      \
    ENUMERATION(TradeType, "交易类型", MEMBER(Limit) MEMBER(Market))                                     \
    ENUMERATION(TradeSide, "交易方向", MEMBER(Long) MEMBER(Short))                                       \
    ENUMERATION(OrderStatus, "订单状态",                                                                 \
                MEMBER(Created) MEMBER(Submitted) MEMBER(PartialFilled) MEMBER(Filled) MEMBER(Canceled)  \
                    MEMBER(Rejected))                                                                    \
    ENUMERATION(CandleInterval, "K线周期", MEMBER(Min1) MEMBER(Min5) MEMBER(Min15) MEMBER(Hour1) MEMBER(Day1)) \
    ENUMERATION(EventType, "事件类型",                                                                   \
                MEMBER(Initialize) MEMBER(Start) MEMBER(Stop) MEMBER(Daily) MEMBER(Hourly) MEMBER(Minutely) \
                    MEMBER(Secondly) MEMBER(Tick) MEMBER(QuoteChange) MEMBER(AccountChange)              \
                        MEMBER(PositionChange) MEMBER(OrderChange))

#pragma GCC visibility push(hidden)  // one copy per binary (producer.hpp says why)

namespace kavno {

#define KAVNO_MEMBER_ENUMERATOR(member) member,
#define KAVNO_MEMBER_NAME(member) #member,
#define KAVNO_MEMBER_ONE(member) +1
#define KAVNO_ENUMERATION_ID(name, doc, members) name,
#define KAVNO_DECLARE_ENUMERATION(name, doc, members) \
    enum class name : std::uint8_t { members };

KAVNO_ENUMERATIONS(KAVNO_DECLARE_ENUMERATION, KAVNO_MEMBER_ENUMERATOR)

// Which enumeration: their positions in registration order.
enum class EnumerationId : std::uint8_t { KAVNO_ENUMERATIONS(KAVNO_ENUMERATION_ID, KAVNO_MEMBER_NAME) };
using EnumClass = EnumerationId;  // its name before 0.3, kept for producers written against it

// What the list says of one enumeration, for code that works on any of them.
struct EnumerationDescription {
    const char* name;
    const char* doc;
    const char* const* members;
    std::uint8_t member_count;
};

namespace enum_detail {
#define KAVNO_MEMBER_NAMES(name, doc, members) inline constexpr const char* name##_members[] = {members};
KAVNO_ENUMERATIONS(KAVNO_MEMBER_NAMES, KAVNO_MEMBER_NAME)
#undef KAVNO_MEMBER_NAMES
}  // namespace enum_detail

// Indexed by EnumerationId.
inline constexpr EnumerationDescription enumerations[] = {
#define KAVNO_DESCRIBE(name, doc, members) \
    {#name, doc, enum_detail::name##_members, static_cast<std::uint8_t>(0 members)},
    KAVNO_ENUMERATIONS(KAVNO_DESCRIBE, KAVNO_MEMBER_ONE)
#undef KAVNO_DESCRIBE
};
inline constexpr std::size_t enumeration_count = std::size(enumerations);

// The native type's place in the list (defined for the seven enum types only).
template <class E>
struct enum_traits;
#define KAVNO_TRAITS(name, doc, members)                  \
    template <>                                           \
    struct enum_traits<name> {                            \
        static constexpr EnumerationId id = EnumerationId::name;  \
    };
KAVNO_ENUMERATIONS(KAVNO_TRAITS, KAVNO_MEMBER_NAME)
#undef KAVNO_TRAITS

// How many members each enumeration has: values are 0 to member_count - 1.
template <class E>
inline constexpr std::uint8_t member_count = enumerations[static_cast<std::size_t>(enum_traits<E>::id)].member_count;

template <class E>
constexpr bool is_member(E value) noexcept {
    return static_cast<std::uint8_t>(value) < member_count<E>;
}

// How long each CandleInterval is, in milliseconds (Min1 is 60000, Day1 86400000): a bar's close_time is its
// open_time plus this, less a millisecond.
constexpr std::int64_t interval_milliseconds(CandleInterval interval) noexcept {
    constexpr std::int64_t lengths[] = {60'000, 300'000, 900'000, 3'600'000, 86'400'000};
    static_assert(std::size(lengths) == member_count<CandleInterval>);
    return lengths[static_cast<std::size_t>(interval)];
}

#undef KAVNO_DECLARE_ENUMERATION
#undef KAVNO_ENUMERATION_ID
#undef KAVNO_MEMBER_ONE
#undef KAVNO_MEMBER_NAME
#undef KAVNO_MEMBER_ENUMERATOR

static_assert(member_count<EventType> == 12 && static_cast<int>(EventType::OrderChange) == 11);
static_assert(enumeration_count == 7);

}  // namespace kavno

#pragma GCC visibility pop

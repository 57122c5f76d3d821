// The seven enumerations as native values: one unsigned byte, a member's position in its class counted from 0.
#pragma once

#include <cstdint>

namespace kavno {

enum class RunMode : std::uint8_t { Backtest, Simulation, Live };
enum class TradeKind : std::uint8_t { Spot, Future };
enum class TradeType : std::uint8_t { Limit, Market };
enum class TradeSide : std::uint8_t { Long, Short };
enum class OrderStatus : std::uint8_t { Created, Submitted, PartialFilled, Filled, Canceled, Rejected };
enum class CandleInterval : std::uint8_t { Min1, Min5, Min15, Hour1, Day1 };
enum class EventType : std::uint8_t {
    Initialize, Start, Stop, Daily, Hourly, Minutely, Secondly, Tick,
    QuoteChange, AccountChange, PositionChange, OrderChange,
};

// How many members each enumeration has: values are 0 to member_count - 1.
template <class E>
inline constexpr std::uint8_t member_count = 0;
template <> inline constexpr std::uint8_t member_count<RunMode> = 3;
template <> inline constexpr std::uint8_t member_count<TradeKind> = 2;
template <> inline constexpr std::uint8_t member_count<TradeType> = 2;
template <> inline constexpr std::uint8_t member_count<TradeSide> = 2;
template <> inline constexpr std::uint8_t member_count<OrderStatus> = 6;
template <> inline constexpr std::uint8_t member_count<CandleInterval> = 5;
template <> inline constexpr std::uint8_t member_count<EventType> = 12;

template <class E>
constexpr bool is_member(E value) noexcept {
    return static_cast<std::uint8_t>(value) < member_count<E>;
}

}  // namespace kavno

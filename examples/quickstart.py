"""A short tour of kavno for a newcomer: python examples/quickstart.py"""

import datetime as dt

import kavno
from kavno import (CandleInterval, OrderStatus, TradeSide, date_to_str, ms_to_date, now_date, now_ms, safe_float,
                   str_to_date, truncate_to_day)

print("kavno exports:", ", ".join(kavno.__all__))

print("\n# Enumerations: closed sets of members, equal to their integer values")
print(f"  {OrderStatus.Filled!r} is int {int(OrderStatus.Filled)}; OrderStatus.Filled == 3 -> {OrderStatus.Filled == 3}")
print(f"  TradeSide.Long == TradeSide.Short -> {TradeSide.Long == TradeSide.Short}; "
      f"CandleInterval.Day1 == 4 -> {CandleInterval.Day1 == 4}")
try:
    hash(TradeSide.Long)
except TypeError as error:
    print(f"  members are unhashable: {error}")

print("\n# Dates: RFC 3339 text in, UTC datetime out, and back")
moment = str_to_date("2024-03-15T10:30:00.250+08:00")
print(f"  str_to_date('2024-03-15T10:30:00.250+08:00') -> {moment!r}")
print(f"  date_to_str(...)      -> {date_to_str(moment)}")
print(f"  truncate_to_day(...)  -> {truncate_to_day(moment)}")
print(f"  ms_to_date(-1)        -> {ms_to_date(-1)}")
print(f"  now_ms() = {now_ms()}, now_date() = {date_to_str(now_date())}")
try:
    str_to_date("2024-03-15")
except RuntimeError as error:
    print(f"  str_to_date('2024-03-15') raises RuntimeError: {error}")
try:
    date_to_str(dt.datetime(2024, 1, 1, tzinfo=dt.timezone(dt.timedelta(hours=8))))
except ValueError as error:
    print(f"  a datetime in another zone raises ValueError: {error}")

print("\n# safe_float: rounds what repr() shows, half away from zero")
for value, decimals in ((2.675, 2), (1.005, 2), (0.1 + 0.2, 2), (-1.5, 0)):
    print(f"  safe_float({value!r}, {decimals}) = {safe_float(value, decimals)!r}   (round gives {round(value, decimals)!r})")

print("\n# Records (Pair, Candle, Order, Position) are made by the native engine, never from Python:")
try:
    kavno.Candle()
except TypeError as error:
    print(f"  kavno.Candle() raises TypeError: {error}")
print("  see examples/host.cpp, which `make demo` runs next")

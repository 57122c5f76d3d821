// A CandleSeries handed out through the Arrow PyCapsule interface: a struct of kavno's columns (open_time and
// close_time as UTC timestamps in milliseconds, the prices, volume and amount as float64, trades as int64) with the
// series' code, interval and kind in the schema's metadata. Columns the series holds in that layout are handed out
// where they lie (the series' source stays alive as long as any exported array needs it); the others are made.
#pragma once

#include "columns.hpp"

#include <Python.h>

#include <memory>
#include <string>
#include <vector>

namespace feed {

// The rows of a series: item i is table row rows[start + i * step] (or start + i * step without `rows`).
struct SeriesRows {
    std::shared_ptr<const Table> table;
    std::shared_ptr<const std::vector<std::int64_t>> rows;
    std::string code;
    kavno::CandleInterval interval{};
    kavno::TradeKind kind{};
    std::int64_t start = 0, length = 0, step = 1;
};

// The capsules of __arrow_c_schema__ and __arrow_c_stream__ (null with the exception set).
PyObject* export_schema(const SeriesRows& series);
PyObject* export_stream(const SeriesRows& series);

}  // namespace feed

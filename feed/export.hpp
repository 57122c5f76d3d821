// A CandleSeries handed out through the Arrow PyCapsule interface: a struct of kavno's columns (open_time and
// close_time as UTC timestamps in milliseconds, the prices, volume and amount as float64, trades as int64) with the
// series' code, interval and kind in the schema's metadata. Columns the series holds in that layout are handed out
// where they lie (the series' source stays alive as long as any exported array needs it); the others are made.
#pragma once

#include "columns.hpp"

#include <Python.h>

#include <cstdlib>
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

// The pieces every export is made of. Each structure owns what it points at through its private data.
struct Free {
    void operator()(void* memory) const noexcept { std::free(memory); }
};
using Memory = std::unique_ptr<std::byte, Free>;
Memory allocate(std::size_t bytes, bool zeroed);  // throws std::bad_alloc

struct SchemaData {
    std::string format, name, metadata;
    std::vector<ArrowSchema> children_storage;
    std::vector<ArrowSchema*> children;
    std::unique_ptr<ArrowSchema> dictionary;
};
SchemaData* fill_schema(ArrowSchema& out, std::string format, std::string name, std::string metadata,
                        std::size_t children);
void release_schema(ArrowSchema* schema);

struct ArrayData {
    std::shared_ptr<const void> keep;  // what borrowed buffers point into
    std::vector<Memory> owned;
    std::vector<const void*> buffers;
    std::vector<ArrowArray> children_storage;
    std::vector<ArrowArray*> children;
    std::unique_ptr<ArrowArray> dictionary;
};
ArrayData* fill_array(ArrowArray& out, std::int64_t length, std::size_t buffers, std::size_t children);
void release_array(ArrowArray* array);

// The capsule of a schema that `fill` makes; the capsule releases it if no consumer takes it.
PyObject* schema_capsule(void (*fill)(ArrowSchema&, const void*), const void* source);

// The capsule of a stream over `data` (made with new, owned from here on), whose `schema(ArrowSchema&)` and
// `next(ArrowArray&)` (which ends the stream with a released array) make what the stream gives. A callback that runs
// out of memory fails with ENOMEM and says so; the release, from any thread, takes the GIL to drop the data.
struct StreamSource {
    virtual ~StreamSource() = default;
    virtual void schema(ArrowSchema& out) = 0;
    virtual void next(ArrowArray& out) = 0;
    std::string error;
};
PyObject* stream_capsule(StreamSource* data);

// Whether the arguments of an __arrow_c_stream__ call are at most its one, requested_schema (TypeError if not).
// The schema asked for is not honoured: the interface allows a producer that does not cast.
bool takes_requested_schema(Py_ssize_t nargs, PyObject* kwnames);

}  // namespace feed

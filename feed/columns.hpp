// Where a CandleSeries reads its candles from: the Arrow arrays a Python library exported (a table, a record batch,
// a stream of them), one-dimensional buffers (NumPy arrays), or the bars of a CSV file. Arrow columns are read
// where they lie; writable buffers are copied, so that no one can change a series' bars after they were checked.
#pragma once

#include "arguments.hpp"
#include "reader.hpp"

#include "bars/csv.hpp"

#include <Python.h>

#include <memory>
#include <vector>

namespace feed {

// What a series reads from, shared by a series and its slices. It owns the Arrow arrays it moved out of their
// capsules, the buffer views it took and the memory it filled, and releases each exactly once when the last
// series goes (with the GIL held: it lives in Python objects).
class Table : public Columns {
public:
    Table() = default;
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;
    ~Table();

    std::vector<ArrowArray> arrays;
    std::vector<Py_buffer> buffers;
    std::vector<std::unique_ptr<std::byte[]>> copies;
    std::vector<bars::CsvBar> csv;
};

// Reads `data` (anything with __arrow_c_stream__ or __arrow_c_array__, a mapping of column names to buffers, or
// the path of a CSV file of bars) for the columns `request` names, with their layout checked; with `groups`, also
// splits the rows by the request's key column. Null with the exception set. The rows are checked by the caller.
std::shared_ptr<Table> read_table(PyObject* data, const Request& request, Groups* groups);

// Raises a refusal of the reader (false).
bool raise(const Problem& problem);

// Fetches collections.abc.Mapping and os.PathLike, which read_table asks about, once at import.
bool load_mapping_abc();

}  // namespace feed

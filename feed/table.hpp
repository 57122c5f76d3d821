// kavno_feed.table(records): records' fields as Arrow columns, for DataFrames and reports.
#pragma once

#include <Python.h>

namespace feed {

// Creates RecordTable and adds it to the module.
bool add_table_type(PyObject* module);

// table(records, /): a RecordTable over an iterable of records of one class.
PyObject* table(PyObject* module, PyObject* records);

}  // namespace feed

// kavno_feed's factories, one record from keyword arguments each (METH_FASTCALL | METH_KEYWORDS entries).
#pragma once

#include "arguments.hpp"

#include <Python.h>

#include <vector>

namespace feed {

PyObject* make_pair(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* make_candle(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* make_order(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* make_position(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// fields(record): a dict of the record's fields in their order; same(a, b): whether two records hold the same values.
PyObject* fields(PyObject* module, PyObject* record);
PyObject* same(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// The factories' signatures, made from the records' fields, with what their docstrings say after the signature.
std::vector<Signed> factory_signatures();

}  // namespace feed

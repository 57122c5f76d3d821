// CandleSeries and candles(), the columnar feed of kavno_feed.
#pragma once

#include "arguments.hpp"

#include <Python.h>

namespace feed {

// Creates CandleSeries and its iterator type, adds CandleSeries to the module and registers it as a
// collections.abc.Sequence.
bool add_series_types(PyObject* module);

// candles(data, /, *, code, interval, kind=None, time_unit=None, columns=None, check_high_low=None): a CandleSeries over the columns of `data`.
PyObject* candles(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// candles_by(data, /, *, by, interval, ...): a dict from each value of the column `by` to its CandleSeries.
PyObject* candles_by(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// _series(columns, code, interval, kind): what unpickles a series.
PyObject* rebuild_series(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// The signatures of candles() and candles_by(), with what their docstrings say after the signature.
extern const Signed candles_signed, candles_by_signed;

}  // namespace feed

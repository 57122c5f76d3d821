// examples/engine.cpp: the complete producer of the README, an extension module `engine` that hands a candle to
// Python. The README shows it and builds it; a test checks that the two stay the same.
#include <kavno/producer.hpp>

static PyObject* latest_candle(PyObject*, PyObject*) {
    return kavno::make_candle({
        .kind = kavno::TradeKind::Spot,
        .code = "BTCUSDT",
        .interval = kavno::CandleInterval::Min1,
        .open_time = kavno::Milliseconds{1'710'498'600'000},
        .close_time = kavno::UtcDateTime{2024, 3, 15, 10, 30, 59, 999'000'000},
        .open = 71'000.0, .high = 71'250.5, .low = 70'990.0, .close = 71'200.0,
        .volume = 12.5, .amount = 889'000.0, .trades = 1'204,
    });
}

static PyMethodDef methods[] = {
    {"latest_candle", latest_candle, METH_NOARGS, "The latest one-minute bar."},
    {nullptr, nullptr, 0, nullptr},
};

static PyModuleDef definition = {PyModuleDef_HEAD_INIT, "engine", nullptr, -1, methods};

PyMODINIT_FUNC PyInit_engine() {
    PyObject* module = PyModule_Create(&definition);
#ifdef Py_GIL_DISABLED
    // The producer API is safe without the GIL, so this module declares that it is too.
    if (module != nullptr && PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0) Py_CLEAR(module);
#endif
    return module;
}

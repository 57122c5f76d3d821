/* _kavno_floors: the least that each kind of kavno entry can cost, as plain C calls with the same calling
 * convention and the same kind of result, and the callgrind client requests that let benchmarks/ir.py count the
 * instructions of one loop inside a running interpreter. Built beside the test extension, never shipped. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <datetime.h>
#include <string.h>
#include <time.h>
#include <valgrind/callgrind.h>

/* A call through METH_FASTCALL | METH_KEYWORDS that does nothing. */
static PyObject *noop(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    Py_RETURN_NONE;
}

/* The same call, returning a new aware datetime in UTC made by the datetime C API's constructor. */
static PyObject *utc_datetime(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return PyDateTimeAPI->DateTime_FromDateAndTimeAndFold(2024, 3, 15, 10, 30, 0, 0, PyDateTimeAPI->TimeZone_UTC, 0,
                                                          PyDateTimeAPI->DateTimeType);
}

static PyObject *ascii_text(const char *text, Py_ssize_t size) {
    PyObject *result = PyUnicode_New(size, 127);
    if (result != NULL) memcpy(PyUnicode_DATA(result), text, (size_t)size);
    return result;
}

/* The same call, returning a new 25- or 32-character ASCII str (the two lengths date_to_str gives). */
static PyObject *str25(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return ascii_text("2024-01-02T03:04:05+00:00", 25);
}

static PyObject *str32(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return ascii_text("2024-01-02T03:04:05.123456+00:00", 32);
}

/* The same call, returning a new float. */
static PyObject *new_float(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) {
    return PyFloat_FromDouble(2.68);
}

/* A call without arguments that reads the real-time clock and returns an int. */
static PyObject *clock_int(PyObject *self, PyObject *unused) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return PyLong_FromLongLong((long long)now.tv_sec * 1000 + now.tv_nsec / 1000000);
}

/* A call without arguments that reads the real-time clock and returns a datetime (fields fixed). */
static PyObject *clock_datetime(PyObject *self, PyObject *unused) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return PyDateTimeAPI->DateTime_FromDateAndTimeAndFold(2024, 3, 15, 10, 30, 0, (int)(now.tv_nsec / 1000000000),
                                                          PyDateTimeAPI->TimeZone_UTC, 0, PyDateTimeAPI->DateTimeType);
}

static PyObject *callgrind_zero(PyObject *self, PyObject *unused) {
    CALLGRIND_ZERO_STATS;
    Py_RETURN_NONE;
}

static PyObject *callgrind_dump(PyObject *self, PyObject *unused) {
    CALLGRIND_DUMP_STATS;
    Py_RETURN_NONE;
}

static PyObject *running_on_valgrind(PyObject *self, PyObject *unused) {
    return PyBool_FromLong(RUNNING_ON_VALGRIND);
}

#define FASTCALL(name) {#name, (PyCFunction)(void (*)(void))name, METH_FASTCALL | METH_KEYWORDS, NULL}

static PyMethodDef methods[] = {
    FASTCALL(noop),
    FASTCALL(utc_datetime),
    FASTCALL(str25),
    FASTCALL(str32),
    FASTCALL(new_float),
    {"clock_int", clock_int, METH_NOARGS, NULL},
    {"clock_datetime", clock_datetime, METH_NOARGS, NULL},
    {"callgrind_zero", callgrind_zero, METH_NOARGS, NULL},
    {"callgrind_dump", callgrind_dump, METH_NOARGS, NULL},
    {"running_on_valgrind", running_on_valgrind, METH_NOARGS, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef definition = {PyModuleDef_HEAD_INIT, "_kavno_floors",
                                        "The cost floors of kavno's entries, for the benchmarks.", -1, methods,
                                        NULL, NULL, NULL, NULL};

PyMODINIT_FUNC PyInit__kavno_floors(void) {
    PyDateTime_IMPORT;
    if (PyDateTimeAPI == NULL) return NULL;
    PyObject* module = PyModule_Create(&definition);
#ifdef Py_GIL_DISABLED
    if (module != NULL && PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED) < 0) Py_CLEAR(module);
#endif
    return module;
}

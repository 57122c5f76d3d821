// Guards for the little state kavno shares between threads: what is built once per process (the module, the classes,
// the datetime handle) and what one object holds that several threads may step together (an iterator's position).
// With the GIL, the GIL already serialises every writer, and a lock of kavno's own could only deadlock against it (a
// thread waiting for it would hold the GIL the owner needs back), so both guards are nothing there. Without the GIL
// the lock is a PyMutex, which lets go of the thread's state while it waits, and the object guard is the
// interpreter's per-object critical section.
#pragma once

#include <Python.h>

#include "pure/fatal.hpp"

namespace kavno {

class OnceLock {
public:
#ifdef Py_GIL_DISABLED
    void lock() noexcept { PyMutex_Lock(&mutex_); }
    void unlock() noexcept { PyMutex_Unlock(&mutex_); }

private:
    PyMutex mutex_{};
#else
    void lock() noexcept {}
    void unlock() noexcept {}
#endif
};

// A lock that may be held across calls that run Python code (an import): a thread that has to wait for it lets go
// of the GIL, or without one of its thread state, until it is free, so that the holder can finish. A PyMutex does
// that from 3.13 on; 3.12 has a thread lock, taken without the GIL when it is contended.
class BlockingLock {
public:
#if PY_VERSION_HEX >= 0x030D0000
    void lock() noexcept { PyMutex_Lock(&mutex_); }
    void unlock() noexcept { PyMutex_Unlock(&mutex_); }

private:
    PyMutex mutex_{};
#else
    void lock() noexcept {
        if (lock_ == nullptr) lock_ = PyThread_allocate_lock();  // under the GIL, which 3.12 always has
        if (lock_ == nullptr) fatal("could not allocate a thread lock");
        if (PyThread_acquire_lock(lock_, NOWAIT_LOCK)) return;
        Py_BEGIN_ALLOW_THREADS
        PyThread_acquire_lock(lock_, WAIT_LOCK);
        Py_END_ALLOW_THREADS
    }
    void unlock() noexcept { PyThread_release_lock(lock_); }

private:
    PyThread_type_lock lock_ = nullptr;  // never freed: it guards state kept for the process
#endif
};

}  // namespace kavno

// Py_BEGIN_CRITICAL_SECTION(object) ... Py_END_CRITICAL_SECTION(): CPython's own from 3.13 on (nothing with the GIL),
// and nothing on 3.12, which always has the GIL.
#ifndef Py_BEGIN_CRITICAL_SECTION
#define Py_BEGIN_CRITICAL_SECTION(object) {
#define Py_END_CRITICAL_SECTION() }
#endif

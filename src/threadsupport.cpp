// Where a callback finds the thread state to re-enter the interpreter with,
// the re-entry itself, and the data locks a CurlShare hands to libcurl.
#include "tovrel.h"

PyThreadState **tovrel_get_thread_state_slot(CurlObject *self)
{
    if (self == nullptr)
        return nullptr;
    assert(PyObject_TypeCheck(self, p_Curl_Type));
    CurlMultiObject *multi = self->multi_stack;
    if (self->state != nullptr) {
        assert(self->handle != nullptr);
        assert(multi == nullptr || multi->state == nullptr);
        return &self->state;
    }
    if (multi != nullptr && multi->state != nullptr) {
        assert(self->handle != nullptr && multi->multi_handle != nullptr);
        return &multi->state;
    }
    return nullptr;
}

PyThreadState *tovrel_get_thread_state(CurlObject *self)
{
    PyThreadState **slot = tovrel_get_thread_state_slot(self);
    return slot ? *slot : nullptr;
}

PyThreadState **tovrel_get_thread_state_slot_multi(CurlMultiObject *self)
{
    assert(PyObject_TypeCheck(self, p_CurlMulti_Type));
    if (self->state == nullptr)
        return nullptr;
    assert(self->multi_handle != nullptr);
    return &self->state;
}

int tovrel_python_enter(PyThreadState **slot)
{
    if (slot == nullptr || *slot == nullptr)
        return 0;
    PyEval_RestoreThread(*slot);
    return 1;
}

void tovrel_python_leave(PyThreadState **slot)
{
    if (slot == nullptr || *slot == nullptr)
        Py_FatalError("tovrel_python_leave: NULL thread state slot");
    if (PyThreadState_GetUnchecked() != *slot)
        Py_FatalError("tovrel_python_leave: attached thread state differs from slot");
    PyEval_SaveThread();
}

int check_pending_python_exception_or_signal()
{
    if (PyErr_Occurred())
        return -1;
    return PyErr_CheckSignals() < 0 ? -1 : 0;
}

// ---------------------------------------------------------------------------
// Share data locks.  libcurl takes them from whatever thread runs a transfer,
// with or without the interpreter lock, so they are plain PyMutex cells that
// need no thread state.  Every lock is exclusive, whatever access is asked.

PyMutex *share_lock_new()
{
    auto *lock = static_cast<PyMutex *>(PyMem_Calloc(CURL_LOCK_DATA_LAST, sizeof(PyMutex)));
    if (lock == nullptr)
        PyErr_NoMemory();
    return lock;
}

void share_lock_destroy(PyMutex *lock)
{
    assert(lock != nullptr);
    PyMem_Free(lock);
}

void share_lock_lock(PyMutex *lock, curl_lock_data data)
{
    if (data >= 0 && data < CURL_LOCK_DATA_LAST)
        PyMutex_Lock(&lock[data]);
}

void share_lock_unlock(PyMutex *lock, curl_lock_data data)
{
    if (data >= 0 && data < CURL_LOCK_DATA_LAST)
        PyMutex_Unlock(&lock[data]);
}

void share_lock_callback(CURL *, curl_lock_data data, curl_lock_access, void *userptr)
{
    share_lock_lock(static_cast<CurlShareObject *>(userptr)->lock, data);
}

void share_unlock_callback(CURL *, curl_lock_data data, void *userptr)
{
    share_lock_unlock(static_cast<CurlShareObject *>(userptr)->lock, data);
}

// No TLS library needs process-wide set-up from the module.
int tovrel_ssl_init()
{
    return 0;
}

void tovrel_ssl_cleanup() {}

// Ownership and lock helpers for the C API.
//
// Rules of use
// ------------
// * A function that returns a new reference returns `Ref`.  Whoever holds the
//   `Ref` owns the reference; it is released when the `Ref` goes out of scope,
//   so an early `return nullptr` on an error path leaks nothing.
// * A parameter spelled `PyObject *` (or `SomeObject *`) is borrowed: the
//   callee neither releases it nor keeps it past the call without taking its
//   own reference (`Ref::newref`).
// * A function that returns a borrowed pointer says so in its name or comment
//   (`PyListOrTuple_GetItem` ... "borrowed"); the caller must not release it.
// * `Ref::steal(p)` adopts a reference the C API just handed us (most
//   `Py*_New*` and `Py*_From*` results); `Ref::newref(p)` takes a new one.
// * `release()` gives the reference away: to a C API call that steals it
//   (`PyTuple_SET_ITEM`), to a struct field that owns it, or to the
//   interpreter as a function's result.
// * Owned struct fields stay plain pointers (the interpreter's traverse and
//   clear hooks want them so).  They are dropped with `Py_CLEAR`, which nulls
//   the field before the reference goes, so no code reached from a destructor
//   can see a dangling field.
//
// Guards
// ------
// * `ReleasedLock` saves the thread state into a slot (releasing the
//   interpreter lock) and restores it on scope exit; libcurl callbacks made
//   meanwhile re-enter the interpreter through that slot.
// * `CallbackEntry` (tovrel.h) is the other half: a trampoline's re-entry
//   through a slot.
// * `GilStateHold` takes the interpreter lock through the per-thread API,
//   for callbacks that may run on a thread no slot records.
// * `BufferView` holds a `Py_buffer` and releases it on scope exit.
// * `MutexHold` holds a `PyMutex`.
//
// Nothing here throws; the module is built without C++ exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

class Ref {
public:
    Ref() = default;
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept
    {
        if (this != &other) {
            PyObject *old = obj_;
            obj_ = other.obj_;
            other.obj_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    // Adopt a new reference (which may be null after a failed call).
    static Ref steal(PyObject *obj) { return Ref(obj); }
    // Take a new reference to a borrowed object.
    static Ref newref(PyObject *obj) { return Ref(Py_XNewRef(obj)); }

    PyObject *get() const { return obj_; }
    explicit operator bool() const { return obj_ != nullptr; }

    // Hand the reference over; this Ref becomes empty.
    [[nodiscard]] PyObject *release()
    {
        PyObject *obj = obj_;
        obj_ = nullptr;
        return obj;
    }

    void reset() { Py_CLEAR(obj_); }

private:
    explicit Ref(PyObject *obj) : obj_(obj) {}
    PyObject *obj_ = nullptr;
};

// Release the interpreter lock for the lifetime of the guard, keeping the
// saved thread state in `*slot` so that callbacks can re-enter through it.
// The slot must be empty on entry; it is emptied again on exit.
class ReleasedLock {
public:
    explicit ReleasedLock(PyThreadState **slot) : slot_(slot)
    {
        assert(*slot_ == nullptr);
        *slot_ = PyEval_SaveThread();
        assert(*slot_ != nullptr);
    }
    ReleasedLock(const ReleasedLock &) = delete;
    ReleasedLock &operator=(const ReleasedLock &) = delete;
    ~ReleasedLock()
    {
        PyThreadState *saved = *slot_;
        assert(saved != nullptr);
        PyEval_RestoreThread(saved);
        *slot_ = nullptr;
    }

private:
    PyThreadState **slot_;
};

// The same hand-off for calls that are also admitted from inside a
// callback of the transfer that owns the slot: the slot then already holds
// this thread's state, and gets that value back on exit.
class ReleasedLockReentrant {
public:
    explicit ReleasedLockReentrant(PyThreadState **slot) : slot_(slot), previous_(*slot)
    {
        *slot_ = PyEval_SaveThread();
        assert(previous_ == nullptr || previous_ == *slot_);
    }
    ReleasedLockReentrant(const ReleasedLockReentrant &) = delete;
    ReleasedLockReentrant &operator=(const ReleasedLockReentrant &) = delete;
    ~ReleasedLockReentrant()
    {
        PyEval_RestoreThread(*slot_);
        *slot_ = previous_;
    }

private:
    PyThreadState **slot_;
    PyThreadState *previous_;
};

// The interpreter lock taken with PyGILState_Ensure for the guard's
// lifetime.  Works whether this thread holds the lock already or saved its
// state before calling into libcurl.
class GilStateHold {
public:
    GilStateHold() : state_(PyGILState_Ensure()) {}
    GilStateHold(const GilStateHold &) = delete;
    GilStateHold &operator=(const GilStateHold &) = delete;
    ~GilStateHold() { PyGILState_Release(state_); }

private:
    PyGILState_STATE state_;
};

// A borrowed view of an object's buffer, released on scope exit.
class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView &) = delete;
    BufferView &operator=(const BufferView &) = delete;
    ~BufferView()
    {
        if (held_)
            PyBuffer_Release(&view_);
    }

    // 0 on success, -1 with an exception set.
    int acquire(PyObject *obj, int flags)
    {
        assert(!held_);
        if (PyObject_GetBuffer(obj, &view_, flags) < 0)
            return -1;
        held_ = true;
        return 0;
    }

    // For argument parsing ("y*", "w*"): parse into view(), then adopt().
    Py_buffer *view() { return &view_; }
    void adopt() { held_ = true; }
    void *buf() const { return view_.buf; }
    Py_ssize_t len() const { return view_.len; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// A bytes object being filled in place; discarded unless finished.
class BytesWriter {
public:
    explicit BytesWriter(Py_ssize_t size) : writer_(PyBytesWriter_Create(size)) {}
    BytesWriter(const BytesWriter &) = delete;
    BytesWriter &operator=(const BytesWriter &) = delete;
    ~BytesWriter()
    {
        if (writer_ != nullptr)
            PyBytesWriter_Discard(writer_);
    }

    explicit operator bool() const { return writer_ != nullptr; }
    char *data() { return static_cast<char *>(PyBytesWriter_GetData(writer_)); }

    // The bytes object, cut to `size`.
    Ref finish(Py_ssize_t size)
    {
        PyBytesWriter *writer = writer_;
        writer_ = nullptr;
        return Ref::steal(PyBytesWriter_FinishWithSize(writer, size));
    }

private:
    PyBytesWriter *writer_;
};

// A zeroed array from the interpreter's allocator, freed on scope exit.
template <typename T>
class MemoryBlock {
public:
    explicit MemoryBlock(size_t count) : data_(static_cast<T *>(PyMem_Calloc(count, sizeof(T)))) {}
    MemoryBlock(const MemoryBlock &) = delete;
    MemoryBlock &operator=(const MemoryBlock &) = delete;
    ~MemoryBlock() { PyMem_Free(data_); }

    explicit operator bool() const { return data_ != nullptr; }
    T *get() const { return data_; }
    T &operator[](size_t index) const { return data_[index]; }

private:
    T *data_;
};

class MutexHold {
public:
    explicit MutexHold(PyMutex *mutex) : mutex_(mutex) { PyMutex_Lock(mutex_); }
    MutexHold(const MutexHold &) = delete;
    MutexHold &operator=(const MutexHold &) = delete;
    ~MutexHold() { PyMutex_Unlock(mutex_); }

private:
    PyMutex *mutex_;
};

// Keeps the current exception aside while code that must run with no
// exception set (a destructor's clean-up, which may fire callbacks) runs,
// and puts it back afterwards.
class SavedException {
public:
    SavedException() : exc_(PyErr_GetRaisedException()) {}
    SavedException(const SavedException &) = delete;
    SavedException &operator=(const SavedException &) = delete;
    ~SavedException() { PyErr_SetRaisedException(exc_); }

private:
    PyObject *exc_;
};

// Collects the first exception raised by a sequence of steps that must all
// run (closing a handle fires callbacks at several points).  Later ones, and
// one never handed back with restore(), are reported as unraisable rather
// than silently lost.
class FirstException {
public:
    FirstException() = default;
    FirstException(const FirstException &) = delete;
    FirstException &operator=(const FirstException &) = delete;
    ~FirstException()
    {
        if (exc_ == nullptr)
            return;
        // Never raised: report it without disturbing what is set now.
        PyObject *current = PyErr_GetRaisedException();
        PyErr_SetRaisedException(exc_);
        PyErr_FormatUnraisable("Exception ignored while closing");
        PyErr_SetRaisedException(current);
    }

    // Take the pending exception, if any, out of the way.
    void collect()
    {
        if (!PyErr_Occurred())
            return;
        if (exc_ == nullptr) {
            exc_ = PyErr_GetRaisedException();
            return;
        }
        PyErr_FormatUnraisable("Exception ignored after an earlier one while closing");
    }

    // Raise the collected exception again: -1 if there was one, else 0.
    int restore()
    {
        if (exc_ == nullptr)
            return 0;
        PyErr_SetRaisedException(exc_);
        exc_ = nullptr;
        return -1;
    }

private:
    PyObject *exc_ = nullptr;
};

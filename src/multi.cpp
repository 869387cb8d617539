// The CurlMulti type: a libcurl multi stack and the Curl objects on it.
#include "tovrel.h"

#include <poll.h>

#include <algorithm>
#include <climits>

namespace {

CurlMultiObject *as_multi(PyObject *op)
{
    return reinterpret_cast<CurlMultiObject *>(op);
}

void assert_multi_state(CurlMultiObject *self)
{
    assert(PyObject_TypeCheck(self, p_CurlMulti_Type));
    assert(self->state == nullptr || self->multi_handle != nullptr);
    (void)self;
}

int multi_require_state(CurlMultiObject *self, int flags, const char *name)
{
    assert_multi_state(self);
    if ((flags & STATE_NEED_HANDLE) && self->multi_handle == nullptr) {
        PyErr_Format(ErrorObject, "cannot invoke %s() - no multi handle", name);
        return -1;
    }
    if ((flags & STATE_NOT_RUNNING) && self->state != nullptr) {
        PyErr_Format(ErrorObject, "cannot invoke %s() - multi_perform() is currently running", name);
        return -1;
    }
    return 0;
}

int multi_check_membership_change(CurlMultiObject *self, CurlObject *curl)
{
    const char *refusal = nullptr;
    if (self->state != nullptr)
        refusal = "cannot add/remove handle - multi_perform() already running";
    else if (self->multi_handle == nullptr)
        refusal = "cannot add/remove handle - multi-stack is closed";
    else if (curl->state != nullptr)
        refusal = "cannot add/remove handle - perform() of curl object already running";
    else if (curl->multi_stack != nullptr && curl->multi_stack != self)
        refusal = "cannot add/remove handle - curl object already on another multi-stack";
    if (refusal == nullptr)
        return 0;
    PyErr_SetString(ErrorObject, refusal);
    return -1;
}

CURLMcode remove_with_lock_released(CurlMultiObject *self, CurlObject *curl)
{
    ReleasedLock unlocked(&self->state);
    return curl_multi_remove_handle(self->multi_handle, curl->handle);
}

void discard_member(CurlMultiObject *self, CurlObject *curl)
{
    if (self->easy_members != nullptr &&
        PySet_Discard(self->easy_members, reinterpret_cast<PyObject *>(curl)) < 0)
        PyErr_Clear();
}

// ---------------------------------------------------------------------------
// construction and destruction

PyObject *do_multi_new(PyTypeObject *type, PyObject *args, PyObject *kwds)
{
    int close_handles = 0;
    if (type == p_CurlMulti_Type) {
        static const char *keywords[] = {"close_handles", nullptr};
        if (!PyArg_ParseTupleAndKeywords(args, kwds, "|$p:CurlMulti", const_cast<char **>(keywords), &close_handles))
            return nullptr;
    }
    Ref object = Ref::steal(type->tp_alloc(type, 0));
    if (!object)
        return nullptr;
    CurlMultiObject *self = as_multi(object.get());
    self->easy_members = PySet_New(nullptr);
    if (self->easy_members == nullptr)
        return nullptr;
    self->assignments = PyDict_New();
    if (self->assignments == nullptr)
        return nullptr;
    self->multi_handle = curl_multi_init();
    if (self->multi_handle == nullptr) {
        object.reset();
        PyErr_SetString(ErrorObject, "initializing curl-multi failed");
        return nullptr;
    }
    self->close_handles = close_handles;
    return object.release();
}

}  // namespace

int util_multi_detach_easies(CurlMultiObject *self, int close_handles, int ignore_errors)
{
    if (self->easy_members == nullptr)
        return 0;
    Ref members = Ref::steal(PySequence_List(self->easy_members));
    if (!members)
        return -1;
    // An exception a callback leaves during the removals is raised once
    // every member is detached.
    FirstException pending;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(members.get()); ++i) {
        PyObject *member = PyList_GET_ITEM(members.get(), i);
        auto *curl = reinterpret_cast<CurlObject *>(member);
        if (curl->multi_stack != self)
            continue;
        if (self->multi_handle != nullptr && curl->handle != nullptr) {
            remove_with_lock_released(self, curl);
            pending.collect();
        }
        if (curl->multi_stack == self)
            curl->multi_stack = nullptr;
        Py_CLEAR(curl->multi_weakref);
        if (close_handles) {
            Ref result = Ref::steal(PyObject_CallMethod(member, "close", nullptr));
            if (!result) {
                if (!ignore_errors)
                    return -1;
                PyErr_Clear();
            }
        }
    }
    members.reset();
    Py_CLEAR(self->easy_members);
    pending.restore();
    return 0;
}

void util_multi_close(CurlMultiObject *self)
{
    self->state = nullptr;
    if (self->multi_handle == nullptr)
        return;
    {
        ReleasedLock unlocked(&self->state);
        curl_multi_cleanup(self->multi_handle);
    }
    self->multi_handle = nullptr;
    // The pool is gone, and with it every connection that could call these.
    Py_CLEAR(self->closesocket_contexts);
}

namespace {

void release_callables(CurlMultiObject *self)
{
    Py_CLEAR(self->timerfunction);
    Py_CLEAR(self->socketfunction);
    Py_CLEAR(self->notifyfunction);
}

void do_multi_dealloc(PyObject *op)
{
    CurlMultiObject *self = as_multi(op);
    PyObject_GC_UnTrack(op);
    SavedException propagating;
    if (self->weakreflist != nullptr)
        PyObject_ClearWeakRefs(op);
    // libcurl may call the socket callback while members are removed; the
    // callables go first so no Python code is handed the dying stack.
    release_callables(self);
    if (util_multi_detach_easies(self, 0, 1) < 0 || PyErr_Occurred())
        PyErr_FormatUnraisable("Exception ignored while closing a tovrel.CurlMulti object");
    Py_CLEAR(self->dict);
    Py_CLEAR(self->assignments);
    util_multi_close(self);
    PyMem_Free(self->waitfds);
    Py_TYPE(op)->tp_free(op);
}

int do_multi_traverse(PyObject *op, visitproc visit, void *arg)
{
    CurlMultiObject *self = as_multi(op);
    Py_VISIT(self->dict);
    Py_VISIT(self->easy_members);
    Py_VISIT(self->assignments);
    Py_VISIT(self->timerfunction);
    Py_VISIT(self->socketfunction);
    Py_VISIT(self->notifyfunction);
    Py_VISIT(self->closesocket_contexts);
    return 0;
}

int do_multi_clear(PyObject *op)
{
    CurlMultiObject *self = as_multi(op);
    Py_CLEAR(self->dict);
    release_callables(self);
    Py_CLEAR(self->assignments);
    return 0;
}

// ---------------------------------------------------------------------------
// membership

// The one Curl argument of add_handle and remove_handle.
bool curl_argument(PyObject *const *args, Py_ssize_t nargs, const char *format, CurlObject **curl)
{
    if (nargs == 1 && PyObject_TypeCheck(args[0], p_Curl_Type)) {
        *curl = reinterpret_cast<CurlObject *>(args[0]);
        return true;
    }
    return parse_positional(args, nargs, format, p_Curl_Type, curl) != 0;
}

PyObject *do_multi_add_handle(PyObject *op, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    if (!no_keywords(kwnames, "add_handle"))
        return nullptr;
    CurlMultiObject *self = as_multi(op);
    CurlObject *curl;
    if (!curl_argument(args, nargs, "O!:add_handle", &curl))
        return nullptr;
    if (multi_check_membership_change(self, curl) < 0)
        return nullptr;
    if (curl->handle == nullptr) {
        PyErr_SetString(ErrorObject, "curl object already closed");
        return nullptr;
    }
    if (curl->multi_stack == self) {
        PyErr_SetString(ErrorObject, "curl object already on this multi-stack");
        return nullptr;
    }
    // Connections of the member may stay in this stack's pool after it left.
    if (curl_keep_closesocket_context(&self->closesocket_contexts, curl) < 0)
        return nullptr;
    if (PySet_Add(self->easy_members, reinterpret_cast<PyObject *>(curl)) < 0)
        return nullptr;
    CURLMcode code;
    {
        ReleasedLock unlocked(&self->state);
        code = curl_multi_add_handle(self->multi_handle, curl->handle);
    }
    FirstException pending;  // left by the timer callback
    pending.collect();
    if (code != CURLM_OK) {
        discard_member(self, curl);
        if (pending.restore() < 0)
            return nullptr;
        return raise_code_and_text(code, "curl_multi_add_handle() failed due to internal errors");
    }
    PyObject *weakref = PyWeakref_NewRef(op, nullptr);
    if (weakref == nullptr) {
        pending.collect();
        remove_with_lock_released(self, curl);
        pending.collect();
        discard_member(self, curl);
        pending.restore();
        return nullptr;
    }
    Py_XSETREF(curl->multi_weakref, weakref);
    curl->multi_stack = self;
    if (pending.restore() < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *do_multi_remove_handle(PyObject *op, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    if (!no_keywords(kwnames, "remove_handle"))
        return nullptr;
    CurlMultiObject *self = as_multi(op);
    CurlObject *curl;
    if (!curl_argument(args, nargs, "O!:remove_handle", &curl))
        return nullptr;
    if (multi_check_membership_change(self, curl) < 0)
        return nullptr;
    if (curl->handle == nullptr) {
        discard_member(self, curl);
        Py_RETURN_NONE;
    }
    if (curl->multi_stack != self) {
        PyErr_SetString(ErrorObject, "curl object not on this multi-stack");
        return nullptr;
    }
    CURLMcode code = remove_with_lock_released(self, curl);
    FirstException pending;  // left by the socket or timer callback
    pending.collect();
    // A failing timer callback is reported after libcurl has removed the
    // handle; only other codes leave it on the stack.
    if (code != CURLM_OK && code != CURLM_ABORTED_BY_CALLBACK) {
        if (pending.restore() < 0)
            return nullptr;
        return raise_code_and_text(code, "curl_multi_remove_handle() failed due to internal errors");
    }
    // The argument tuple keeps the Curl alive past the set's reference.
    discard_member(self, curl);
    curl->multi_stack = nullptr;
    Py_CLEAR(curl->multi_weakref);
    if (pending.restore() < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *do_multi_close(PyObject *op, PyObject *)
{
    CurlMultiObject *self = as_multi(op);
    if (multi_require_state(self, STATE_NOT_RUNNING, "close") < 0)
        return nullptr;
    if (util_multi_detach_easies(self, self->close_handles, 0) < 0)
        return nullptr;
    FirstException pending;
    pending.collect();
    util_multi_close(self);
    pending.collect();
    // Assigned objects may go only now that libcurl has let go of them.
    if (self->assignments != nullptr)
        PyDict_Clear(self->assignments);
    pending.collect();
    if (pending.restore() < 0)
        return nullptr;
    Py_RETURN_NONE;
}

int do_multi_contains(PyObject *op, PyObject *item)
{
    CurlMultiObject *self = as_multi(op);
    assert_multi_state(self);
    if (!PyObject_TypeCheck(item, p_Curl_Type)) {
        PyErr_SetString(PyExc_TypeError, "__contains__ expects a Curl object");
        return -1;
    }
    if (self->easy_members == nullptr)
        return 0;
    return PySet_Contains(self->easy_members, item);
}

// ---------------------------------------------------------------------------
// driving the stack

// The driving calls: libcurl runs with the lock released and the stack
// marked busy; a callback's pending exception, or a signal handler's, wins
// over libcurl's result.
template <typename Call>
int drive(CurlMultiObject *self, Call &&call, CURLMcode *code)
{
    {
        ReleasedLock unlocked(&self->state);
        *code = call();
    }
    return check_pending_python_exception_or_signal();
}

// (code, running) as the driving calls return it.  Built directly: these
// run once per turn of an application's loop.
PyObject *int_pair(long first, long second)
{
    Ref a = Ref::steal(PyLong_FromLong(first));
    Ref b = a ? Ref::steal(PyLong_FromLong(second)) : Ref();
    if (!b)
        return nullptr;
    return PyTuple_Pack(2, a.get(), b.get());
}

PyObject *running_result(CURLMcode code, int running, const char *failure)
{
    if (code != CURLM_OK && code != CURLM_CALL_MULTI_PERFORM)
        return raise_code_and_text(code, failure);
    return int_pair(code, running);
}

PyObject *do_multi_perform(PyObject *op, PyObject *)
{
    CurlMultiObject *self = as_multi(op);
    if (multi_require_state(self, STATE_NEED_HANDLE | STATE_NOT_RUNNING, "perform") < 0)
        return nullptr;
    int running = -1;
    CURLMcode code;
    if (drive(self, [&] { return curl_multi_perform(self->multi_handle, &running); }, &code) < 0)
        return nullptr;
    return running_result(code, running, "perform failed");
}

PyObject *do_multi_socket_action(PyObject *op, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    if (!no_keywords(kwnames, "socket_action"))
        return nullptr;
    CurlMultiObject *self = as_multi(op);
    PyObject *fd_object;
    int ev_bitmask;
    if (nargs == 2 && exact_int_argument(args[1], &ev_bitmask))
        fd_object = args[0];
    else if (!parse_positional(args, nargs, "Oi:socket_action", &fd_object, &ev_bitmask))
        return nullptr;
    curl_socket_t sock;
    if (PyLong_AsCurlSocket(fd_object, &sock) < 0)
        return nullptr;
    if (multi_require_state(self, STATE_NEED_HANDLE | STATE_NOT_RUNNING, "socket_action") < 0)
        return nullptr;
    int running = -1;
    CURLMcode code;
    if (drive(self, [&] { return curl_multi_socket_action(self->multi_handle, sock, ev_bitmask, &running); },
              &code) < 0)
        return nullptr;
    if (code != CURLM_OK)
        return raise_code_and_text(code, "multi_socket_action failed");
    return int_pair(0, running);
}

PyObject *do_multi_socket_all(PyObject *op, PyObject *)
{
    CurlMultiObject *self = as_multi(op);
    if (PyErr_WarnEx(PyExc_DeprecationWarning, "socket_all is deprecated; use socket_action", 1) < 0)
        return nullptr;
    if (multi_require_state(self, STATE_NEED_HANDLE | STATE_NOT_RUNNING, "socket_all") < 0)
        return nullptr;
    int running = -1;
    CURLMcode code;
    if (drive(self, [&] { return curl_multi_socket_all(self->multi_handle, &running); }, &code) < 0)
        return nullptr;
    return running_result(code, running, "perform failed");
}

// One finished transfer as info_read reports it; -1 with an exception set.
int report_finished(CURLMsg *message, PyObject *succeeded, PyObject *failed)
{
    void *pointer = nullptr;
    CURLcode code = curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &pointer);
    if (code != CURLE_OK || pointer == nullptr) {
        raise_code_and_text(code, "Unable to fetch curl handle from curl object");
        return -1;
    }
    auto *curl = static_cast<CurlObject *>(pointer);
    assert(PyObject_TypeCheck(curl, p_Curl_Type));
    CURLcode result = message->data.result;
    if (result == CURLE_OK)
        return PyList_Append(succeeded, reinterpret_cast<PyObject *>(curl));
    curl->error[CURL_ERROR_SIZE] = '\0';
    Ref failure = Ref::steal(Py_BuildValue("(OiN)", curl, static_cast<int>(result),
                                           PyUnicode_DecodeLocale(curl->error, "surrogateescape")));
    if (!failure)
        return -1;
    return PyList_Append(failed, failure.get());
}

PyObject *do_multi_info_read(PyObject *op, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    if (!no_keywords(kwnames, "info_read"))
        return nullptr;
    CurlMultiObject *self = as_multi(op);
    int max_objects = INT_MAX;
    if (!(nargs == 0 || (nargs == 1 && exact_int_argument(args[0], &max_objects))) &&
        !parse_positional(args, nargs, "|i:info_read", &max_objects))
        return nullptr;
    if (max_objects <= 0) {
        PyErr_SetString(ErrorObject, "argument to info_read must be greater than zero");
        return nullptr;
    }
    if (multi_require_state(self, STATE_NEED_HANDLE, "info_read") < 0)
        return nullptr;
    Ref succeeded = Ref::steal(PyList_New(0));
    Ref failed = Ref::steal(PyList_New(0));
    if (!succeeded || !failed)
        return nullptr;
    int queued = 0;
    for (int i = 0; i < max_objects; ++i) {
        CURLMsg *message = curl_multi_info_read(self->multi_handle, &queued);
        if (message == nullptr)
            break;
        if (report_finished(message, succeeded.get(), failed.get()) < 0)
            return nullptr;
    }
    Ref remaining = Ref::steal(PyLong_FromLong(queued));
    if (!remaining)
        return nullptr;
    return PyTuple_Pack(3, remaining.get(), succeeded.get(), failed.get());
}

// Read the descriptors libcurl watches into the stack's own array; their
// count, or -1 with libcurl's code in *error.
int read_waitfds(CurlMultiObject *self, CURLMcode *error)
{
    for (;;) {
        unsigned int count = 0;
        CURLMcode code = curl_multi_waitfds(self->multi_handle, self->waitfds, self->waitfds_capacity, &count);
        // A short array makes libcurl report the size it needs (also as
        // success when the array is empty).
        bool fits = count <= self->waitfds_capacity;
        if (code == CURLM_OK && fits)
            return static_cast<int>(count);
        if ((code != CURLM_OK && code != CURLM_OUT_OF_MEMORY) || fits) {
            *error = code;
            return -1;
        }
        auto *grown = static_cast<struct curl_waitfd *>(
            PyMem_Realloc(self->waitfds, count * sizeof(struct curl_waitfd)));
        if (grown == nullptr) {
            *error = CURLM_OUT_OF_MEMORY;
            return -1;
        }
        self->waitfds = grown;
        self->waitfds_capacity = count;
    }
}

bool fd_before(const struct curl_waitfd &a, const struct curl_waitfd &b)
{
    return a.fd < b.fd;
}

PyObject *do_multi_fdset(PyObject *op, PyObject *)
{
    CurlMultiObject *self = as_multi(op);
    if (multi_require_state(self, STATE_NEED_HANDLE | STATE_NOT_RUNNING, "fdset") < 0)
        return nullptr;
    CURLMcode code = CURLM_OK;
    int count = read_waitfds(self, &code);
    if (count < 0)
        return raise_code_and_text(code, "curl_multi_fdset() failed due to internal errors");
    std::sort(self->waitfds, self->waitfds + count, fd_before);
    Ref lists[3] = {Ref::steal(PyList_New(0)), Ref::steal(PyList_New(0)), Ref::steal(PyList_New(0))};
    for (const Ref &list : lists) {
        if (!list)
            return nullptr;
    }
    for (int i = 0; i < count; ++i) {
        const struct curl_waitfd &watched = self->waitfds[i];
        Ref fd = Ref::steal(PyLong_FromCurlSocket(watched.fd));
        if (!fd)
            return nullptr;
        if ((watched.events & CURL_WAIT_POLLIN) && PyList_Append(lists[0].get(), fd.get()) < 0)
            return nullptr;
        if ((watched.events & CURL_WAIT_POLLOUT) && PyList_Append(lists[1].get(), fd.get()) < 0)
            return nullptr;
        if ((watched.events & CURL_WAIT_POLLPRI) && PyList_Append(lists[2].get(), fd.get()) < 0)
            return nullptr;
    }
    return PyTuple_Pack(3, lists[0].get(), lists[1].get(), lists[2].get());
}

// Wait for the descriptors libcurl watches, with the interpreter lock
// released; poll's result.  `fds` has room for `count` records.
int poll_waitfds(const struct curl_waitfd *watched, int count, pollfd *fds, const timespec *wait)
{
    for (int i = 0; i < count; ++i) {
        fds[i].fd = watched[i].fd;
        fds[i].events = static_cast<short>(((watched[i].events & CURL_WAIT_POLLIN) ? POLLIN : 0) |
                                           ((watched[i].events & CURL_WAIT_POLLOUT) ? POLLOUT : 0) |
                                           ((watched[i].events & CURL_WAIT_POLLPRI) ? POLLPRI : 0));
        fds[i].revents = 0;
    }
    int ready;
    Py_BEGIN_ALLOW_THREADS
    ready = ppoll(fds, static_cast<nfds_t>(count), wait, nullptr);
    Py_END_ALLOW_THREADS
    return ready;
}

PyObject *do_multi_select(PyObject *op, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    if (!no_keywords(kwnames, "select"))
        return nullptr;
    CurlMultiObject *self = as_multi(op);
    double timeout;
    if (nargs == 1 && PyFloat_CheckExact(args[0]))
        timeout = PyFloat_AS_DOUBLE(args[0]);
    else if (!parse_positional(args, nargs, "d:select", &timeout))
        return nullptr;
    if (multi_require_state(self, STATE_NEED_HANDLE | STATE_NOT_RUNNING, "select") < 0)
        return nullptr;
    if (!(timeout >= 0.0 && timeout < 31536000.0)) {
        PyErr_SetString(PyExc_OverflowError, "invalid timeout period");
        return nullptr;
    }
    CURLMcode code = CURLM_OK;
    int count = read_waitfds(self, &code);
    if (count < 0)
        return raise_code_and_text(code, "multi_fdset failed");
    if (count == 0)
        return PyLong_FromLong(0);
    timespec wait;
    wait.tv_sec = static_cast<time_t>(timeout);
    wait.tv_nsec = static_cast<long>((timeout - static_cast<double>(wait.tv_sec)) * 1e6) * 1000;
    // poll's own records differ from libcurl's, so they go in an array of
    // their own: on the stack for the usual handful of descriptors.
    constexpr int on_stack = 64;
    if (count <= on_stack) {
        pollfd fds[on_stack];
        return PyLong_FromLong(poll_waitfds(self->waitfds, count, fds, &wait));
    }
    MemoryBlock<pollfd> fds(static_cast<size_t>(count));
    if (!fds)
        return PyErr_NoMemory();
    return PyLong_FromLong(poll_waitfds(self->waitfds, count, fds.get(), &wait));
}

PyObject *do_multi_timeout(PyObject *op, PyObject *)
{
    CurlMultiObject *self = as_multi(op);
    if (multi_require_state(self, STATE_NEED_HANDLE | STATE_NOT_RUNNING, "timeout") < 0)
        return nullptr;
    long ms = -1;
    CURLMcode code = curl_multi_timeout(self->multi_handle, &ms);
    if (code != CURLM_OK)
        return raise_code_and_text(code, "timeout failed");
    return PyLong_FromLong(ms);
}

PyObject *multi_assign_socket(CurlMultiObject *self, PyObject *fd_object, PyObject *value, const char *name)
{
    curl_socket_t sock;
    if (PyLong_AsCurlSocket(fd_object, &sock) < 0)
        return nullptr;
    if (multi_require_state(self, STATE_NEED_HANDLE, name) < 0)
        return nullptr;
    PyObject *found = nullptr;
    if (PyDict_GetItemRef(self->assignments, fd_object, &found) < 0)
        return nullptr;
    Ref previous = Ref::steal(found);
    if (value == Py_None) {
        if (previous && PyDict_DelItem(self->assignments, fd_object) < 0)
            return nullptr;
    } else if (PyDict_SetItem(self->assignments, fd_object, value) < 0) {
        return nullptr;
    }
    void *pointer = value == Py_None ? nullptr : value;
    CURLMcode code = curl_multi_assign(self->multi_handle, sock, pointer);
    if (code != CURLM_OK) {
        int restored = previous ? PyDict_SetItem(self->assignments, fd_object, previous.get())
                                : (value != Py_None ? PyDict_DelItem(self->assignments, fd_object) : 0);
        if (restored < 0)
            PyErr_Clear();
        char message[64];
        PyOS_snprintf(message, sizeof message, "%s failed", name);
        return raise_code_and_text(code, message);
    }
    Py_RETURN_NONE;
}

PyObject *do_multi_assign(PyObject *op, PyObject *args)
{
    PyObject *fd_object, *value;
    if (!PyArg_ParseTuple(args, "OO:assign", &fd_object, &value))
        return nullptr;
    return multi_assign_socket(as_multi(op), fd_object, value, "assign");
}

PyObject *do_multi_unassign(PyObject *op, PyObject *args)
{
    PyObject *fd_object;
    if (!PyArg_ParseTuple(args, "O:unassign", &fd_object))
        return nullptr;
    return multi_assign_socket(as_multi(op), fd_object, Py_None, "unassign");
}

// ---------------------------------------------------------------------------
// callbacks

// None and ints are the callable's answer; anything else fails.
int multi_callback_result(PyObject *result, const char *name)
{
    if (result == nullptr) {
        print_callback_error_if_regular_exception();
        return -1;
    }
    if (result == Py_None)
        return 0;
    int value;
    if (callback_return_value_to_int(result, name, &value) < 0)
        return -1;
    return value;
}

int multi_socket_callback(CURL *, curl_socket_t sock, int what, void *userdata, void *socketp)
{
    auto *self = static_cast<CurlMultiObject *>(userdata);
    return run_trampoline(tovrel_get_thread_state_slot_multi(self), "multi_socket_callback failed to acquire thread",
                          -1, [&]() -> int {
        if (self->socketfunction == nullptr)
            return 0;
        Ref callable = Ref::newref(self->socketfunction);
        // socketp is an object assign() keeps alive in `assignments`
        PyObject *assigned = socketp != nullptr ? static_cast<PyObject *>(socketp) : Py_None;
        Ref event = Ref::steal(PyLong_FromLong(what));
        Ref fd = event ? Ref::steal(PyLong_FromCurlSocket(sock)) : Ref();
        Ref result;
        if (fd) {
            PyObject *argv[] = {event.get(), fd.get(), reinterpret_cast<PyObject *>(self), assigned};
            result = Ref::steal(PyObject_Vectorcall(callable.get(), argv, 4, nullptr));
        }
        return multi_callback_result(result.get(), "multi socket");
    });
}

int multi_timer_callback(CURLM *, long timeout_ms, void *userdata)
{
    auto *self = static_cast<CurlMultiObject *>(userdata);
    return run_trampoline(tovrel_get_thread_state_slot_multi(self), "multi_timer_callback failed to acquire thread",
                          -1, [&]() -> int {
        if (self->timerfunction == nullptr)
            return 0;
        Ref callable = Ref::newref(self->timerfunction);
        Ref timeout = Ref::steal(PyLong_FromLong(timeout_ms));
        Ref result = timeout ? Ref::steal(PyObject_CallOneArg(callable.get(), timeout.get())) : Ref();
        return multi_callback_result(result.get(), "multi timer");
    });
}

// The member Curl for an easy handle, or None.
PyObject *member_for(CurlMultiObject *self, CURL *easy)
{
    void *pointer = nullptr;
    if (easy == nullptr || curl_easy_getinfo(easy, CURLINFO_PRIVATE, &pointer) != CURLE_OK || pointer == nullptr)
        return Py_None;
    auto *object = static_cast<PyObject *>(pointer);
    auto *curl = static_cast<CurlObject *>(pointer);
    if (!PyObject_TypeCheck(object, p_Curl_Type) || curl->handle != easy || curl->multi_stack != self)
        return Py_None;
    return object;
}

void multi_notify_callback(CURLM *, unsigned int notification, CURL *easy, void *userdata)
{
    auto *self = static_cast<CurlMultiObject *>(userdata);
    run_trampoline(tovrel_get_thread_state_slot_multi(self), "multi_notify_callback failed to acquire thread", 0,
                   [&]() -> int {
        if (self->notifyfunction == nullptr)
            return 0;
        Ref callable = Ref::newref(self->notifyfunction);
        Ref result = Ref::steal(PyObject_CallFunction(callable.get(), "kO", static_cast<unsigned long>(notification),
                                                      member_for(self, easy)));
        if (!result)
            print_callback_error_if_regular_exception();
        return 0;
    });
}

// ---------------------------------------------------------------------------
// options

struct MultiCallbackOption {
    CURLMoption option;
    CURLMoption data_option;
    PyObject *CurlMultiObject::*field;
    CallbackFn trampoline;
};

const MultiCallbackOption multi_callback_options[] = {
    {CURLMOPT_SOCKETFUNCTION, CURLMOPT_SOCKETDATA, &CurlMultiObject::socketfunction,
     reinterpret_cast<CallbackFn>(multi_socket_callback)},
    {CURLMOPT_TIMERFUNCTION, CURLMOPT_TIMERDATA, &CurlMultiObject::timerfunction,
     reinterpret_cast<CallbackFn>(multi_timer_callback)},
    {CURLMOPT_NOTIFYFUNCTION, CURLMOPT_NOTIFYDATA, &CurlMultiObject::notifyfunction,
     reinterpret_cast<CallbackFn>(multi_notify_callback)},
};

const MultiCallbackOption *find_multi_callback(int option)
{
    for (const MultiCallbackOption &cb : multi_callback_options) {
        if (cb.option == option)
            return &cb;
    }
    return nullptr;
}

bool is_multi_integer_option(int option)
{
    switch (option) {
    case CURLMOPT_PIPELINING:
    case CURLMOPT_MAXCONNECTS:
    case CURLMOPT_MAX_HOST_CONNECTIONS:
    case CURLMOPT_MAX_PIPELINE_LENGTH:
    case CURLMOPT_MAX_TOTAL_CONNECTIONS:
    case CURLMOPT_MAX_CONCURRENT_STREAMS:
    case CURLMOPT_CONTENT_LENGTH_PENALTY_SIZE:
    case CURLMOPT_CHUNK_LENGTH_PENALTY_SIZE:
        return true;
    default:
        return false;
    }
}

bool is_multi_list_option(int option)
{
    return option == CURLMOPT_PIPELINING_SITE_BL || option == CURLMOPT_PIPELINING_SERVER_BL;
}

PyObject *multi_option_refused(CURLMcode code)
{
    return raise_code_and_text(code, curl_multi_strerror(code));
}

PyObject *multi_setopt_integer(CurlMultiObject *self, int option, PyObject *value)
{
    if (!is_multi_integer_option(option)) {
        PyErr_SetString(PyExc_TypeError, "integers are not supported for this option");
        return nullptr;
    }
    long long number = PyLong_AsLongLong(value);
    if (number == -1 && PyErr_Occurred())
        return nullptr;
    auto id = static_cast<CURLMoption>(option);
    CURLMcode code = option >= CURLOPTTYPE_OFF_T
                         ? curl_multi_setopt(self->multi_handle, id, static_cast<curl_off_t>(number))
                         : curl_multi_setopt(self->multi_handle, id, static_cast<long>(number));
    // A value libcurl refuses must not look accepted.
    if (code != CURLM_OK)
        return multi_option_refused(code);
    Py_RETURN_NONE;
}

PyObject *multi_setopt_list(CurlMultiObject *self, int option, PyObject *sequence)
{
    if (!is_multi_list_option(option)) {
        PyErr_SetString(PyExc_TypeError, "lists/tuples are not supported for this option");
        return nullptr;
    }
    int kind = PyListOrTuple_Check(sequence);
    Py_ssize_t count = PyListOrTuple_Size(sequence, kind);
    // A null-terminated array of host names; libcurl copies them.
    MemoryBlock<char *> names(static_cast<size_t>(count) + 1);
    Ref encoded_copies = Ref::steal(PyList_New(0));
    if (!names || !encoded_copies)
        return PyErr_NoMemory();
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *item = PyListOrTuple_GetItem(sequence, i, kind);
        if (!PyText_Check(item)) {
            PyErr_SetString(ErrorObject, "list/tuple items must be strings");
            return nullptr;
        }
        PyObject *encoded = nullptr;
        names[i] = PyText_AsString_NoNUL(item, &encoded);
        Ref encoded_ref = Ref::steal(encoded);
        if (names[i] == nullptr || (encoded && PyList_Append(encoded_copies.get(), encoded) < 0))
            return nullptr;
    }
    CURLMcode code = curl_multi_setopt(self->multi_handle, static_cast<CURLMoption>(option), names.get());
    if (code != CURLM_OK) {
        Ref value = Ref::steal(Py_BuildValue("(i)", static_cast<int>(code)));
        if (value)
            PyErr_SetObject(ErrorObject, value.get());
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *multi_setopt_callable(CurlMultiObject *self, int option, PyObject *callable)
{
    const MultiCallbackOption *cb = find_multi_callback(option);
    if (cb == nullptr) {
        PyErr_SetString(PyExc_TypeError, "callables are not supported for this option");
        return nullptr;
    }
    CURLMcode code = curl_multi_setopt(self->multi_handle, cb->option, cb->trampoline);
    if (code == CURLM_OK)
        code = curl_multi_setopt(self->multi_handle, cb->data_option, self);
    if (code != CURLM_OK)
        return multi_option_refused(code);
    Py_XSETREF(self->*cb->field, Py_NewRef(callable));
    Py_RETURN_NONE;
}

PyObject *multi_unsetopt(CurlMultiObject *self, int option)
{
    if (is_multi_list_option(option)) {
        CURLMcode code = curl_multi_setopt(self->multi_handle, static_cast<CURLMoption>(option), nullptr);
        if (code != CURLM_OK)
            return multi_option_refused(code);
        Py_RETURN_NONE;
    }
    const MultiCallbackOption *cb = find_multi_callback(option);
    if (cb == nullptr) {
        PyErr_SetString(PyExc_TypeError, "unsetting is not supported for this option");
        return nullptr;
    }
    curl_multi_setopt(self->multi_handle, cb->option, nullptr);
    curl_multi_setopt(self->multi_handle, cb->data_option, nullptr);
    Py_CLEAR(self->*cb->field);
    Py_RETURN_NONE;
}

PyObject *do_multi_setopt(PyObject *op, PyObject *args)
{
    CurlMultiObject *self = as_multi(op);
    int option;
    PyObject *value;
    if (!PyArg_ParseTuple(args, "iO:setopt", &option, &value))
        return nullptr;
    if (multi_require_state(self, STATE_NEED_HANDLE | STATE_NOT_RUNNING, "setopt") < 0)
        return nullptr;
    if (option < 1 || option > 30021 || option % 10000 > 21) {
        PyErr_SetString(PyExc_TypeError, "invalid arguments to setopt");
        return nullptr;
    }
    if (value == Py_None)
        return multi_unsetopt(self, option);
    if (PyLong_Check(value))
        return multi_setopt_integer(self, option, value);
    if (PyListOrTuple_Check(value))
        return multi_setopt_list(self, option, value);
    if (PyCallable_Check(value))
        return multi_setopt_callable(self, option, value);
    PyErr_SetString(PyExc_TypeError, "invalid arguments to setopt");
    return nullptr;
}

PyObject *util_multi_notify_set(CurlMultiObject *self, PyObject *args, CURLMcode (*apply)(CURLM *, unsigned int),
                                const char *name)
{
    if (multi_require_state(self, STATE_NEED_HANDLE | STATE_NOT_RUNNING, name) < 0)
        return nullptr;
    if (PyTuple_GET_SIZE(args) == 0) {
        PyErr_Format(PyExc_TypeError, "%s requires at least one notification", name);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) {
        unsigned long long value = PyLong_AsUnsignedLongLong(PyTuple_GET_ITEM(args, i));
        if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred())
            return nullptr;
        if (value > 4294967295ULL) {
            PyErr_Format(PyExc_OverflowError, "%s notification value out of range", name);
            return nullptr;
        }
        CURLMcode code = apply(self->multi_handle, static_cast<unsigned int>(value));
        if (code != CURLM_OK) {
            char message[64];
            PyOS_snprintf(message, sizeof message, "%s failed", name);
            return raise_code_and_text(code, message);
        }
    }
    Py_RETURN_NONE;
}

PyObject *do_multi_notify_enable(PyObject *op, PyObject *args)
{
    return util_multi_notify_set(as_multi(op), args, curl_multi_notify_enable, "notify_enable");
}

PyObject *do_multi_notify_disable(PyObject *op, PyObject *args)
{
    return util_multi_notify_set(as_multi(op), args, curl_multi_notify_disable, "notify_disable");
}

PyObject *do_multi_get_closed(PyObject *op, void *)
{
    return PyBool_FromLong(as_multi(op)->multi_handle == nullptr);
}

PyObject *do_multi_enter(PyObject *op, PyObject *)
{
    return Py_NewRef(op);
}

PyObject *do_multi_exit(PyObject *op, PyObject *args)
{
    PyObject *type, *value, *traceback;
    if (!PyArg_UnpackTuple(args, "__exit__", 3, 3, &type, &value, &traceback))
        return nullptr;
    Ref result = Ref::steal(PyObject_CallMethod(op, "close", nullptr));
    if (!result)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *do_multi_getstate(PyObject *, PyObject *)
{
    PyErr_SetString(PyExc_TypeError, "CurlMulti objects do not support serialization");
    return nullptr;
}

PyObject *do_multi_setstate(PyObject *, PyObject *)
{
    PyErr_SetString(PyExc_TypeError, "CurlMulti objects do not support deserialization");
    return nullptr;
}

PyObject *do_multi_getattro(PyObject *op, PyObject *name)
{
    CurlMultiObject *self = as_multi(op);
    assert_multi_state(self);
    PyObject *value = PyObject_GenericGetAttr(op, name);
    if (value != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError))
        return value;
    PyErr_Clear();
    return my_getattro(op, name, self->dict, curlmultiobject_constants);
}

int do_multi_setattro(PyObject *op, PyObject *name, PyObject *value)
{
    CurlMultiObject *self = as_multi(op);
    assert_multi_state(self);
    return my_setattro(&self->dict, name, value);
}

PyMethodDef curlmultiobject_methods[] = {
    {"add_handle", fastcall_method(do_multi_add_handle), METH_FASTCALL | METH_KEYWORDS, multi_add_handle_doc},
    {"remove_handle", fastcall_method(do_multi_remove_handle), METH_FASTCALL | METH_KEYWORDS, multi_remove_handle_doc},
    {"perform", do_multi_perform, METH_NOARGS, multi_perform_doc},
    {"socket_action", fastcall_method(do_multi_socket_action), METH_FASTCALL | METH_KEYWORDS, multi_socket_action_doc},
    {"socket_all", do_multi_socket_all, METH_NOARGS, multi_socket_all_doc},
    {"info_read", fastcall_method(do_multi_info_read), METH_FASTCALL | METH_KEYWORDS, multi_info_read_doc},
    {"fdset", do_multi_fdset, METH_NOARGS, multi_fdset_doc},
    {"select", fastcall_method(do_multi_select), METH_FASTCALL | METH_KEYWORDS, multi_select_doc},
    {"timeout", do_multi_timeout, METH_NOARGS, multi_timeout_doc},
    {"assign", do_multi_assign, METH_VARARGS, multi_assign_doc},
    {"unassign", do_multi_unassign, METH_VARARGS, multi_unassign_doc},
    {"setopt", do_multi_setopt, METH_VARARGS, multi_setopt_doc},
    {"notify_enable", do_multi_notify_enable, METH_VARARGS, multi_notify_enable_doc},
    {"notify_disable", do_multi_notify_disable, METH_VARARGS, multi_notify_disable_doc},
    {"close", do_multi_close, METH_NOARGS, multi_close_doc},
    {"__enter__", do_multi_enter, METH_NOARGS, nullptr},
    {"__exit__", do_multi_exit, METH_VARARGS, nullptr},
    {"__getstate__", do_multi_getstate, METH_NOARGS, nullptr},
    {"__setstate__", do_multi_setstate, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef curlmultiobject_getsets[] = {
    {"closed", do_multi_get_closed, nullptr, multi_closed_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PySequenceMethods curlmultiobject_as_sequence = {
    .sq_contains = do_multi_contains,
};

}  // namespace

PyTypeObject CurlMulti_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tovrel.CurlMulti",
    .tp_basicsize = sizeof(CurlMultiObject),
    .tp_itemsize = 0,
    .tp_dealloc = do_multi_dealloc,
    .tp_as_sequence = &curlmultiobject_as_sequence,
    .tp_getattro = do_multi_getattro,
    .tp_setattro = do_multi_setattro,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE,
    .tp_doc = multi_doc,
    .tp_traverse = do_multi_traverse,
    .tp_clear = do_multi_clear,
    .tp_weaklistoffset = offsetof(CurlMultiObject, weakreflist),
    .tp_methods = curlmultiobject_methods,
    .tp_getset = curlmultiobject_getsets,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = do_multi_new,
    .tp_free = PyObject_GC_Del,
};

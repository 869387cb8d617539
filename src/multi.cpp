// The CurlMulti type: a libcurl multi stack and the Curl objects on it.
#include "tovrel.h"

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

PyObject *do_multi_add_handle(PyObject *op, PyObject *args)
{
    CurlMultiObject *self = as_multi(op);
    CurlObject *curl;
    if (!PyArg_ParseTuple(args, "O!:add_handle", p_Curl_Type, &curl))
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

PyObject *do_multi_remove_handle(PyObject *op, PyObject *args)
{
    CurlMultiObject *self = as_multi(op);
    CurlObject *curl;
    if (!PyArg_ParseTuple(args, "O!:remove_handle", p_Curl_Type, &curl))
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
    if (code != CURLM_OK) {
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
    {"add_handle", do_multi_add_handle, METH_VARARGS, multi_add_handle_doc},
    {"remove_handle", do_multi_remove_handle, METH_VARARGS, multi_remove_handle_doc},
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

// The CurlShare type: a libcurl share handle, its data locks and the Curl
// objects attached to it.
//
// Lock order: `object_lock` guards the share handle and the registration set
// and is only taken with the interpreter lock held, which is never released
// while it is held.  libcurl calls made under it take only the data-lock
// cells, so the two kinds never nest the other way.  Nothing done under
// `object_lock` may reach registration of the same share (it is not
// re-entrant).
#include "tovrel.h"

namespace {

constexpr int option_limit = 30328;

CurlShareObject *as_share(PyObject *op)
{
    return reinterpret_cast<CurlShareObject *>(op);
}

void assert_share_state(CurlShareObject *self)
{
    assert(PyObject_TypeCheck(self, p_CurlShare_Type));
    assert(self->lock != nullptr);
    (void)self;
}

// Caller holds object_lock.
int share_check_open(CurlShareObject *self, const char *name)
{
    assert_share_state(self);
    if (self->share_handle != nullptr)
        return 0;
    PyErr_Format(ErrorObject, "cannot invoke %s() - no share handle", name);
    return -1;
}

// Caller holds object_lock.
int share_setopt_kind(CurlShareObject *self, CURLSHoption option, long long kind)
{
    if (kind < CURL_LOCK_DATA_COOKIE || kind > CURL_LOCK_DATA_PSL) {
        PyErr_SetString(PyExc_TypeError, "invalid arguments to setopt");
        return -1;
    }
    CURLSHcode code = curl_share_setopt(self->share_handle, option, static_cast<int>(kind));
    if (code != CURLSHE_OK) {
        raise_code_and_text(code, curl_share_strerror(code));
        return -1;
    }
    return 0;
}

PyObject *do_share_new(PyTypeObject *type, PyObject *args, PyObject *kwds)
{
    int detach_on_close = 1;
    if (type == p_CurlShare_Type) {
        static const char *keywords[] = {"detach_on_close", nullptr};
        if (!PyArg_ParseTupleAndKeywords(args, kwds, "|$p:CurlShare", const_cast<char **>(keywords),
                                         &detach_on_close))
            return nullptr;
    }
    Ref object = Ref::steal(type->tp_alloc(type, 0));
    if (!object)
        return nullptr;
    CurlShareObject *self = as_share(object.get());
    self->lock = share_lock_new();
    if (self->lock == nullptr)
        return nullptr;
    self->easy_weakrefs = PySet_New(nullptr);
    if (self->easy_weakrefs == nullptr)
        return nullptr;
    self->share_handle = curl_share_init();
    if (self->share_handle == nullptr) {
        object.reset();
        PyErr_SetString(ErrorObject, "initializing curl-share failed");
        return nullptr;
    }
    CURLSHcode lockfunc = curl_share_setopt(self->share_handle, CURLSHOPT_LOCKFUNC, share_lock_callback);
    CURLSHcode userdata = curl_share_setopt(self->share_handle, CURLSHOPT_USERDATA, self);
    CURLSHcode unlockfunc = curl_share_setopt(self->share_handle, CURLSHOPT_UNLOCKFUNC, share_unlock_callback);
    assert(lockfunc == CURLSHE_OK && userdata == CURLSHE_OK && unlockfunc == CURLSHE_OK);
    (void)lockfunc, (void)userdata, (void)unlockfunc;
    self->detach_on_close = detach_on_close;
    return object.release();
}

void do_share_dealloc(PyObject *op)
{
    CurlShareObject *self = as_share(op);
    PyObject_GC_UnTrack(op);
    SavedException propagating;
    if (self->weakreflist != nullptr)
        PyObject_ClearWeakRefs(op);
    Py_CLEAR(self->dict);
    {
        MutexHold hold(&self->object_lock);
        Py_CLEAR(self->easy_weakrefs);
    }
    if (self->share_handle != nullptr) {
        CURLSH *handle = self->share_handle;
        self->share_handle = nullptr;
        curl_share_cleanup(handle);
    }
    Py_CLEAR(self->closesocket_contexts);
    if (self->lock != nullptr)
        share_lock_destroy(self->lock);
    Py_TYPE(op)->tp_free(op);
}

int do_share_traverse(PyObject *op, visitproc visit, void *arg)
{
    CurlShareObject *self = as_share(op);
    Py_VISIT(self->dict);
    Py_VISIT(self->easy_weakrefs);
    Py_VISIT(self->closesocket_contexts);
    return 0;
}

int do_share_clear(PyObject *op)
{
    CurlShareObject *self = as_share(op);
    Py_CLEAR(self->dict);
    MutexHold hold(&self->object_lock);
    Py_CLEAR(self->easy_weakrefs);
    return 0;
}

// ---------------------------------------------------------------------------
// options

PyObject *do_share_setopt(PyObject *op, PyObject *args)
{
    CurlShareObject *self = as_share(op);
    int option;
    PyObject *value;
    if (!PyArg_ParseTuple(args, "iO:setopt", &option, &value))
        return nullptr;
    if (option < 1 || option > option_limit || option % 10000 > 328 || !PyLong_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "invalid arguments to setopt");
        return nullptr;
    }
    long long kind = PyLong_AsLongLong(value);
    if (kind == -1 && PyErr_Occurred())
        return nullptr;
    if (option != CURLSHOPT_SHARE && option != CURLSHOPT_UNSHARE) {
        PyErr_SetString(PyExc_TypeError, "integers are not supported for this option");
        return nullptr;
    }
    MutexHold hold(&self->object_lock);
    if (share_check_open(self, "setopt") < 0 ||
        share_setopt_kind(self, static_cast<CURLSHoption>(option), kind) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *share_apply_kinds(CurlShareObject *self, PyObject *args, CURLSHoption option, const char *name)
{
    if (PyTuple_GET_SIZE(args) == 0) {
        PyErr_SetString(PyExc_TypeError, "at least one LOCK_DATA_* argument required");
        return nullptr;
    }
    MutexHold hold(&self->object_lock);
    if (share_check_open(self, name) < 0)
        return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(args); ++i) {
        PyObject *arg = PyTuple_GET_ITEM(args, i);
        if (PyListOrTuple_Check(arg)) {
            PyErr_SetString(PyExc_TypeError,
                            "list/tuple arguments are not expanded; pass each LOCK_DATA_* constant individually");
            return nullptr;
        }
        if (!PyLong_Check(arg)) {
            PyErr_SetString(PyExc_TypeError, "arguments must be LOCK_DATA_* integers");
            return nullptr;
        }
        long long kind = PyLong_AsLongLong(arg);
        if (kind == -1 && PyErr_Occurred())
            return nullptr;
        if (share_setopt_kind(self, option, kind) < 0)
            return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *do_share_share(PyObject *op, PyObject *args)
{
    return share_apply_kinds(as_share(op), args, CURLSHOPT_SHARE, "share");
}

PyObject *do_share_unshare(PyObject *op, PyObject *args)
{
    return share_apply_kinds(as_share(op), args, CURLSHOPT_UNSHARE, "unshare");
}

// ---------------------------------------------------------------------------
// closing

// Whether an attached Curl is busy in a way that forbids closing the share.
bool curl_uses_share_now(CurlShareObject *self, CurlObject *curl)
{
    if (curl->state != nullptr || !self->detach_on_close)
        return true;
    return curl->multi_stack != nullptr && curl->multi_stack->state != nullptr;
}

// Detach the idle Curl objects, prune dead entries and count the busy ones;
// -1 with an exception if a weak reference cannot be resolved.
// Caller holds object_lock.
Py_ssize_t share_cleanup_and_count_live_easies(CurlShareObject *self)
{
    Ref stale = Ref::steal(PyList_New(0));
    Ref iterator = stale ? Ref::steal(PyObject_GetIter(self->easy_weakrefs)) : Ref();
    if (!iterator) {
        PyErr_Clear();
        return 0;
    }
    Py_ssize_t in_use = 0;
    while (Ref weakref = Ref::steal(PyIter_Next(iterator.get()))) {
        PyObject *referent = nullptr;
        if (PyWeakref_GetRef(weakref.get(), &referent) < 0)
            return -1;
        Ref curl_ref = Ref::steal(referent);
        auto *curl = reinterpret_cast<CurlObject *>(referent);
        bool attached_here = referent != nullptr && PyObject_TypeCheck(referent, p_Curl_Type) &&
                             curl->share == self;
        if (attached_here && curl_uses_share_now(self, curl)) {
            ++in_use;
            continue;
        }
        if (attached_here) {
            if (curl->handle != nullptr)
                curl_easy_setopt(curl->handle, CURLOPT_SHARE, nullptr);
            curl->share = nullptr;
            Py_DECREF(self);  // the Curl's reference; the caller holds its own
        }
        if (PyList_Append(stale.get(), weakref.get()) < 0)
            PyErr_Clear();
    }
    PyErr_Clear();  // a failed iteration step counts as the end
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(stale.get()); ++i) {
        if (PySet_Discard(self->easy_weakrefs, PyList_GET_ITEM(stale.get(), i)) < 0)
            PyErr_Clear();
    }
    return in_use;
}

// Takes the share handle out if no attached Curl is busy; null when there
// is nothing to clean up or closing is refused (then with an exception).
CURLSH *share_take_handle_for_close(CurlShareObject *self)
{
    MutexHold hold(&self->object_lock);
    if (self->easy_weakrefs != nullptr && PySet_Check(self->easy_weakrefs)) {
        Py_ssize_t in_use = share_cleanup_and_count_live_easies(self);
        if (in_use < 0)
            return nullptr;
        if (in_use > 0) {
            PyErr_Format(ErrorObject, "cannot close CurlShare: still in use by %zd active Curl object%s", in_use,
                         in_use == 1 ? "" : "s");
            return nullptr;
        }
    }
    CURLSH *handle = self->share_handle;
    self->share_handle = nullptr;
    return handle;
}

PyObject *do_share_close(PyObject *op, PyObject *)
{
    CurlShareObject *self = as_share(op);
    assert_share_state(self);
    CURLSH *handle = share_take_handle_for_close(self);
    if (handle == nullptr && PyErr_Occurred())
        return nullptr;
    if (handle != nullptr) {
        // Closing the pooled connections may call Python (a close-socket
        // callable), which must be free to use this share: no lock is held.
        curl_share_cleanup(handle);
        Py_CLEAR(self->closesocket_contexts);
        if (PyErr_Occurred())
            return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *do_share_get_closed(PyObject *op, void *)
{
    CurlShareObject *self = as_share(op);
    bool closed;
    {
        MutexHold hold(&self->object_lock);
        closed = self->share_handle == nullptr;
    }
    return PyBool_FromLong(closed);
}

PyObject *do_share_enter(PyObject *op, PyObject *)
{
    return Py_NewRef(op);
}

PyObject *do_share_exit(PyObject *op, PyObject *)
{
    return do_share_close(op, nullptr);
}

PyObject *do_share_getstate(PyObject *, PyObject *)
{
    PyErr_SetString(PyExc_TypeError, "CurlShare objects do not support serialization");
    return nullptr;
}

PyObject *do_share_setstate(PyObject *, PyObject *)
{
    PyErr_SetString(PyExc_TypeError, "CurlShare objects do not support deserialization");
    return nullptr;
}

PyObject *do_share_getattro(PyObject *op, PyObject *name)
{
    CurlShareObject *self = as_share(op);
    assert_share_state(self);
    PyObject *value = PyObject_GenericGetAttr(op, name);
    if (value != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError))
        return value;
    PyErr_Clear();
    return my_getattro(op, name, self->dict, curlshareobject_constants);
}

int do_share_setattro(PyObject *op, PyObject *name, PyObject *value)
{
    CurlShareObject *self = as_share(op);
    assert_share_state(self);
    return my_setattro(&self->dict, name, value);
}

PyMethodDef curlshareobject_methods[] = {
    {"setopt", do_share_setopt, METH_VARARGS, share_setopt_doc},
    {"share", do_share_share, METH_VARARGS, share_share_doc},
    {"unshare", do_share_unshare, METH_VARARGS, share_unshare_doc},
    {"close", do_share_close, METH_NOARGS, share_close_doc},
    {"__enter__", do_share_enter, METH_NOARGS, nullptr},
    {"__exit__", do_share_exit, METH_VARARGS, nullptr},
    {"__getstate__", do_share_getstate, METH_NOARGS, nullptr},
    {"__setstate__", do_share_setstate, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef curlshareobject_getsets[] = {
    {"closed", do_share_get_closed, nullptr, share_closed_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

// ---------------------------------------------------------------------------
// registration of attached Curl objects

int share_register_easy(CurlShareObject *share, CurlObject *curl)
{
    Ref weakref = Ref::steal(PyWeakref_NewRef(reinterpret_cast<PyObject *>(curl), nullptr));
    if (!weakref)
        return -1;
    MutexHold hold(&share->object_lock);
    if (share->share_handle == nullptr || share->easy_weakrefs == nullptr) {
        PyErr_SetString(ErrorObject, "CurlShare is closed");
        return -1;
    }
    return PySet_Add(share->easy_weakrefs, weakref.get());
}

void share_unregister_easy(CurlShareObject *share, CurlObject *curl)
{
    // A Curl being destroyed has no weak references left to match; its
    // entry is dead and close() prunes it.
    if (Py_REFCNT(curl) == 0)
        return;
    Ref weakref = Ref::steal(PyWeakref_NewRef(reinterpret_cast<PyObject *>(curl), nullptr));
    if (!weakref) {
        PyErr_Clear();
        return;
    }
    MutexHold hold(&share->object_lock);
    if (share->easy_weakrefs != nullptr && PySet_Discard(share->easy_weakrefs, weakref.get()) < 0)
        PyErr_Clear();
}

PyTypeObject CurlShare_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tovrel.CurlShare",
    .tp_basicsize = sizeof(CurlShareObject),
    .tp_itemsize = 0,
    .tp_dealloc = do_share_dealloc,
    .tp_getattro = do_share_getattro,
    .tp_setattro = do_share_setattro,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE,
    .tp_doc = share_doc,
    .tp_traverse = do_share_traverse,
    .tp_clear = do_share_clear,
    .tp_weaklistoffset = offsetof(CurlShareObject, weakreflist),
    .tp_methods = curlshareobject_methods,
    .tp_getset = curlshareobject_getsets,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = do_share_new,
    .tp_free = PyObject_GC_Del,
};

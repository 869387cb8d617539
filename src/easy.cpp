// The Curl type's life: creation, duplication, reset, closing, destruction,
// the state check every method makes, and attribute access.
#include "tovrel.h"

#include <cstring>

const CurlSlistField curl_slist_fields[10] = {
    {CURLOPT_HTTPHEADER, &CurlObject::httpheader},
    {CURLOPT_PROXYHEADER, &CurlObject::proxyheader},
    {CURLOPT_HTTP200ALIASES, &CurlObject::http200aliases},
    {CURLOPT_QUOTE, &CurlObject::quote},
    {CURLOPT_POSTQUOTE, &CurlObject::postquote},
    {CURLOPT_PREQUOTE, &CurlObject::prequote},
    {CURLOPT_TELNETOPTIONS, &CurlObject::telnetoptions},
    {CURLOPT_RESOLVE, &CurlObject::resolve},
    {CURLOPT_MAIL_RCPT, &CurlObject::mail_rcpt},
    {CURLOPT_CONNECT_TO, &CurlObject::connect_to},
};

namespace {

template <typename T>
void clear_field(T *&field)
{
    Py_CLEAR(field);
}

}  // namespace

// ---------------------------------------------------------------------------
// state checks

void assert_curl_state(CurlObject *self)
{
    assert(PyObject_TypeCheck(self, p_Curl_Type));
    (void)tovrel_get_thread_state(self);
    (void)self;
}

int refuse_busy_curl(const char *name)
{
    PyErr_Format(ErrorObject, "cannot invoke %s() - perform() is currently running", name);
    return -1;
}

int check_curl_state(CurlObject *self, int flags, const char *name)
{
    assert_curl_state(self);
    if ((flags & STATE_NEED_HANDLE) && self->handle == nullptr) {
        PyErr_Format(ErrorObject, "cannot invoke %s() - no curl handle", name);
        return -1;
    }
    // A libcurl call that runs MIME callbacks synchronously makes the handle
    // as busy as a transfer does.
    if ((flags & STATE_NOT_RUNNING) && (tovrel_get_thread_state(self) != nullptr || self->mime_call_depth > 0))
        return refuse_busy_curl(name);
    return 0;
}

int check_curl_not_running_elsewhere(CurlObject *self, const char *name)
{
    PyThreadState *running = tovrel_get_thread_state(self);
    if (self->mime_call_depth > 0 || (running != nullptr && running != PyThreadState_Get()))
        return refuse_busy_curl(name);
    return 0;
}

// ---------------------------------------------------------------------------
// life cycle

int util_curl_init(CurlObject *self)
{
    assert(g_tovrel_useragent != nullptr);
    CURL *handle = self->handle;
    if (curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, self->error) != CURLE_OK)
        return -1;
    std::memset(self->error, 0, sizeof self->error);
    self->postfields_size = -1;
    if (curl_easy_setopt(handle, CURLOPT_PRIVATE, self) != CURLE_OK ||
        curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 1L) != CURLE_OK ||
        curl_easy_setopt(handle, CURLOPT_VERBOSE, 0L) != CURLE_OK ||
        curl_easy_setopt(handle, CURLOPT_USERAGENT, g_tovrel_useragent) != CURLE_OK)
        return -1;
    return 0;
}

void util_curl_xdecref(CurlObject *self, int groups, CURL *handle)
{
    if (groups & RELEASE_DICT)
        Py_CLEAR(self->dict);
    if (groups & RELEASE_MULTI) {
        self->multi_stack = nullptr;
        Py_CLEAR(self->multi_weakref);
    }
    if (groups & RELEASE_CALLBACKS) {
        for (const CallbackField &cb : curl_callback_fields)
            Py_CLEAR(self->*cb.field);
        Py_CLEAR(self->callback_buffer);
    }
    if (groups & RELEASE_POSTFIELDS)
        Py_CLEAR(self->postfields_obj);
    if ((groups & RELEASE_SHARE) && self->share != nullptr) {
        CurlShareObject *share = self->share;
        share_unregister_easy(share, self);
        self->share = nullptr;
        if (handle != nullptr) {
            MutexHold hold(&share->object_lock);
            if (share->share_handle != nullptr)
                curl_easy_setopt(handle, CURLOPT_SHARE, nullptr);
        }
        Py_DECREF(share);
    }
    if (groups & RELEASE_HTTPPOST)
        clear_field(self->httppost);
    if (groups & RELEASE_MIME) {
        if (handle != nullptr && self->mimepost != nullptr) {
            assert(handle == self->handle);
            util_curl_unset_mimepost(self);
        }
        Py_CLEAR(self->mime_copy_owners);
        clear_field(self->mimepost);
    }
    if (groups & RELEASE_CA_CERTS)
        Py_CLEAR(self->ca_certs_obj);
    if (groups & RELEASE_SLISTS) {
        for (const CurlSlistField &list : curl_slist_fields)
            clear_field(self->*list.field);
    }
}

void util_easy_detach_from_multi(CurlObject *self)
{
    CurlMultiObject *multi = self->multi_stack;
    if (multi != nullptr && multi->multi_handle != nullptr) {
        {
            ReleasedLock unlocked(&multi->state);
            curl_multi_remove_handle(multi->multi_handle, self->handle);
        }
        if (multi->easy_members != nullptr) {
            // The caller holds its own reference, so dropping the stack's
            // cannot free us here.
            if (PySet_Discard(multi->easy_members, reinterpret_cast<PyObject *>(self)) < 0)
                PyErr_Clear();
        }
    }
    self->multi_stack = nullptr;
    Py_CLEAR(self->multi_weakref);
}

int util_curl_close(CurlObject *self)
{
    if (self->handle == nullptr) {
        assert(self->state == nullptr && self->multi_stack == nullptr);
        assert(self->multi_weakref == nullptr && self->share == nullptr);
        return 0;
    }
    // Callbacks libcurl fires while the handle goes away may leave an
    // exception pending; every step still runs, and the first one is
    // raised at the end.
    FirstException pending;
    self->state = nullptr;
    util_easy_detach_from_multi(self);
    pending.collect();
    util_curl_xdecref(self, RELEASE_SHARE, self->handle);
    CURL *handle = self->handle;
    // A duplicate's private MIME copy goes with the handle.
    Ref mime_copy_owners = util_curl_take_mime_copy_owners(self);
    {
        MimeCallScope busy(self);
        // The callables stay installed: libcurl may call the close-socket
        // callback now, and it re-enters through our own slot.
        ReleasedLock unlocked(&self->state);
        curl_easy_cleanup(handle);
    }
    self->handle = nullptr;
    pending.collect();
    // Only now may no connection of this handle's own pool call it.
    Py_CLEAR(self->closesocket_context);
    mime_copy_owners.reset();
    util_curl_xdecref(self, RELEASE_OWNED_BY_HANDLE, nullptr);
    pending.collect();
    return pending.restore();
}

namespace {

PyObject *do_curl_new(PyTypeObject *type, PyObject *args, PyObject *kwds)
{
    if (type == p_Curl_Type) {
        static const char *no_keywords[] = {nullptr};
        if (!PyArg_ParseTupleAndKeywords(args, kwds, "", const_cast<char **>(no_keywords)))
            return nullptr;
    }
    Ref object = Ref::steal(type->tp_alloc(type, 0));
    if (!object)
        return nullptr;
    auto *self = reinterpret_cast<CurlObject *>(object.get());
    self->handle = curl_easy_init();
    if (self->handle == nullptr || util_curl_init(self) < 0) {
        object.reset();
        PyErr_SetString(ErrorObject, "initializing curl failed");
        return nullptr;
    }
    return object.release();
}

void do_curl_dealloc(PyObject *op)
{
    auto *self = reinterpret_cast<CurlObject *>(op);
    PyObject_GC_UnTrack(op);
    // A destructor may run while an exception propagates; clean-up callbacks
    // must not see it.
    SavedException propagating;
    // Weak references go first, so nothing can reach the object (or make a
    // new weak reference to it) while it is being torn down.
    if (self->weakreflist != nullptr)
        PyObject_ClearWeakRefs(op);
    Py_CLEAR(self->dict);
    if (util_curl_close(self) < 0)
        PyErr_FormatUnraisable("Exception ignored while closing a tovrel.Curl object");
    Py_TYPE(op)->tp_free(op);
}

int do_curl_traverse(PyObject *op, visitproc visit, void *arg)
{
    auto *self = reinterpret_cast<CurlObject *>(op);
    Py_VISIT(self->dict);
    Py_VISIT(self->multi_weakref);
    Py_VISIT(self->share);
    for (const CallbackField &cb : curl_callback_fields)
        Py_VISIT(self->*cb.field);
    Py_VISIT(self->postfields_obj);
    Py_VISIT(self->mimepost);
    if (int visited = util_curl_visit_mime_copy_owners(self, visit, arg))
        return visited;
    Py_VISIT(self->ca_certs_obj);
    for (const CurlSlistField &list : curl_slist_fields)
        Py_VISIT(self->*list.field);
    Py_VISIT(self->httppost);
    Py_VISIT(self->closesocket_context);
    return 0;
}

// Runs when the collector finds the object among garbage, before anything
// is cleared.
void do_curl_finalize(PyObject *op)
{
    util_curl_release_mime_copy(reinterpret_cast<CurlObject *>(op));
}

int do_curl_clear(PyObject *op)
{
    auto *self = reinterpret_cast<CurlObject *>(op);
    assert(tovrel_get_thread_state(self) == nullptr);
    util_curl_xdecref(self, RELEASE_ALL, self->handle);
    return 0;
}

// ---------------------------------------------------------------------------
// methods

PyObject *do_curl_close(PyObject *op, PyObject *)
{
    auto *self = reinterpret_cast<CurlObject *>(op);
    if (check_curl_state(self, STATE_NOT_RUNNING, "close") < 0)
        return nullptr;
    if (util_curl_close(self) < 0)
        return nullptr;
    Py_RETURN_NONE;
}

PyObject *cloning_failed()
{
    PyErr_SetString(ErrorObject, "cloning curl failed");
    return nullptr;
}

// libcurl duplicates the handle, calling the HSTS read callback of the
// source to preload the copy's cache: the lock is released with the slot
// of the source set, as for a transfer.
CURL *duplicate_with_callbacks(CurlObject *self)
{
    PyThreadState **slot = self->multi_stack != nullptr && self->multi_stack->state != nullptr
                               ? &self->multi_stack->state
                               : &self->state;
    ReleasedLockReentrant unlocked(slot);
    return curl_easy_duphandle(self->handle);
}

// Give the copy its own error buffer and private pointer.
int init_duplicate(CurlObject *dup, CurlObject *self)
{
    dup->handle = duplicate_with_callbacks(self);
    if (dup->handle == nullptr)
        return -1;
    // The copy's MIME structure already points at the owners of its
    // callback parts; they are counted before anything can fail and free it.
    if (curlmime_duphandle_incref_data_cb_owners(dup, self) < 0) {
        PyErr_Clear();
        return -1;
    }
    if (curl_easy_setopt(dup->handle, CURLOPT_ERRORBUFFER, dup->error) != CURLE_OK)
        return -1;
    std::memset(dup->error, 0, sizeof dup->error);
    return curl_easy_setopt(dup->handle, CURLOPT_PRIVATE, dup) == CURLE_OK ? 0 : -1;
}

// The copy shares everything libcurl's duplicate still points into.
int share_owned_fields(CurlObject *dup, CurlObject *self)
{
    for (const CallbackField &cb : curl_callback_fields) {
        if (self->*cb.field == nullptr)
            continue;
        dup->*cb.field = Py_NewRef(self->*cb.field);
        void *user_data = callback_user_data(dup, cb);
        if (user_data == nullptr)
            return -1;
        curl_easy_setopt(dup->handle, cb.data_option, user_data);
    }
    dup->writefunction_memoryview = self->writefunction_memoryview;
    dup->headerfunction_memoryview = self->headerfunction_memoryview;
    dup->postfields_obj = Py_XNewRef(self->postfields_obj);
    dup->postfields_size = self->postfields_size;
    dup->ca_certs_obj = Py_XNewRef(self->ca_certs_obj);
    if (dup->ca_certs_obj != nullptr)
        curl_easy_setopt(dup->handle, CURLOPT_SSL_CTX_DATA, dup);
    for (const CurlSlistField &list : curl_slist_fields)
        dup->*list.field = reinterpret_cast<CurlSlistObject *>(Py_XNewRef(self->*list.field));
    dup->httppost = reinterpret_cast<CurlHttppostObject *>(Py_XNewRef(self->httppost));
    dup->mimepost = reinterpret_cast<CurlMimeObject *>(Py_XNewRef(self->mimepost));
    return 0;
}


PyObject *do_curl_duphandle(PyObject *op, PyObject *)
{
    auto *self = reinterpret_cast<CurlObject *>(op);
    // From inside the transfer's own callbacks copying is fine; from another
    // thread it would race libcurl's use of the handle.
    if (check_curl_not_running_elsewhere(self, "duphandle") < 0)
        return nullptr;
    PyTypeObject *type = Py_TYPE(op);
    Ref object = Ref::steal(type->tp_alloc(type, 0));
    if (!object)
        return nullptr;
    auto *dup = reinterpret_cast<CurlObject *>(object.get());
    if (self->handle == nullptr || init_duplicate(dup, self) < 0) {
        object.reset();
        return cloning_failed();
    }
    if (self->dict != nullptr) {
        dup->dict = PyDict_Copy(self->dict);
        if (dup->dict == nullptr) {
            PyErr_Clear();
            object.reset();
            return cloning_failed();
        }
    }
    if (share_owned_fields(dup, self) < 0 || check_pending_python_exception_or_signal() < 0)
        return nullptr;
    return object.release();
}

PyObject *do_curl_reset(PyObject *op, PyObject *)
{
    auto *self = reinterpret_cast<CurlObject *>(op);
    if (check_curl_state(self, STATE_NEED_HANDLE | STATE_NOT_RUNNING, "reset") < 0)
        return nullptr;
    {
        // A duplicate frees its private MIME copy here.
        Ref mime_copy_owners = util_curl_take_mime_copy_owners(self);
        MimeCallScope busy(self);
        curl_easy_reset(self->handle);
    }
    util_curl_xdecref(self, RELEASE_OWNED_BY_HANDLE, self->handle);
    curl_forget_closesocket_callable(self);
    if (util_curl_init(self) < 0) {
        // Keep the reset's own error; closing must not hide it.
        util_curl_close(self);
        PyErr_Clear();
        PyErr_SetString(ErrorObject, "resetting curl failed");
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *do_curl_multi(PyObject *op, PyObject *)
{
    auto *self = reinterpret_cast<CurlObject *>(op);
    assert_curl_state(self);
    if (self->multi_weakref == nullptr)
        Py_RETURN_NONE;
    PyObject *multi = nullptr;
    if (PyWeakref_GetRef(self->multi_weakref, &multi) < 0)
        return nullptr;
    if (multi == nullptr)
        Py_RETURN_NONE;
    if (!PyObject_TypeCheck(multi, p_CurlMulti_Type)) {
        Py_DECREF(multi);
        PyErr_SetString(PyExc_TypeError, "multi object is not a CurlMulti");
        return nullptr;
    }
    return multi;
}

PyObject *do_curl_share(PyObject *op, PyObject *)
{
    auto *self = reinterpret_cast<CurlObject *>(op);
    assert_curl_state(self);
    PyObject *share = reinterpret_cast<PyObject *>(self->share);
    if (share == nullptr)
        Py_RETURN_NONE;
    if (!PyObject_TypeCheck(share, p_CurlShare_Type)) {
        PyErr_SetString(PyExc_TypeError, "share object is not a CurlShare");
        return nullptr;
    }
    return Py_NewRef(share);
}

PyObject *do_curl_getstate(PyObject *, PyObject *)
{
    PyErr_SetString(PyExc_TypeError, "Curl objects do not support serialization");
    return nullptr;
}

PyObject *do_curl_setstate(PyObject *, PyObject *)
{
    PyErr_SetString(PyExc_TypeError, "Curl objects do not support deserialization");
    return nullptr;
}

PyObject *do_curl_enter(PyObject *op, PyObject *)
{
    return Py_NewRef(op);
}

PyObject *do_curl_exit(PyObject *op, PyObject *)
{
    return do_curl_close(op, nullptr);
}

PyObject *do_curl_get_closed(PyObject *op, void *)
{
    return PyBool_FromLong(reinterpret_cast<CurlObject *>(op)->handle == nullptr);
}

// ---------------------------------------------------------------------------
// attributes: the type's own first, then the instance dictionary, then the
// constants

PyObject *do_curl_getattro(PyObject *op, PyObject *name)
{
    PyObject *value = PyObject_GenericGetAttr(op, name);
    if (value != nullptr || !PyErr_ExceptionMatches(PyExc_AttributeError))
        return value;
    PyErr_Clear();
    return my_getattro(op, name, reinterpret_cast<CurlObject *>(op)->dict, curlobject_constants);
}

int do_curl_setattro(PyObject *op, PyObject *name, PyObject *value)
{
    auto *self = reinterpret_cast<CurlObject *>(op);
    assert_curl_state(self);
    return my_setattro(&self->dict, name, value);
}

PyMethodDef curlobject_methods[] = {
    {"close", do_curl_close, METH_NOARGS, curl_close_doc},
    {"duphandle", do_curl_duphandle, METH_NOARGS, curl_duphandle_doc},
    {"errstr", do_curl_errstr, METH_NOARGS, curl_errstr_doc},
    {"errstr_raw", do_curl_errstr_raw, METH_NOARGS, curl_errstr_raw_doc},
    {"getinfo", fastcall_method(do_curl_getinfo), METH_FASTCALL | METH_KEYWORDS, curl_getinfo_doc},
    {"getinfo_raw", fastcall_method(do_curl_getinfo_raw), METH_FASTCALL | METH_KEYWORDS, curl_getinfo_raw_doc},
    {"multi", do_curl_multi, METH_NOARGS, curl_multi_doc},
    {"pause", do_curl_pause, METH_VARARGS, curl_pause_doc},
    {"perform", do_curl_perform, METH_NOARGS, curl_perform_doc},
    {"perform_rb", do_curl_perform_rb, METH_NOARGS, curl_perform_rb_doc},
    {"perform_rs", do_curl_perform_rs, METH_NOARGS, curl_perform_rs_doc},
    {"recv", do_curl_recv, METH_VARARGS, curl_recv_doc},
    {"recv_into", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(do_curl_recv_into)),
     METH_VARARGS | METH_KEYWORDS, curl_recv_into_doc},
    {"reset", do_curl_reset, METH_NOARGS, curl_reset_doc},
    {"send", do_curl_send, METH_VARARGS, curl_send_doc},
    {"setopt", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(do_curl_setopt)),
     METH_VARARGS | METH_KEYWORDS, curl_setopt_doc},
    {"setopt_string", do_curl_setopt_string, METH_VARARGS, curl_setopt_string_doc},
    {"share", do_curl_share, METH_NOARGS, curl_share_doc},
    {"unpause", do_curl_unpause, METH_NOARGS, curl_unpause_doc},
    {"unsetopt", do_curl_unsetopt, METH_VARARGS, curl_unsetopt_doc},
    {"set_ca_certs", do_curl_set_ca_certs, METH_VARARGS, curl_set_ca_certs_doc},
    {"ws_send", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(do_curl_ws_send)),
     METH_VARARGS | METH_KEYWORDS, curl_ws_send_doc},
    {"ws_recv", do_curl_ws_recv, METH_VARARGS, curl_ws_recv_doc},
    {"ws_recv_into", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(do_curl_ws_recv_into)),
     METH_VARARGS | METH_KEYWORDS, curl_ws_recv_into_doc},
    {"ws_close", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(do_curl_ws_close)),
     METH_VARARGS | METH_KEYWORDS, curl_ws_close_doc},
    {"ws_meta", do_curl_ws_meta, METH_NOARGS, curl_ws_meta_doc},
    {"__getstate__", do_curl_getstate, METH_NOARGS, curl_getstate_doc},
    {"__setstate__", do_curl_setstate, METH_VARARGS, curl_setstate_doc},
    {"__enter__", do_curl_enter, METH_NOARGS, curl_enter_doc},
    {"__exit__", do_curl_exit, METH_VARARGS, curl_exit_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef curlobject_getsets[] = {
    {"closed", do_curl_get_closed, nullptr, curl_closed_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject Curl_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tovrel.Curl",
    .tp_basicsize = sizeof(CurlObject),
    .tp_itemsize = 0,
    .tp_dealloc = do_curl_dealloc,
    .tp_getattro = do_curl_getattro,
    .tp_setattro = do_curl_setattro,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE,
    .tp_doc = curl_doc,
    .tp_traverse = do_curl_traverse,
    .tp_clear = do_curl_clear,
    .tp_weaklistoffset = offsetof(CurlObject, weakreflist),
    .tp_methods = curlobject_methods,
    .tp_getset = curlobject_getsets,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = do_curl_new,
    .tp_free = PyObject_GC_Del,
    .tp_finalize = do_curl_finalize,
};

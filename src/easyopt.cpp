// Setting options on a Curl object, and the holders that keep alive the
// memory libcurl points into.
#include "tovrel.h"

namespace {

void do_curlslist_dealloc(PyObject *op)
{
    auto *self = reinterpret_cast<CurlSlistObject *>(op);
    if (self->slist != nullptr) {
        curl_slist_free_all(self->slist);
        self->slist = nullptr;
    }
    Py_TYPE(op)->tp_free(op);
}

void do_curlhttppost_dealloc(PyObject *op)
{
    auto *self = reinterpret_cast<CurlHttppostObject *>(op);
    // The chain goes before the buffers it points into may.
    if (self->post != nullptr) {
        curl_formfree(self->post);
        self->post = nullptr;
    }
    Py_CLEAR(self->reflist);
    Py_TYPE(op)->tp_free(op);
}

}  // namespace

PyTypeObject CurlSlist_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tovrel.CurlSlist",
    .tp_basicsize = sizeof(CurlSlistObject),
    .tp_itemsize = 0,
    .tp_dealloc = do_curlslist_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_free = PyObject_Free,
};

PyTypeObject CurlHttppost_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tovrel.CurlHttppost",
    .tp_basicsize = sizeof(CurlHttppostObject),
    .tp_itemsize = 0,
    .tp_dealloc = do_curlhttppost_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_free = PyObject_Free,
};

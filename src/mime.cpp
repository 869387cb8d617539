// CurlMime and CurlMimePart: libcurl MIME structures and their parts.
#include "tovrel.h"

namespace {

CurlMimeObject *as_mime(PyObject *op)
{
    return reinterpret_cast<CurlMimeObject *>(op);
}

CurlMimePartObject *as_part(PyObject *op)
{
    return reinterpret_cast<CurlMimePartObject *>(op);
}

int do_curlmime_traverse(PyObject *op, visitproc visit, void *arg)
{
    CurlMimeObject *self = as_mime(op);
    Py_VISIT(self->curl);
    Py_VISIT(self->parts);
    Py_VISIT(self->submimes);
    Py_VISIT(self->data_cb_owners);
    return 0;
}

int do_curlmime_clear(PyObject *op)
{
    CurlMimeObject *self = as_mime(op);
    Py_CLEAR(self->curl);
    Py_CLEAR(self->parts);
    Py_CLEAR(self->submimes);
    Py_CLEAR(self->data_cb_owners);
    return 0;
}

void do_curlmime_dealloc(PyObject *op)
{
    CurlMimeObject *self = as_mime(op);
    PyObject_GC_UnTrack(op);
    if (self->handle != nullptr && self->owns_handle)
        curl_mime_free(self->handle);
    self->handle = nullptr;
    do_curlmime_clear(op);
    Py_TYPE(op)->tp_free(op);
}

int do_curlmimepart_traverse(PyObject *op, visitproc visit, void *arg)
{
    CurlMimePartObject *self = as_part(op);
    Py_VISIT(self->mime);
    Py_VISIT(self->data_cb_owner);
    return 0;
}

int do_curlmimepart_clear(PyObject *op)
{
    CurlMimePartObject *self = as_part(op);
    self->part = nullptr;
    Py_CLEAR(self->mime);
    Py_CLEAR(self->data_cb_owner);
    return 0;
}

void do_curlmimepart_dealloc(PyObject *op)
{
    PyObject_GC_UnTrack(op);
    do_curlmimepart_clear(op);
    Py_TYPE(op)->tp_free(op);
}

}  // namespace

void curlmime_duphandle_incref_data_cb_owners(CurlMimeObject *mime)
{
    // Parts with callback data arrive with streamed MIME data; until then no
    // structure has owners to count.
    assert(mime->data_cb_owners == nullptr || PyList_GET_SIZE(mime->data_cb_owners) == 0);
    (void)mime;
}

PyObject *do_curl_setopt_mimepost(CurlObject *, PyObject *)
{
    // No CurlMime can be made for a handle yet.
    PyErr_SetString(PyExc_TypeError, "invalid arguments to setopt");
    return nullptr;
}

PyTypeObject CurlMime_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tovrel.CurlMime",
    .tp_basicsize = sizeof(CurlMimeObject),
    .tp_itemsize = 0,
    .tp_dealloc = do_curlmime_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE,
    .tp_doc = curlmime_doc,
    .tp_traverse = do_curlmime_traverse,
    .tp_clear = do_curlmime_clear,
    .tp_free = PyObject_GC_Del,
};

PyTypeObject CurlMimePart_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tovrel.CurlMimePart",
    .tp_basicsize = sizeof(CurlMimePartObject),
    .tp_itemsize = 0,
    .tp_dealloc = do_curlmimepart_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = curlmimepart_doc,
    .tp_traverse = do_curlmimepart_traverse,
    .tp_clear = do_curlmimepart_clear,
    .tp_free = PyObject_GC_Del,
};

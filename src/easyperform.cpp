// Running transfers and raw connection I/O on a Curl object: perform, send,
// recv, recv_into, pause and unpause.
#include "tovrel.h"

namespace {

CurlObject *as_curl(PyObject *op)
{
    return reinterpret_cast<CurlObject *>(op);
}

CURLcode perform_easy_send(CurlObject *self, const void *data, size_t length, size_t *sent)
{
    ReleasedLock unlocked(&self->state);
    return curl_easy_send(self->handle, data, length, sent);
}

// Receive into `buffer`; the received count, or -1 with an exception set.
Py_ssize_t perform_easy_recv(CurlObject *self, char *buffer, Py_ssize_t size)
{
    size_t received = 0;
    CURLcode code;
    {
        FreshErrorBuffer fresh(self);
        {
            ReleasedLock unlocked(&self->state);
            code = curl_easy_recv(self->handle, buffer, static_cast<size_t>(size), &received);
        }
        if (check_pending_python_exception_or_signal() < 0 || check_easy_recv_send_result(self, code) < 0)
            return -1;
    }
    return static_cast<Py_ssize_t>(received);
}

PyObject *do_curl_pause_internal(CurlObject *self, int bitmask, const char *name)
{
    if (check_curl_state(self, STATE_NEED_HANDLE, name) < 0)
        return nullptr;
    // From the running transfer's own callbacks this is how a transfer is
    // paused; from any other thread it would race libcurl.
    if (check_curl_not_running_elsewhere(self, name) < 0)
        return nullptr;
    PyThreadState **slot = self->multi_stack != nullptr ? &self->multi_stack->state : &self->state;
    CURLcode code;
    {
        // libcurl may deliver held data to the write callback right here.
        ReleasedLockReentrant unlocked(slot);
        code = curl_easy_pause(self->handle, bitmask);
    }
    if (check_pending_python_exception_or_signal() < 0)
        return nullptr;
    if (code != CURLE_OK)
        return raise_code_and_text(code, "pause/unpause failed");
    Py_RETURN_NONE;
}

}  // namespace

PyObject *do_curl_perform(PyObject *op, PyObject *)
{
    CurlObject *self = as_curl(op);
    if (check_curl_state(self, STATE_NEED_HANDLE | STATE_NOT_RUNNING, "perform") < 0)
        return nullptr;
    // The buffer reports this transfer's failure, or nothing.
    self->error[0] = '\0';
    CURLcode code;
    {
        ReleasedLock unlocked(&self->state);
        code = curl_easy_perform(self->handle);
    }
    if (check_pending_python_exception_or_signal() < 0)
        return nullptr;
    if (code != CURLE_OK) {
        create_and_set_error_object(self, code);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *do_curl_send(PyObject *op, PyObject *args)
{
    CurlObject *self = as_curl(op);
    BufferView data;
    if (!PyArg_ParseTuple(args, "y*:send", data.view()))
        return nullptr;
    data.adopt();
    if (check_curl_state(self, STATE_NEED_HANDLE | STATE_NOT_RUNNING, "send") < 0)
        return nullptr;
    size_t sent = 0;
    FreshErrorBuffer fresh(self);
    CURLcode code = perform_easy_send(self, data.buf(), static_cast<size_t>(data.len()), &sent);
    if (check_pending_python_exception_or_signal() < 0 || check_easy_recv_send_result(self, code) < 0)
        return nullptr;
    return PyLong_FromSize_t(sent);
}

PyObject *do_curl_recv(PyObject *op, PyObject *args)
{
    CurlObject *self = as_curl(op);
    Py_ssize_t size;
    if (!PyArg_ParseTuple(args, "n:recv", &size))
        return nullptr;
    if (size < 0) {
        PyErr_SetString(PyExc_ValueError, "negative buffersize in recv");
        return nullptr;
    }
    if (check_curl_state(self, STATE_NEED_HANDLE | STATE_NOT_RUNNING, "recv") < 0)
        return nullptr;
    if (size == 0)
        return PyBytes_FromStringAndSize(nullptr, 0);
    BytesWriter writer(size);
    if (!writer)
        return nullptr;
    Py_ssize_t received = perform_easy_recv(self, writer.data(), size);
    if (received < 0)
        return nullptr;
    return writer.finish(received).release();
}

int parse_receive_into_args(CurlObject *self, PyObject *args, PyObject *kwds, const char *format, const char *name,
                            BufferView &buffer, Py_ssize_t *nbytes)
{
    static const char *keywords[] = {"buffer", "nbytes", nullptr};
    *nbytes = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, format, const_cast<char **>(keywords), buffer.view(), nbytes))
        return -1;
    buffer.adopt();
    if (*nbytes < 0) {
        PyErr_Format(PyExc_ValueError, "negative buffersize in %s", name);
        return -1;
    }
    if (*nbytes == 0)
        *nbytes = buffer.len();
    else if (*nbytes > buffer.len()) {
        PyErr_SetString(PyExc_ValueError, "buffer too small for requested bytes");
        return -1;
    }
    return check_curl_state(self, STATE_NEED_HANDLE | STATE_NOT_RUNNING, name);
}

PyObject *do_curl_recv_into(PyObject *op, PyObject *args, PyObject *kwds)
{
    CurlObject *self = as_curl(op);
    BufferView buffer;
    Py_ssize_t nbytes;
    if (parse_receive_into_args(self, args, kwds, "w*|n:recv_into", "recv_into", buffer, &nbytes) < 0)
        return nullptr;
    if (nbytes == 0)
        return PyLong_FromLong(0);
    Py_ssize_t received = perform_easy_recv(self, static_cast<char *>(buffer.buf()), nbytes);
    if (received < 0)
        return nullptr;
    return PyLong_FromSsize_t(received);
}

PyObject *do_curl_pause(PyObject *op, PyObject *args)
{
    int bitmask = CURLPAUSE_ALL;
    if (!PyArg_ParseTuple(args, "|i:pause", &bitmask))
        return nullptr;
    return do_curl_pause_internal(as_curl(op), bitmask, "pause");
}

PyObject *do_curl_unpause(PyObject *op, PyObject *)
{
    return do_curl_pause_internal(as_curl(op), CURLPAUSE_CONT, "unpause");
}

PyObject *do_curl_perform_rb(PyObject *op, PyObject *)
{
    Ref body = Ref::steal(PyObject_CallNoArgs(bytesio));
    if (!body)
        return nullptr;
    Ref args = Ref::steal(Py_BuildValue("(iO)", CURLOPT_WRITEDATA, body.get()));
    if (!args)
        return nullptr;
    Ref installed = Ref::steal(do_curl_setopt(op, args.get(), nullptr));
    if (!installed)
        return nullptr;
    Ref performed = Ref::steal(do_curl_perform(op, nullptr));
    if (!performed)
        return nullptr;
    return PyObject_CallMethod(body.get(), "getvalue", nullptr);
}

PyObject *do_curl_perform_rs(PyObject *op, PyObject *)
{
    Ref body = Ref::steal(do_curl_perform_rb(op, nullptr));
    if (!body)
        return nullptr;
    return PyUnicode_FromEncodedObject(body.get(), nullptr, "strict");
}

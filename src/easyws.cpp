// WebSocket frames on a Curl object: ws_send, ws_close, ws_recv,
// ws_recv_into and ws_meta.
#include "tovrel.h"

#include <bit>
#include <cstring>

namespace {

CurlObject *as_curl(PyObject *op)
{
    return reinterpret_cast<CurlObject *>(op);
}

constexpr unsigned int WS_CONTROL_BITS = CURLWS_CLOSE | CURLWS_PING | CURLWS_PONG;
constexpr long long WS_FLAGS_MAX = 0xFFFFFFFFLL;

// RFC 6455 section 5.5: a control frame carries at most 125 bytes, and a
// close frame's payload starts with the 2-byte status code.
constexpr Py_ssize_t WS_CLOSE_PAYLOAD_MAX = 125;
constexpr Py_ssize_t WS_CLOSE_CODE_SIZE = 2;

// The status codes an endpoint may put on the wire (RFC 6455 section 7.4):
// 1004 is reserved, 1005, 1006 and 1015 only ever describe a closure
// locally, 1016-2999 are unassigned and 3000-4999 belong to applications.
struct CloseCodeRange {
    long long first;
    long long last;
};
constexpr CloseCodeRange wire_close_codes[] = {
    {1000, 1003},
    {1007, 1014},
    {3000, 4999},
};

bool is_wire_close_code(long long code)
{
    for (const CloseCodeRange &range : wire_close_codes)
        if (code >= range.first && code <= range.last)
            return true;
    return false;
}

// The bytes of a frame payload: the caller's buffer, or the encoding of a
// str.  The view is released before the encoded copy goes.
struct Payload {
    Ref encoded;
    BufferView view;

    int from_text(PyObject *text, const char *encoding)
    {
        encoded = Ref::steal(PyUnicode_AsEncodedString(text, encoding, "strict"));
        if (!encoded)
            return -1;
        return view.acquire(encoded.get(), PyBUF_SIMPLE);
    }

    int from_object(PyObject *obj, const char *encoding)
    {
        if (PyUnicode_Check(obj))
            return from_text(obj, encoding);
        return view.acquire(obj, PyBUF_SIMPLE);
    }
};

// ---------------------------------------------------------------------------
// sending

// Sends are also admitted from the WRITEFUNCTION callable of the handle's
// own running transfer, on the thread running it: libcurl then sends on
// the live connection, blocking until the frame is out.
int check_ws_send_state(CurlObject *self, const char *name)
{
    if (check_curl_state(self, STATE_NEED_HANDLE, name) < 0)
        return -1;
    // a MIME callable run inside a libcurl call on this handle finds it busy
    if (self->mime_call_depth > 0)
        return refuse_busy_curl(name);
    PyThreadState *running = tovrel_get_thread_state(self);
    if (running == nullptr || (self->in_writefunction && running == PyThreadState_Get()))
        return 0;
    PyErr_Format(ErrorObject, "cannot invoke %s() - perform() is currently running outside WRITEFUNCTION callback",
                 name);
    return -1;
}

// From inside the write callback this is the slot the running transfer
// re-enters through; otherwise the one a transfer of this handle would use,
// so that a stack the handle belongs to stays busy while the send runs.
PyThreadState **ws_send_slot(CurlObject *self)
{
    PyThreadState **running = tovrel_get_thread_state_slot(self);
    if (running != nullptr)
        return running;
    return self->multi_stack != nullptr ? &self->multi_stack->state : &self->state;
}

PyObject *ws_send_frame(CurlObject *self, const void *data, Py_ssize_t length, Py_ssize_t fragsize,
                        unsigned int flags)
{
    size_t sent = 0;
    FreshErrorBuffer fresh(self);
    CURLcode code;
    {
        ReleasedLockReentrant unlocked(ws_send_slot(self));
        code = curl_ws_send(self->handle, data, static_cast<size_t>(length), &sent, static_cast<curl_off_t>(fragsize),
                            flags);
    }
    if (check_pending_python_exception_or_signal() < 0 || check_easy_recv_send_result(self, code) < 0)
        return nullptr;
    return PyLong_FromSize_t(sent);
}

// 1 with `*flags` set, 0 for None (the data decides), -1 with an exception.
int ws_flags_from_object(PyObject *obj, unsigned int *flags)
{
    if (obj == Py_None)
        return 0;
    long long value = PyLong_AsLongLong(obj);
    if (value == -1 && PyErr_Occurred())
        return -1;
    if (value < 0) {
        PyErr_SetString(PyExc_ValueError, "flags must be non-negative");
        return -1;
    }
    if (value > WS_FLAGS_MAX) {
        PyErr_SetString(PyExc_OverflowError, "flags out of range for curl_ws_send");
        return -1;
    }
    *flags = static_cast<unsigned int>(value);
    return 1;
}

// Combinations no frame can have.  WS_OFFSET and bits libcurl may add
// later pass through untouched.
int check_ws_flag_combination(unsigned int flags)
{
    const char *refusal = nullptr;
    if ((flags & (CURLWS_TEXT | CURLWS_BINARY)) == (CURLWS_TEXT | CURLWS_BINARY))
        refusal = "ws_send: cannot set both WS_TEXT and WS_BINARY";
    else if ((flags & CURLWS_CONT) && (flags & WS_CONTROL_BITS))
        refusal = "ws_send: control frames cannot be fragmented (WS_CONT forbidden with WS_PING/WS_PONG/WS_CLOSE)";
    else if (std::popcount(flags & WS_CONTROL_BITS) > 1)
        refusal = "ws_send: only one of WS_PING / WS_PONG / WS_CLOSE may be set";
    if (refusal == nullptr)
        return 0;
    PyErr_SetString(PyExc_ValueError, refusal);
    return -1;
}

// The payload of ws_send; without explicit flags the kind of data picks
// the frame type.
int ws_send_payload(Payload &payload, PyObject *data, bool flags_given, unsigned int *flags, const char *encoding)
{
    if (data == Py_None) {
        PyErr_SetString(PyExc_TypeError,
                        "ws_send: data must be str or bytes-like, not NoneType (use b\"\" for an empty payload)");
        return -1;
    }
    if (PyUnicode_Check(data)) {
        if (flags_given && (*flags & CURLWS_BINARY)) {
            PyErr_SetString(PyExc_TypeError, "ws_send: str data is incompatible with WS_BINARY; "
                                             "pass bytes-like data for binary frames");
            return -1;
        }
        if (flags_given && (*flags & CURLWS_CLOSE)) {
            PyErr_SetString(PyExc_TypeError, "ws_send: str data is incompatible with WS_CLOSE; "
                                             "use ws_close() or pass a bytes-like payload");
            return -1;
        }
        if (!flags_given)
            *flags = CURLWS_TEXT;
        return payload.from_text(data, encoding);
    }
    if (!flags_given)
        *flags = CURLWS_BINARY;
    return payload.view.acquire(data, PyBUF_SIMPLE);
}

// The close frame's payload: nothing, the status code, or the code and a
// UTF-8 reason.  Returns the payload length, or -1 with an exception set.
Py_ssize_t ws_close_payload(PyObject *code_obj, PyObject *reason_obj, const char *encoding,
                            unsigned char (&frame)[WS_CLOSE_PAYLOAD_MAX])
{
    if (code_obj == Py_None) {
        if (reason_obj != Py_None) {
            PyErr_SetString(PyExc_ValueError, "ws_close: reason requires code (RFC 6455 \u00a75.5.1)");
            return -1;
        }
        return 0;
    }
    long long code = PyLong_AsLongLong(code_obj);
    if (code == -1 && PyErr_Occurred())
        return -1;
    if (!is_wire_close_code(code)) {
        PyErr_SetString(PyExc_ValueError, "ws_close: code must be a valid wire close status code");
        return -1;
    }
    frame[0] = static_cast<unsigned char>(code >> 8);
    frame[1] = static_cast<unsigned char>(code & 0xFF);
    if (reason_obj == Py_None)
        return WS_CLOSE_CODE_SIZE;
    Payload reason;
    if (reason.from_object(reason_obj, encoding) < 0)
        return -1;
    if (reason.view.len() == 0)
        return WS_CLOSE_CODE_SIZE;
    Ref decoded = Ref::steal(PyUnicode_DecodeUTF8(static_cast<const char *>(reason.view.buf()), reason.view.len(),
                                                  "strict"));
    if (!decoded)
        return -1;
    Py_ssize_t length = reason.view.len() + WS_CLOSE_CODE_SIZE;
    if (length > WS_CLOSE_PAYLOAD_MAX) {
        PyErr_Format(PyExc_ValueError, "ws_close: payload too large (%zd bytes, max 125 including 2-byte status code)",
                     length);
        return -1;
    }
    std::memcpy(frame + WS_CLOSE_CODE_SIZE, reason.view.buf(), static_cast<size_t>(reason.view.len()));
    return length;
}

// ---------------------------------------------------------------------------
// receiving

// What one curl_ws_recv call delivered.  The frame is copied: libcurl's own
// is only good until its next WebSocket call on the handle.
struct WsReceived {
    size_t received = 0;
    bool has_frame = false;
    curl_ws_frame frame{};
};

Ref ws_frame_object(const curl_ws_frame *frame)
{
    if (frame == nullptr)
        return Ref::newref(Py_None);
    Ref fields[] = {
        Ref::steal(PyLong_FromLong(frame->age)),
        Ref::steal(PyLong_FromLong(frame->flags)),
        Ref::steal(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(frame->offset))),
        Ref::steal(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(frame->bytesleft))),
        Ref::steal(PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(frame->len))),
    };
    for (const Ref &field : fields) {
        if (!field)
            return Ref();
    }
    Ref values = Ref::steal(PyTuple_Pack(5, fields[0].get(), fields[1].get(), fields[2].get(), fields[3].get(),
                                         fields[4].get()));
    Ref args = values ? Ref::steal(PyTuple_Pack(1, values.get())) : Ref();
    if (!args)
        return Ref();
    // What the named tuple's own __new__ ends in (tuple.__new__ of the type
    // with the values), without running that Python function for every
    // frame received.
    return Ref::steal(PyTuple_Type.tp_new(reinterpret_cast<PyTypeObject *>(ws_frame_type), args.get(), nullptr));
}

Ref ws_frame_object(const WsReceived &got)
{
    return ws_frame_object(got.has_frame ? &got.frame : nullptr);
}

int ws_receive(CurlObject *self, void *buffer, Py_ssize_t length, WsReceived *got)
{
    FreshErrorBuffer fresh(self);
    CURLcode code;
    {
        ReleasedLock unlocked(&self->state);
        const curl_ws_frame *frame = nullptr;
        code = curl_ws_recv(self->handle, buffer, static_cast<size_t>(length), &got->received, &frame);
        if (code == CURLE_OK && frame != nullptr) {
            got->frame = *frame;
            got->has_frame = true;
        }
    }
    if (check_pending_python_exception_or_signal() < 0 || check_easy_recv_send_result(self, code) < 0)
        return -1;
    return 0;
}

PyObject *received_pair(Ref data, const WsReceived &got)
{
    if (!data)
        return nullptr;
    Ref meta = ws_frame_object(got);
    if (!meta)
        return nullptr;
    return PyTuple_Pack(2, data.get(), meta.get());
}

}  // namespace

PyObject *do_curl_ws_send(PyObject *op, PyObject *args, PyObject *kwds)
{
    CurlObject *self = as_curl(op);
    static const char *keywords[] = {"data", "flags", "fragsize", "encoding", nullptr};
    PyObject *data;
    PyObject *flags_obj = Py_None;
    Py_ssize_t fragsize = 0;
    const char *encoding = "utf-8";
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|Ons:ws_send", const_cast<char **>(keywords), &data, &flags_obj,
                                     &fragsize, &encoding))
        return nullptr;
    if (fragsize < 0) {
        PyErr_SetString(PyExc_ValueError, "negative fragsize in ws_send");
        return nullptr;
    }
    unsigned int flags = 0;
    int flags_given = ws_flags_from_object(flags_obj, &flags);
    if (flags_given < 0 || (flags_given && check_ws_flag_combination(flags) < 0))
        return nullptr;
    Payload payload;
    if (ws_send_payload(payload, data, flags_given, &flags, encoding) < 0)
        return nullptr;
    if (check_ws_send_state(self, "ws_send") < 0)
        return nullptr;
    return ws_send_frame(self, payload.view.buf(), payload.view.len(), fragsize, flags);
}

PyObject *do_curl_ws_close(PyObject *op, PyObject *args, PyObject *kwds)
{
    CurlObject *self = as_curl(op);
    static const char *keywords[] = {"code", "reason", "encoding", nullptr};
    PyObject *code = Py_None;
    PyObject *reason = Py_None;
    const char *encoding = "utf-8";
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OOs:ws_close", const_cast<char **>(keywords), &code, &reason,
                                     &encoding))
        return nullptr;
    unsigned char frame[WS_CLOSE_PAYLOAD_MAX];
    Py_ssize_t length = ws_close_payload(code, reason, encoding, frame);
    if (length < 0)
        return nullptr;
    if (check_ws_send_state(self, "ws_close") < 0)
        return nullptr;
    return ws_send_frame(self, frame, length, 0, CURLWS_CLOSE);
}

PyObject *do_curl_ws_recv(PyObject *op, PyObject *args)
{
    CurlObject *self = as_curl(op);
    Py_ssize_t size;
    if (!PyArg_ParseTuple(args, "n:ws_recv", &size))
        return nullptr;
    if (size < 0) {
        PyErr_SetString(PyExc_ValueError, "negative buffersize in ws_recv");
        return nullptr;
    }
    if (check_curl_state(self, STATE_NEED_HANDLE | STATE_NOT_RUNNING, "ws_recv") < 0)
        return nullptr;
    WsReceived got;
    if (size == 0) {
        // Reports the waiting frame without consuming its payload.
        if (ws_receive(self, nullptr, 0, &got) < 0)
            return nullptr;
        return received_pair(Ref::steal(PyBytes_FromStringAndSize(nullptr, 0)), got);
    }
    BytesWriter writer(size);
    if (!writer)
        return nullptr;
    if (ws_receive(self, writer.data(), size, &got) < 0)
        return nullptr;
    return received_pair(writer.finish(static_cast<Py_ssize_t>(got.received)), got);
}

PyObject *do_curl_ws_recv_into(PyObject *op, PyObject *args, PyObject *kwds)
{
    CurlObject *self = as_curl(op);
    BufferView buffer;
    Py_ssize_t nbytes;
    if (parse_receive_into_args(self, args, kwds, "w*|n:ws_recv_into", "ws_recv_into", buffer, &nbytes) < 0)
        return nullptr;
    WsReceived got;
    if (ws_receive(self, nbytes > 0 ? buffer.buf() : nullptr, nbytes, &got) < 0)
        return nullptr;
    return received_pair(Ref::steal(PyLong_FromSize_t(got.received)), got);
}

PyObject *do_curl_ws_meta(PyObject *op, PyObject *)
{
    CurlObject *self = as_curl(op);
    if (check_curl_state(self, STATE_NEED_HANDLE, "ws_meta") < 0)
        return nullptr;
    // libcurl's frame state belongs to whichever thread runs the transfer;
    // reading it from any other would race with libcurl rewriting it.
    if (check_curl_not_running_elsewhere(self, "ws_meta") < 0)
        return nullptr;
    return ws_frame_object(curl_ws_meta(self->handle)).release();
}

// The trampolines through which libcurl calls the Python callables stored
// on a Curl object, and the table that ties each callback option to its
// field, its user-data option and its trampoline.
#include "tovrel.h"

#include <cstdarg>
#include <cstring>

namespace {

CurlObject *as_curl(void *userdata)
{
    return static_cast<CurlObject *>(userdata);
}

// Calls `callable(arg)`, consuming the reference to `arg`.
Ref call_with(PyObject *callable, Ref arg)
{
    if (!arg)
        return Ref();
    return Ref::steal(PyObject_CallOneArg(callable, arg.get()));
}

// ---------------------------------------------------------------------------
// Storage for memoryview delivery.
//
// A memoryview handed to a write or header callable must be unusable once
// the call returns, yet slices of it and buffers taken from it outlive a
// release() of the view itself.  So the view never points into libcurl's
// buffer: it points into this object's memory, which lives as long as any
// view of it.  The export count tells whether a view escaped the call; an
// escaped buffer is left to its views and a fresh one used next time.

struct CallbackBufferObject {
    PyObject_HEAD
    char *data;
    Py_ssize_t length;
    Py_ssize_t capacity;
    Py_ssize_t exports;
};

int callback_buffer_getbuffer(PyObject *op, Py_buffer *view, int flags)
{
    auto *self = reinterpret_cast<CallbackBufferObject *>(op);
    if (PyBuffer_FillInfo(view, op, self->data, self->length, 1, flags) < 0)
        return -1;
    ++self->exports;
    return 0;
}

void callback_buffer_releasebuffer(PyObject *op, Py_buffer *)
{
    --reinterpret_cast<CallbackBufferObject *>(op)->exports;
}

void callback_buffer_dealloc(PyObject *op)
{
    PyMem_Free(reinterpret_cast<CallbackBufferObject *>(op)->data);
    Py_TYPE(op)->tp_free(op);
}

PyBufferProcs callback_buffer_as_buffer = {
    .bf_getbuffer = callback_buffer_getbuffer,
    .bf_releasebuffer = callback_buffer_releasebuffer,
};

PyTypeObject CallbackBuffer_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tovrel._CallbackBuffer",
    .tp_basicsize = sizeof(CallbackBufferObject),
    .tp_dealloc = callback_buffer_dealloc,
    .tp_as_buffer = &callback_buffer_as_buffer,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_free = PyObject_Free,
};

// A buffer holding a copy of `data`: the handle's cached one when no view
// of it is alive, else a new one.
Ref fill_callback_buffer(CurlObject *self, const char *data, Py_ssize_t length)
{
    auto *cached = reinterpret_cast<CallbackBufferObject *>(self->callback_buffer);
    Ref buffer;
    if (cached != nullptr && cached->exports == 0) {
        buffer = Ref::newref(self->callback_buffer);
    } else {
        if (PyType_Ready(&CallbackBuffer_Type) < 0)
            return Ref();
        buffer = Ref::steal(reinterpret_cast<PyObject *>(PyObject_New(CallbackBufferObject, &CallbackBuffer_Type)));
        if (!buffer)
            return Ref();
        auto *fresh = reinterpret_cast<CallbackBufferObject *>(buffer.get());
        fresh->data = nullptr;
        fresh->length = fresh->capacity = fresh->exports = 0;
        Py_XSETREF(self->callback_buffer, Py_NewRef(buffer.get()));
    }
    auto *target = reinterpret_cast<CallbackBufferObject *>(buffer.get());
    if (target->capacity < length) {
        char *grown = static_cast<char *>(PyMem_Realloc(target->data, static_cast<size_t>(length)));
        if (grown == nullptr) {
            PyErr_NoMemory();
            return Ref();
        }
        target->data = grown;
        target->capacity = length;
    }
    std::memcpy(target->data, data, static_cast<size_t>(length));
    target->length = length;
    return buffer;
}

// Release the view given to a callable, keeping the callable's own
// exception (if any) as the one pending.
void release_view(PyObject *view)
{
    PyObject *exc = PyErr_GetRaisedException();
    Ref result = Ref::steal(PyObject_CallMethod(view, "release", nullptr));
    if (!result)
        PyErr_Clear();
    PyErr_SetRaisedException(exc);
}

// ---------------------------------------------------------------------------
// data-path trampolines

enum WriteTarget { WRITE_BODY = 0, WRITE_HEADER = 1 };

bool product_fits(size_t size, size_t nmemb, Py_ssize_t *product)
{
    size_t total;
    if (__builtin_mul_overflow(size, nmemb, &total) || total > static_cast<size_t>(PY_SSIZE_T_MAX))
        return false;
    *product = static_cast<Py_ssize_t>(total);
    return true;
}

size_t util_write_callback(int target, char *ptr, size_t size, size_t nmemb, void *userdata)
{
    CurlObject *self = as_curl(userdata);
    return run_trampoline(tovrel_get_thread_state_slot(self), "util_write_callback failed to acquire thread",
                          size_t(0), [&]() -> size_t {
        PyObject *field = target == WRITE_BODY ? self->writefunction : self->headerfunction;
        if (field == nullptr || size == 0 || nmemb == 0)
            return 0;
        Py_ssize_t total;
        if (!product_fits(size, nmemb, &total)) {
            report_callback_error("integer overflow in write callback");
            return 0;
        }
        Ref callable = Ref::newref(field);
        bool as_view = (target == WRITE_BODY ? self->writefunction_memoryview : self->headerfunction_memoryview) != 0;
        Ref arg;
        if (as_view) {
            Ref buffer = fill_callback_buffer(self, ptr, total);
            if (buffer)
                arg = Ref::steal(PyMemoryView_FromObject(buffer.get()));
        } else {
            arg = Ref::steal(PyBytes_FromStringAndSize(ptr, total));
        }
        if (!arg) {
            print_callback_error_if_regular_exception();
            return 0;
        }
        Ref result;
        if (target == WRITE_BODY) {
            int saved = self->in_writefunction;
            self->in_writefunction = 1;
            result = Ref::steal(PyObject_CallOneArg(callable.get(), arg.get()));
            self->in_writefunction = saved;
        } else {
            result = Ref::steal(PyObject_CallOneArg(callable.get(), arg.get()));
        }
        if (as_view)
            release_view(arg.get());
        if (!result) {
            print_callback_error_if_regular_exception();
            return 0;
        }
        if (result.get() == Py_None)
            return static_cast<size_t>(total);
        if (PyLong_Check(result.get())) {
            long count = PyLong_AsLong(result.get());
            if (count == -1 && PyErr_Occurred()) {
                print_callback_error_if_regular_exception();
                return 0;
            }
            return static_cast<size_t>(count);
        }
        report_callback_error("write callback must return int or None");
        return 0;
    });
}

size_t write_callback(char *ptr, size_t size, size_t nmemb, void *userdata)
{
    return util_write_callback(WRITE_BODY, ptr, size, nmemb, userdata);
}

size_t header_callback(char *ptr, size_t size, size_t nmemb, void *userdata)
{
    return util_write_callback(WRITE_HEADER, ptr, size, nmemb, userdata);
}

// Copy a callable's upload data into libcurl's buffer.
size_t copy_read_result(PyObject *result, char *buffer, Py_ssize_t wanted)
{
    if (PyUnicode_Check(result)) {
        Ref encoded = Ref::steal(PyUnicode_AsEncodedString(result, "ascii", "strict"));
        if (!encoded) {
            print_callback_error_if_regular_exception();
            return CURL_READFUNC_ABORT;
        }
        Py_ssize_t length = PyBytes_GET_SIZE(encoded.get());
        if (length > wanted) {
            report_callback_error("invalid return value for read callback (%ld bytes returned after encoding to "
                                  "ascii when at most %ld bytes were wanted)",
                                  static_cast<long>(length), static_cast<long>(wanted));
            return CURL_READFUNC_ABORT;
        }
        std::memcpy(buffer, PyBytes_AS_STRING(encoded.get()), static_cast<size_t>(length));
        return static_cast<size_t>(length);
    }
    if (PyObject_CheckBuffer(result)) {
        BufferView data;
        if (data.acquire(result, PyBUF_SIMPLE) < 0) {
            print_callback_error_if_regular_exception();
            return CURL_READFUNC_ABORT;
        }
        if (data.len() > wanted) {
            report_callback_error("invalid return value for read callback (%ld bytes returned when at most %ld "
                                  "bytes were wanted)",
                                  static_cast<long>(data.len()), static_cast<long>(wanted));
            return CURL_READFUNC_ABORT;
        }
        std::memcpy(buffer, data.buf(), static_cast<size_t>(data.len()));
        return static_cast<size_t>(data.len());
    }
    if (PyLong_Check(result)) {
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(result, &overflow);
        if (!overflow && (value == CURL_READFUNC_ABORT || value == CURL_READFUNC_PAUSE))
            return static_cast<size_t>(value);
    }
    report_callback_error("read callback must return an object supporting the buffer protocol (e.g. a byte "
                          "string) or an ASCII-only Unicode string");
    return CURL_READFUNC_ABORT;
}

size_t read_callback(char *ptr, size_t size, size_t nmemb, void *userdata)
{
    CurlObject *self = as_curl(userdata);
    return run_trampoline(tovrel_get_thread_state_slot(self), "read_callback failed to acquire thread",
                          size_t(CURL_READFUNC_ABORT), [&]() -> size_t {
        if (self->readfunction == nullptr || size == 0 || nmemb == 0)
            return CURL_READFUNC_ABORT;
        Py_ssize_t wanted;
        if (!product_fits(size, nmemb, &wanted)) {
            report_callback_error("integer overflow in read callback");
            return CURL_READFUNC_ABORT;
        }
        Ref callable = Ref::newref(self->readfunction);
        Ref result = call_with(callable.get(), Ref::steal(PyLong_FromLong(static_cast<int>(wanted))));
        if (!result) {
            print_callback_error_if_regular_exception();
            return CURL_READFUNC_ABORT;
        }
        return copy_read_result(result.get(), ptr, wanted);
    });
}

int seek_callback(void *userdata, curl_off_t offset, int origin)
{
    CurlObject *self = as_curl(userdata);
    return run_trampoline(tovrel_get_thread_state_slot(self), "seek_callback failed to acquire thread",
                          int(CURL_SEEKFUNC_CANTSEEK), [&]() -> int {
        if (self->seekfunction == nullptr)
            return CURL_SEEKFUNC_CANTSEEK;
        Ref callable = Ref::newref(self->seekfunction);
        Ref result = Ref::steal(PyObject_CallFunction(callable.get(), "Li", static_cast<long long>(offset), origin));
        if (!result) {
            print_callback_error_if_regular_exception();
            return CURL_SEEKFUNC_CANTSEEK;
        }
        if (result.get() == Py_None)
            return CURL_SEEKFUNC_OK;
        if (PyLong_Check(result.get())) {
            long value = PyLong_AsLong(result.get());
            if (value == -1 && PyErr_Occurred()) {
                print_callback_error_if_regular_exception();
                return CURL_SEEKFUNC_CANTSEEK;
            }
            int code = static_cast<int>(static_cast<uint32_t>(value));
            if (static_cast<unsigned int>(code) < 3)
                return code;
            report_callback_error("invalid return value for seek callback %d not in (0, 1, 2)", code);
            return CURL_SEEKFUNC_CANTSEEK;
        }
        report_callback_error("seek callback must return 0 (CURL_SEEKFUNC_OK), 1 (CURL_SEEKFUNC_FAIL), 2 "
                              "(CURL_SEEKFUNC_CANTSEEK) or None");
        return CURL_SEEKFUNC_CANTSEEK;
    });
}

// None continues, an int is the verdict, anything else its truth value.
int progress_verdict(PyObject *result)
{
    if (result == Py_None)
        return 0;
    if (PyLong_Check(result)) {
        long value = PyLong_AsLong(result);
        if (value == -1 && PyErr_Occurred()) {
            print_callback_error_if_regular_exception();
            return 1;
        }
        return static_cast<int>(value);
    }
    int truth = PyObject_IsTrue(result);
    if (truth < 0) {
        print_callback_error_if_regular_exception();
        return -1;
    }
    return truth;
}

template <typename Count>
int report_progress(void *userdata, PyObject *CurlObject::*field, const char *failed_message, const char *format,
                    Count dltotal, Count dlnow, Count ultotal, Count ulnow)
{
    CurlObject *self = as_curl(userdata);
    return run_trampoline(tovrel_get_thread_state_slot(self), failed_message, 1, [&]() -> int {
        if (self->*field == nullptr)
            return 1;
        Ref callable = Ref::newref(self->*field);
        Ref result = Ref::steal(PyObject_CallFunction(callable.get(), format, dltotal, dlnow, ultotal, ulnow));
        if (!result) {
            print_callback_error_if_regular_exception();
            return 1;
        }
        return progress_verdict(result.get());
    });
}

int progress_callback(void *userdata, double dltotal, double dlnow, double ultotal, double ulnow)
{
    return report_progress(userdata, &CurlObject::progressfunction, "progress_callback failed to acquire thread",
                           "dddd", dltotal, dlnow, ultotal, ulnow);
}

int xferinfo_callback(void *userdata, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal, curl_off_t ulnow)
{
    return report_progress(userdata, &CurlObject::xferinfofunction, "xferinfo_callback failed to acquire thread",
                           "LLLL", static_cast<long long>(dltotal), static_cast<long long>(dlnow),
                           static_cast<long long>(ultotal), static_cast<long long>(ulnow));
}

int debug_callback(CURL *, curl_infotype type, char *data, size_t size, void *userdata)
{
    CurlObject *self = as_curl(userdata);
    return run_trampoline(tovrel_get_thread_state_slot(self), "debug_callback failed to acquire thread", 0,
                          [&]() -> int {
        if (self->debugfunction == nullptr)
            return 0;
        if (size > static_cast<size_t>(INT_MAX)) {
            report_callback_error("integer overflow in debug callback");
            return 0;
        }
        Ref callable = Ref::newref(self->debugfunction);
        Ref result = Ref::steal(PyObject_CallFunction(callable.get(), "iy#", static_cast<int>(type), data,
                                                      static_cast<Py_ssize_t>(size)));
        if (!result)
            print_callback_error_if_regular_exception();
        return 0;
    });
}

curlioerr ioctl_callback(CURL *, int cmd, void *userdata)
{
    CurlObject *self = as_curl(userdata);
    return run_trampoline(tovrel_get_thread_state_slot(self), "ioctl_callback failed to acquire thread",
                          CURLIOE_FAILRESTART, [&]() -> curlioerr {
        if (self->ioctlfunction == nullptr)
            return CURLIOE_FAILRESTART;
        Ref callable = Ref::newref(self->ioctlfunction);
        Ref result = call_with(callable.get(), Ref::steal(PyLong_FromLong(cmd)));
        if (!result) {
            print_callback_error_if_regular_exception();
            return CURLIOE_FAILRESTART;
        }
        if (result.get() == Py_None)
            return CURLIOE_OK;
        if (!PyLong_Check(result.get()))
            return CURLIOE_FAILRESTART;
        long value = PyLong_AsLong(result.get());
        if (value == -1 && PyErr_Occurred()) {
            print_callback_error_if_regular_exception();
            return CURLIOE_FAILRESTART;
        }
        int code = static_cast<int>(value);
        if (static_cast<unsigned int>(code) > CURLIOE_FAILRESTART)
            report_callback_error("ioctl callback returned invalid value");
        return static_cast<curlioerr>(code);
    });
}

template <typename F>
CallbackFn trampoline(F *function)
{
    return reinterpret_cast<CallbackFn>(function);
}

}  // namespace

// ---------------------------------------------------------------------------

const CallbackField curl_callback_fields[18] = {
    {CURLOPT_WRITEFUNCTION, &CurlObject::writefunction, CURLOPT_WRITEDATA, trampoline(write_callback), nullptr},
    {CURLOPT_HEADERFUNCTION, &CurlObject::headerfunction, CURLOPT_HEADERDATA, trampoline(header_callback), nullptr},
    {CURLOPT_READFUNCTION, &CurlObject::readfunction, CURLOPT_READDATA, trampoline(read_callback), nullptr},
    {CURLOPT_PROGRESSFUNCTION, &CurlObject::progressfunction, CURLOPT_PROGRESSDATA, trampoline(progress_callback),
     "PROGRESSFUNCTION is deprecated; use XFERINFOFUNCTION"},
    {CURLOPT_XFERINFOFUNCTION, &CurlObject::xferinfofunction, CURLOPT_XFERINFODATA, trampoline(xferinfo_callback),
     nullptr},
    {CURLOPT_DEBUGFUNCTION, &CurlObject::debugfunction, CURLOPT_DEBUGDATA, trampoline(debug_callback), nullptr},
    {CURLOPT_IOCTLFUNCTION, &CurlObject::ioctlfunction, CURLOPT_IOCTLDATA, trampoline(ioctl_callback),
     "IOCTLFUNCTION is deprecated; use SEEKFUNCTION"},
    {CURLOPT_SEEKFUNCTION, &CurlObject::seekfunction, CURLOPT_SEEKDATA, trampoline(seek_callback), nullptr},
    {CURLOPT_OPENSOCKETFUNCTION, &CurlObject::opensocketfunction, CURLOPT_OPENSOCKETDATA, nullptr, nullptr},
    {CURLOPT_CLOSESOCKETFUNCTION, &CurlObject::closesocketfunction, CURLOPT_CLOSESOCKETDATA, nullptr, nullptr},
    {CURLOPT_SOCKOPTFUNCTION, &CurlObject::sockoptfunction, CURLOPT_SOCKOPTDATA, nullptr, nullptr},
    {CURLOPT_SSH_KEYFUNCTION, &CurlObject::ssh_keyfunction, CURLOPT_SSH_KEYDATA, nullptr, nullptr},
    {CURLOPT_PREREQFUNCTION, &CurlObject::prereqfunction, CURLOPT_PREREQDATA, nullptr, nullptr},
    {CURLOPT_FNMATCH_FUNCTION, &CurlObject::fnmatch_function, CURLOPT_FNMATCH_DATA, nullptr, nullptr},
    {CURLOPT_RESOLVER_START_FUNCTION, &CurlObject::resolver_start_function, CURLOPT_RESOLVER_START_DATA, nullptr,
     nullptr},
    {CURLOPT_TRAILERFUNCTION, &CurlObject::trailerfunction, CURLOPT_TRAILERDATA, nullptr, nullptr},
    {CURLOPT_HSTSREADFUNCTION, &CurlObject::hstsreadfunction, CURLOPT_HSTSREADDATA, nullptr, nullptr},
    {CURLOPT_HSTSWRITEFUNCTION, &CurlObject::hstswritefunction, CURLOPT_HSTSWRITEDATA, nullptr, nullptr},
};

const CallbackField *find_callback_field(int option)
{
    for (const CallbackField &cb : curl_callback_fields) {
        if (cb.option == option)
            return &cb;
    }
    return nullptr;
}

void report_callback_error(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    Ref message = Ref::steal(PyUnicode_FromFormatV(format, args));
    va_end(args);
    if (message)
        PyErr_SetObject(ErrorObject, message.get());
    print_callback_error_if_regular_exception();
}

int callback_return_value_to_int(PyObject *result, const char *name, int *out)
{
    if (result == nullptr)
        return -1;
    if (PyLong_Check(result)) {
        long value = PyLong_AsLong(result);
        if (value == -1 && PyErr_Occurred())
            return -1;
        *out = static_cast<int>(value);
        return 0;
    }
    Ref repr = Ref::steal(PyObject_Repr(result));
    if (!repr)
        return -1;
    PyObject *encoded = nullptr;
    const char *text = PyText_AsString_NoNUL(repr.get(), &encoded);
    Ref encoded_ref = Ref::steal(encoded);
    if (text == nullptr) {
        // A repr that is not plain ASCII still deserves a line on stderr.
        PyErr_Clear();
        text = "<unprintable>";
    }
    fprintf(stderr, "%s callback returned %s which is not an integer\n", name, text);
    return -1;
}

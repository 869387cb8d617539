// The trampolines through which libcurl calls the Python callables stored
// on a Curl object, and the table that ties each callback option to its
// field, its user-data option and its trampoline.
#include "tovrel.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/un.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

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
    // Made once: this runs for every chunk of a download, and building the
    // name anew each time (text decoding, hashing) costs more than the call.
    static PyObject *release_name = nullptr;
    PyObject *exc = PyErr_GetRaisedException();
    if (release_name == nullptr)
        release_name = PyUnicode_InternFromString("release");
    Ref result = release_name != nullptr ? Ref::steal(PyObject_CallMethodNoArgs(view, release_name)) : Ref();
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

constexpr char read_callback_wrong_type[] =
    "read callback must return an object supporting the buffer protocol (e.g. a byte string) or an ASCII-only "
    "Unicode string";

constexpr UploadChunkWording read_callback_wording = {
    .too_long = "invalid return value for read callback (%ld bytes returned when at most %ld bytes were wanted)",
    .encoded_too_long = "invalid return value for read callback (%ld bytes returned after encoding to ascii when "
                        "at most %ld bytes were wanted)",
    .wrong_number = read_callback_wrong_type,
    .wrong_type = read_callback_wrong_type,
};

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
        return copy_upload_chunk(result.get(), ptr, wanted, read_callback_wording);
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
        return seek_result_code(result.get(), CURL_SEEKFUNC_CANTSEEK,
                                "invalid return value for seek callback %d not in (0, 1, 2)",
                                "seek callback must return 0 (CURL_SEEKFUNC_OK), 1 (CURL_SEEKFUNC_FAIL), 2 "
                                "(CURL_SEEKFUNC_CANTSEEK) or None");
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

// ---------------------------------------------------------------------------
// connection trampolines

// The address libcurl is about to connect to, as the open-socket callable
// sees it: (host, port[, flowinfo, scope_id]) or the UNIX socket path.
Ref socket_address(const struct sockaddr *address)
{
    char text[INET6_ADDRSTRLEN];
    switch (address->sa_family) {
    case AF_INET: {
        auto *in = reinterpret_cast<const sockaddr_in *>(address);
        if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text) == nullptr) {
            PyErr_SetFromErrno(ErrorObject);
            return Ref();
        }
        return Ref::steal(Py_BuildValue("(si)", text, ntohs(in->sin_port)));
    }
    case AF_INET6: {
        auto *in6 = reinterpret_cast<const sockaddr_in6 *>(address);
        if (inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text) == nullptr) {
            PyErr_SetFromErrno(ErrorObject);
            return Ref();
        }
        return Ref::steal(Py_BuildValue("(siII)", text, ntohs(in6->sin6_port), ntohl(in6->sin6_flowinfo),
                                        ntohl(in6->sin6_scope_id)));
    }
    case AF_UNIX: {
        auto *un = reinterpret_cast<const sockaddr_un *>(address);
        return Ref::steal(PyBytes_FromStringAndSize(un->sun_path, strnlen(un->sun_path, sizeof un->sun_path)));
    }
    default:
        PyErr_SetString(ErrorObject, "Unsupported address family");
        return Ref();
    }
}

// The descriptor libcurl gets for what the open-socket callable returned:
// an int is handed over as it is, a socket object's descriptor duplicated
// so that the object may still close its own.
curl_socket_t socket_from_result(PyObject *result)
{
    curl_socket_t sock;
    if (PyLong_Check(result)) {
        if (PyLong_AsCurlSocket(result, &sock) < 0) {
            print_callback_error_if_regular_exception();
            return CURL_SOCKET_BAD;
        }
        return sock;
    }
    Ref fileno_method = Ref::steal(PyObject_GetAttrString(result, "fileno"));
    if (!fileno_method) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            PyErr_SetString(ErrorObject, "Open socket callback's return value must be a socket");
        }
        print_callback_error_if_regular_exception();
        return CURL_SOCKET_BAD;
    }
    Ref fileno = Ref::steal(PyObject_CallNoArgs(fileno_method.get()));
    if (!fileno) {
        print_callback_error_if_regular_exception();
        return CURL_SOCKET_BAD;
    }
    if (!PyLong_Check(fileno.get())) {
        report_callback_error("Open socket callback returned an object whose fileno method did not return an integer");
        return CURL_SOCKET_BAD;
    }
    if (PyLong_AsCurlSocket(fileno.get(), &sock) < 0) {
        print_callback_error_if_regular_exception();
        return CURL_SOCKET_BAD;
    }
    return dup(sock);
}

curl_socket_t opensocket_callback(void *userdata, curlsocktype purpose, struct curl_sockaddr *address)
{
    CurlObject *self = as_curl(userdata);
    return run_trampoline(tovrel_get_thread_state_slot(self), "opensocket_callback failed to acquire thread",
                          CURL_SOCKET_BAD, [&]() -> curl_socket_t {
        Ref addr = socket_address(&address->addr);
        Ref described = addr ? Ref::steal(PyObject_CallFunction(curl_sockaddr_type, "iiiO", address->family,
                                                                  address->socktype, address->protocol, addr.get()))
                             : Ref();
        Ref callable = Ref::newref(self->opensocketfunction);
        Ref result = described ? Ref::steal(PyObject_CallFunction(callable.get(), "iO", static_cast<int>(purpose),
                                                                   described.get()))
                               : Ref();
        if (!result) {
            print_callback_error_if_regular_exception();
            return CURL_SOCKET_BAD;
        }
        return socket_from_result(result.get());
    });
}

// Results of the callables whose exceptions stay pending (the method that
// started the transfer raises them) and whose non-int results only earn a
// line on stderr: both end in `failure`.
int int_result(PyObject *result, const char *name, int failure)
{
    int value;
    if (callback_return_value_to_int(result, name, &value) < 0)
        return failure;
    return value;
}

int sockopt_cb(void *userdata, curl_socket_t fd, curlsocktype purpose)
{
    CurlObject *self = as_curl(userdata);
    return run_trampoline(tovrel_get_thread_state_slot(self), "sockopt_cb failed to acquire thread",
                          int(CURL_SOCKOPT_ERROR), [&]() -> int {
        Ref fd_object = Ref::steal(PyLong_FromCurlSocket(fd));
        if (!fd_object) {
            print_callback_error_if_regular_exception();
            return -1;
        }
        Ref callable = Ref::newref(self->sockoptfunction);
        Ref result =
            Ref::steal(PyObject_CallFunction(callable.get(), "Oi", fd_object.get(), static_cast<int>(purpose)));
        return int_result(result.get(), "sockopt", -1);
    });
}

// ---------------------------------------------------------------------------
// Closing sockets.
//
// libcurl copies the close-socket callback and its user data into every
// connection, and a connection may outlive the Curl that opened it (in a
// multi stack's or a share's pool) or the setting itself (unset, reset).
// So the user data is not the Curl but this small context, kept alive by
// the Curl and by every pool its connections may sit in, and the trampoline
// takes the interpreter lock through the per-thread API rather than a
// Curl's slot.

struct CloseSocketContextObject {
    PyObject_HEAD
    PyObject *callable;  // null: close sockets without calling Python
};

int closesocket_context_traverse(PyObject *op, visitproc visit, void *arg)
{
    Py_VISIT(reinterpret_cast<CloseSocketContextObject *>(op)->callable);
    return 0;
}

int closesocket_context_clear(PyObject *op)
{
    Py_CLEAR(reinterpret_cast<CloseSocketContextObject *>(op)->callable);
    return 0;
}

void closesocket_context_dealloc(PyObject *op)
{
    PyObject_GC_UnTrack(op);
    closesocket_context_clear(op);
    Py_TYPE(op)->tp_free(op);
}

PyTypeObject CloseSocketContext_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tovrel._CloseSocketContext",
    .tp_basicsize = sizeof(CloseSocketContextObject),
    .tp_dealloc = closesocket_context_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = closesocket_context_traverse,
    .tp_clear = closesocket_context_clear,
    .tp_free = PyObject_GC_Del,
};

int close_socket_without_python(curl_socket_t fd)
{
    return close(fd) == 0 ? 0 : 1;
}

int closesocket_callback(void *userdata, curl_socket_t fd)
{
    auto *context = static_cast<CloseSocketContextObject *>(userdata);
    // Without Python (shutting down, an earlier exception pending that
    // must reach the caller first) the socket is still closed.
    auto close_plainly = [fd] { return close_socket_without_python(fd); };
    return run_trampoline(AnyThread{}, close_plainly, [&]() -> int {
        if (context->callable == nullptr)
            return close_plainly();
        Ref callable = Ref::newref(context->callable);
        Ref fd_object = Ref::steal(PyLong_FromCurlSocket(fd));
        Ref value = fd_object ? Ref::steal(PyObject_CallOneArg(callable.get(), fd_object.get())) : Ref();
        return int_result(value.get(), "closesocket", 1);
    });
}

// Keep `curl`'s close-socket context alive in a pool owner's set.
int keep_closesocket_context(PyObject **contexts, CurlObject *curl)
{
    if (curl->closesocket_context == nullptr)
        return 0;
    if (*contexts == nullptr) {
        *contexts = PySet_New(nullptr);
        if (*contexts == nullptr)
            return -1;
    }
    return PySet_Add(*contexts, curl->closesocket_context);
}

// ---------------------------------------------------------------------------

// A key record as a KhKey, or None when libcurl has none.
Ref host_key(const struct curl_khkey *key)
{
    if (key == nullptr)
        return Ref::newref(Py_None);
    Py_ssize_t length = key->len ? static_cast<Py_ssize_t>(key->len) : static_cast<Py_ssize_t>(strlen(key->key));
    return Ref::steal(PyObject_CallFunction(khkey_type, "y#i", key->key, length, static_cast<int>(key->keytype)));
}

int ssh_key_cb(CURL *, const struct curl_khkey *knownkey, const struct curl_khkey *foundkey,
               enum curl_khmatch match, void *userdata)
{
    CurlObject *self = as_curl(userdata);
    return run_trampoline(tovrel_get_thread_state_slot(self), "ssh_key_cb failed to acquire thread",
                          int(CURLKHSTAT_REJECT), [&]() -> int {
        Ref known = host_key(knownkey);
        Ref found = known ? host_key(foundkey) : Ref();
        if (!found)
            return -1;
        Ref callable = Ref::newref(self->ssh_keyfunction);
        Ref result = Ref::steal(
            PyObject_CallFunction(callable.get(), "OOi", known.get(), found.get(), static_cast<int>(match)));
        return int_result(result.get(), "ssh key", -1);
    });
}

int prereq_callback(void *userdata, char *primary_ip, char *local_ip, int primary_port, int local_port)
{
    CurlObject *self = as_curl(userdata);
    return run_trampoline(tovrel_get_thread_state_slot(self), "prereq_callback failed to acquire thread",
                          int(CURL_PREREQFUNC_ABORT), [&]() -> int {
        Ref args = Ref::steal(Py_BuildValue("(ssii)", primary_ip, local_ip, primary_port, local_port));
        if (!args) {
            print_callback_error_if_regular_exception();
            return -1;
        }
        Ref callable = Ref::newref(self->prereqfunction);
        Ref result = Ref::steal(PyObject_Call(callable.get(), args.get(), nullptr));
        return int_result(result.get(), "prereq", -1);
    });
}

int fnmatch_callback(void *userdata, const char *pattern, const char *string)
{
    CurlObject *self = as_curl(userdata);
    return run_trampoline(tovrel_get_thread_state_slot(self), "fnmatch_callback failed to acquire thread",
                          int(CURL_FNMATCHFUNC_FAIL), [&]() -> int {
        Ref args = Ref::steal(Py_BuildValue("(yy)", pattern, string));
        if (!args) {
            print_callback_error_if_regular_exception();
            return CURL_FNMATCHFUNC_FAIL;
        }
        Ref callable = Ref::newref(self->fnmatch_function);
        Ref result = Ref::steal(PyObject_Call(callable.get(), args.get(), nullptr));
        return int_result(result.get(), "fnmatch", CURL_FNMATCHFUNC_FAIL);
    });
}

int resolver_start_callback(void *, void *, void *userdata)
{
    CurlObject *self = as_curl(userdata);
    return run_trampoline(tovrel_get_thread_state_slot(self), "resolver_start_callback failed to acquire thread", 1,
                          [&]() -> int {
        Ref callable = Ref::newref(self->resolver_start_function);
        Ref result = Ref::steal(PyObject_CallNoArgs(callable.get()));
        if (!result) {
            print_callback_error_if_regular_exception();
            return 1;
        }
        if (result.get() == Py_None)
            return 0;
        return int_result(result.get(), "resolver_start", 1);
    });
}

int trailer_callback(struct curl_slist **list, void *userdata)
{
    *list = nullptr;
    CurlObject *self = as_curl(userdata);
    return run_trampoline(tovrel_get_thread_state_slot(self), "trailer_callback failed to acquire thread",
                          int(CURL_TRAILERFUNC_ABORT), [&]() -> int {
        Ref callable = Ref::newref(self->trailerfunction);
        Ref result = Ref::steal(PyObject_CallNoArgs(callable.get()));
        if (!result) {
            print_callback_error_if_regular_exception();
            return CURL_TRAILERFUNC_ABORT;
        }
        if (result.get() == Py_None)
            return CURL_TRAILERFUNC_OK;
        int kind = PyListOrTuple_Check(result.get());
        if (kind == NOT_LIST_OR_TUPLE) {
            report_callback_error("trailer callback must return None or a list/tuple of header strings");
            return CURL_TRAILERFUNC_ABORT;
        }
        Py_ssize_t count = PyListOrTuple_Size(result.get(), kind);
        struct curl_slist *trailers = tovrel_list_or_tuple_to_slist(kind, result.get(), count);
        if (trailers == nullptr && PyErr_Occurred()) {
            print_callback_error_if_regular_exception();
            return CURL_TRAILERFUNC_ABORT;
        }
        *list = trailers;  // libcurl frees it
        return CURL_TRAILERFUNC_OK;
    });
}

// ---------------------------------------------------------------------------
// CA certificates handed over with set_ca_certs, added to each new TLS
// context's store.

int add_ca_certs(CurlObject *self, SSL_CTX *context)
{
    PyObject *data = self->ca_certs_obj;
    Py_ssize_t length = data ? PyBytes_GET_SIZE(data) : 0;
    if (length <= 0) {
        PyErr_SetString(PyExc_ValueError, "Empty certificate data");
        return -1;
    }
    if (length >= 2147483648LL) {
        PyErr_SetString(PyExc_OverflowError, "Certificate data is too long.");
        return -1;
    }
    BIO *bio = BIO_new_mem_buf(PyBytes_AS_STRING(data), static_cast<int>(length));
    if (bio == nullptr) {
        ERR_clear_error();
        PyErr_SetString(PyExc_MemoryError, "Can't allocate buffer");
        return -1;
    }
    X509_STORE *store = SSL_CTX_get_cert_store(context);
    assert(store != nullptr);
    int loaded = 0;
    while (X509 *certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr)) {
        int added = X509_STORE_add_cert(store, certificate);
        X509_free(certificate);
        if (!added) {
            unsigned long error = ERR_peek_last_error();
            if (ERR_GET_LIB(error) != ERR_LIB_X509 || ERR_GET_REASON(error) != X509_R_CERT_ALREADY_IN_HASH_TABLE)
                break;
            ERR_clear_error();
        }
        ++loaded;
    }
    BIO_free(bio);
    unsigned long last = ERR_peek_last_error();
    if (loaded > 0 && ERR_GET_LIB(last) == ERR_LIB_PEM && ERR_GET_REASON(last) == PEM_R_NO_START_LINE) {
        ERR_clear_error();
        return 0;
    }
    const char *reason = ERR_reason_error_string(last);
    PyErr_SetString(ErrorObject, reason ? reason : "no certificate could be loaded from the CA data");
    ERR_clear_error();
    return -1;
}

CURLcode ssl_ctx_callback(CURL *, void *ssl_ctx, void *userdata)
{
    CurlObject *self = as_curl(userdata);
    return run_trampoline(tovrel_get_thread_state_slot(self), "ssl_ctx_callback failed to acquire thread",
                          CURLE_FAILED_INIT, [&]() -> CURLcode {
        if (add_ca_certs(self, static_cast<SSL_CTX *>(ssl_ctx)) < 0) {
            print_callback_error_if_regular_exception();
            return CURLE_FAILED_INIT;
        }
        return CURLE_OK;
    });
}

// ---------------------------------------------------------------------------
// HSTS cache

// libcurl's expiry text as an aware datetime, or None for no expiry.
Ref hsts_expiry(const char *expire)
{
    if (expire[0] == '\0' || strcmp(expire, "unlimited") == 0)
        return Ref::newref(Py_None);
    char stamp[32];
    int length = PyOS_snprintf(stamp, sizeof stamp, "%s+0000", expire);
    if (length < 0 || length >= static_cast<int>(sizeof stamp)) {
        PyErr_Format(ErrorObject, "libcurl returned an unparsable HSTS expire stamp: %s", expire);
        return Ref();
    }
    return Ref::steal(PyObject_CallMethod(datetime_type, "strptime", "ss", stamp, "%Y%m%d %H:%M:%S%z"));
}

CURLSTScode hstswrite_callback(CURL *, struct curl_hstsentry *entry, struct curl_index *index, void *userdata)
{
    CurlObject *self = as_curl(userdata);
    return run_trampoline(tovrel_get_thread_state_slot(self), "hstswrite_callback failed to acquire thread",
                          CURLSTS_FAIL, [&]() -> CURLSTScode {
        Ref expire = hsts_expiry(entry->expire);
        Ref described = expire ? Ref::steal(PyObject_CallFunction(
                                     hsts_entry_type, "y#OO", entry->name, static_cast<Py_ssize_t>(entry->namelen),
                                     expire.get(), entry->includeSubDomains ? Py_True : Py_False))
                               : Ref();
        Ref position = described ? Ref::steal(PyObject_CallFunction(hsts_index_type, "nn",
                                                                     static_cast<Py_ssize_t>(index->index),
                                                                     static_cast<Py_ssize_t>(index->total)))
                                 : Ref();
        Ref callable = Ref::newref(self->hstswritefunction);
        Ref result =
            position ? Ref::steal(PyObject_CallFunction(callable.get(), "OO", described.get(), position.get())) : Ref();
        if (!result) {
            print_callback_error_if_regular_exception();
            return CURLSTS_FAIL;
        }
        if (result.get() == Py_None)
            return CURLSTS_OK;
        int code;
        if (callback_return_value_to_int(result.get(), "hstswrite", &code) < 0) {
            if (PyErr_Occurred())
                print_callback_error_if_regular_exception();
            return CURLSTS_FAIL;
        }
        if (static_cast<unsigned int>(code) > CURLSTS_FAIL) {
            report_callback_error("hstswrite callback returned an invalid CURLSTScode");
            return CURLSTS_FAIL;
        }
        return static_cast<CURLSTScode>(code);
    });
}

// Write an expiry into libcurl's 18-character field ("" for none).
int store_hsts_expiry(PyObject *expire, char *field, size_t size)
{
    if (expire == Py_None) {
        field[0] = '\0';
        return 0;
    }
    if (!PyObject_TypeCheck(expire, reinterpret_cast<PyTypeObject *>(datetime_type))) {
        PyErr_SetString(ErrorObject, "hstsread callback: expire must be a datetime or None");
        return -1;
    }
    Ref tzinfo = Ref::steal(PyObject_GetAttrString(expire, "tzinfo"));
    if (!tzinfo)
        return -1;
    Ref in_utc = tzinfo.get() == Py_None ? Ref::newref(expire)
                                         : Ref::steal(PyObject_CallMethod(expire, "astimezone", "O", utc_tz));
    if (!in_utc)
        return -1;
    Ref text = Ref::steal(PyObject_CallMethod(in_utc.get(), "strftime", "s", "%Y%m%d %H:%M:%S"));
    if (!text)
        return -1;
    Py_ssize_t length;
    const char *utf8 = PyUnicode_AsUTF8AndSize(text.get(), &length);
    if (utf8 == nullptr)
        return -1;
    if (static_cast<size_t>(length) >= size) {
        PyErr_SetString(ErrorObject, "hstsread callback: formatted expire does not fit in libcurl's buffer");
        return -1;
    }
    memcpy(field, utf8, static_cast<size_t>(length) + 1);
    return 0;
}

// Fill libcurl's entry from (host, expire, include_subdomains).
int store_hsts_entry(PyObject *entry, struct curl_hstsentry *target)
{
    PyObject *host = PyTuple_GET_ITEM(entry, 0);
    if (!PyText_Check(host)) {
        PyErr_SetString(PyExc_TypeError, "hstsread callback: host must be bytes or an ASCII str");
        return -1;
    }
    // libcurl takes the host up to its first NUL: a NUL inside is refused
    char *name;
    PyObject *encoded = nullptr;
    if (PyText_AsStringAndSize(host, &name, nullptr, &encoded) < 0)
        return -1;
    Ref encoded_ref = Ref::steal(encoded);
    auto length = static_cast<Py_ssize_t>(strlen(name));
    if (static_cast<size_t>(length) > target->namelen) {
        PyErr_Format(ErrorObject, "hstsread callback: host length %zd exceeds libcurl maximum %zu", length,
                     target->namelen);
        return -1;
    }
    if (store_hsts_expiry(PyTuple_GET_ITEM(entry, 1), target->expire, sizeof target->expire) < 0)
        return -1;
    int subdomains = PyObject_IsTrue(PyTuple_GET_ITEM(entry, 2));
    if (subdomains < 0)
        return -1;
    memcpy(target->name, name, static_cast<size_t>(length));
    target->name[length] = '\0';
    target->namelen = static_cast<size_t>(length);
    target->includeSubDomains = subdomains ? 1 : 0;
    return 0;
}

CURLSTScode hstsread_callback(CURL *, struct curl_hstsentry *entry, void *userdata)
{
    CurlObject *self = as_curl(userdata);
    return run_trampoline(tovrel_get_thread_state_slot(self), "hstsread_callback failed to acquire thread",
                          CURLSTS_FAIL, [&]() -> CURLSTScode {
        Ref callable = Ref::newref(self->hstsreadfunction);
        Ref result = Ref::steal(PyObject_CallNoArgs(callable.get()));
        if (!result) {
            print_callback_error_if_regular_exception();
            return CURLSTS_FAIL;
        }
        if (result.get() == Py_None)
            return CURLSTS_DONE;
        if (!PyTuple_Check(result.get()) || PyTuple_GET_SIZE(result.get()) != 3) {
            report_callback_error("hstsread callback must return None or a 3-tuple (host, expire, include_subdomains)");
            return CURLSTS_FAIL;
        }
        if (store_hsts_entry(result.get(), entry) < 0) {
            print_callback_error_if_regular_exception();
            return CURLSTS_FAIL;
        }
        return CURLSTS_OK;
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
    {CURLOPT_OPENSOCKETFUNCTION, &CurlObject::opensocketfunction, CURLOPT_OPENSOCKETDATA,
     trampoline(opensocket_callback), nullptr},
    {CURLOPT_CLOSESOCKETFUNCTION, &CurlObject::closesocketfunction, CURLOPT_CLOSESOCKETDATA,
     trampoline(closesocket_callback), nullptr},
    {CURLOPT_SOCKOPTFUNCTION, &CurlObject::sockoptfunction, CURLOPT_SOCKOPTDATA, trampoline(sockopt_cb), nullptr},
    {CURLOPT_SSH_KEYFUNCTION, &CurlObject::ssh_keyfunction, CURLOPT_SSH_KEYDATA, trampoline(ssh_key_cb), nullptr},
    {CURLOPT_PREREQFUNCTION, &CurlObject::prereqfunction, CURLOPT_PREREQDATA, trampoline(prereq_callback), nullptr},
    {CURLOPT_FNMATCH_FUNCTION, &CurlObject::fnmatch_function, CURLOPT_FNMATCH_DATA, trampoline(fnmatch_callback),
     nullptr},
    {CURLOPT_RESOLVER_START_FUNCTION, &CurlObject::resolver_start_function, CURLOPT_RESOLVER_START_DATA,
     trampoline(resolver_start_callback), nullptr},
    {CURLOPT_TRAILERFUNCTION, &CurlObject::trailerfunction, CURLOPT_TRAILERDATA, trampoline(trailer_callback),
     nullptr},
    {CURLOPT_HSTSREADFUNCTION, &CurlObject::hstsreadfunction, CURLOPT_HSTSREADDATA, trampoline(hstsread_callback),
     nullptr},
    {CURLOPT_HSTSWRITEFUNCTION, &CurlObject::hstswritefunction, CURLOPT_HSTSWRITEDATA,
     trampoline(hstswrite_callback), nullptr},
};

void *callback_user_data(CurlObject *self, const CallbackField &cb)
{
    if (cb.option != CURLOPT_CLOSESOCKETFUNCTION)
        return self;
    if (self->closesocket_context == nullptr) {
        if (PyType_Ready(&CloseSocketContext_Type) < 0)
            return nullptr;
        auto *context = PyObject_GC_New(CloseSocketContextObject, &CloseSocketContext_Type);
        if (context == nullptr)
            return nullptr;
        context->callable = nullptr;
        PyObject_GC_Track(context);
        self->closesocket_context = reinterpret_cast<PyObject *>(context);
    }
    // Connections this handle opens from now on may sit in the pool of its
    // stack or share after the handle is gone.
    if ((self->multi_stack != nullptr &&
         keep_closesocket_context(&self->multi_stack->closesocket_contexts, self) < 0) ||
        (self->share != nullptr && keep_closesocket_context(&self->share->closesocket_contexts, self) < 0))
        return nullptr;
    auto *context = reinterpret_cast<CloseSocketContextObject *>(self->closesocket_context);
    Py_XSETREF(context->callable, Py_XNewRef(self->closesocketfunction));
    return context;
}

void curl_forget_closesocket_callable(CurlObject *self)
{
    if (self->closesocket_context != nullptr)
        Py_CLEAR(reinterpret_cast<CloseSocketContextObject *>(self->closesocket_context)->callable);
}

int curl_keep_closesocket_context(PyObject **contexts, CurlObject *curl)
{
    return keep_closesocket_context(contexts, curl);
}

CURLcode curl_install_ca_certs_callback(CurlObject *self)
{
    CURLcode code = curl_easy_setopt(self->handle, CURLOPT_SSL_CTX_FUNCTION, ssl_ctx_callback);
    if (code == CURLE_OK)
        code = curl_easy_setopt(self->handle, CURLOPT_SSL_CTX_DATA, self);
    return code;
}

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

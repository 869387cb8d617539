// Turning libcurl results into Python exceptions, and reporting failures
// that happen inside callbacks, where no exception can travel to a caller.
#include "tovrel.h"

#include <cerrno>
#include <cstring>

void create_and_set_error_object(CurlObject *self, int code)
{
    self->error[CURL_ERROR_SIZE] = '\0';
    const char *message = self->error[0] ? self->error : curl_easy_strerror(static_cast<CURLcode>(code));
    Ref text = Ref::steal(PyText_FromString_Ignore(message));
    if (!text)
        return;
    Ref value = Ref::steal(Py_BuildValue("(iO)", code, text.get()));
    if (!value)
        return;
    PyErr_SetObject(ErrorObject, value.get());
}

PyObject *raise_code_and_text(int code, const char *text)
{
    Ref value = Ref::steal(Py_BuildValue("(is)", code, text));
    if (value)
        PyErr_SetObject(ErrorObject, value.get());
    return nullptr;
}

int check_easy_recv_send_result(CurlObject *self, CURLcode code)
{
    if (code == CURLE_OK)
        return 0;
    if (code == CURLE_AGAIN) {
        errno = EAGAIN;
        PyErr_SetFromErrno(PyExc_BlockingIOError);
        return -1;
    }
    create_and_set_error_object(self, code);
    return -1;
}

FreshErrorBuffer::FreshErrorBuffer(CurlObject *self) : self_(self)
{
    std::memcpy(saved_, self_->error, sizeof saved_);
    self_->error[0] = '\0';
}

FreshErrorBuffer::~FreshErrorBuffer()
{
    if (self_->error[0] == '\0')
        std::memcpy(self_->error, saved_, sizeof saved_);
}

void print_callback_error_if_regular_exception()
{
    // KeyboardInterrupt, SystemExit and the like stay pending: the method
    // that started the transfer raises them once libcurl returns.
    if (PyErr_ExceptionMatches(PyExc_Exception))
        PyErr_Print();
}

void warn_failed_to_acquire_thread(const char *message)
{
    GilStateHold gil;
    if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) < 0) {
        // Warnings turned into errors have nobody to raise to here; leaving
        // the exception set would make an unrelated later call fail.
        PyErr_FormatUnraisable("Exception ignored while reporting '%s'", message);
    }
}

// Copy what an upload callable returned into libcurl's buffer: bytes-like
// data or ASCII text that fits, or one of the abort/pause codes.
size_t copy_upload_chunk(PyObject *result, char *buffer, Py_ssize_t wanted, const UploadChunkWording &wording)
{
    if (PyUnicode_Check(result)) {
        Ref encoded = Ref::steal(PyUnicode_AsEncodedString(result, "ascii", "strict"));
        if (!encoded) {
            print_callback_error_if_regular_exception();
            return CURL_READFUNC_ABORT;
        }
        Py_ssize_t length = PyBytes_GET_SIZE(encoded.get());
        if (length > wanted) {
            report_callback_error(wording.encoded_too_long, static_cast<long>(length), static_cast<long>(wanted));
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
            report_callback_error(wording.too_long, static_cast<long>(data.len()), static_cast<long>(wanted));
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
        report_callback_error("%s", wording.wrong_number);
        return CURL_READFUNC_ABORT;
    }
    report_callback_error("%s", wording.wrong_type);
    return CURL_READFUNC_ABORT;
}

int seek_result_code(PyObject *result, int failed, const char *invalid_format, const char *wrong_type)
{
    if (result == nullptr) {
        print_callback_error_if_regular_exception();
        return failed;
    }
    if (result == Py_None)
        return CURL_SEEKFUNC_OK;
    if (!PyLong_Check(result)) {
        report_callback_error("%s", wrong_type);
        return failed;
    }
    long value = PyLong_AsLong(result);
    if (value == -1 && PyErr_Occurred()) {
        print_callback_error_if_regular_exception();
        return failed;
    }
    int code = static_cast<int>(static_cast<uint32_t>(value));
    if (static_cast<unsigned int>(code) <= CURL_SEEKFUNC_CANTSEEK)
        return code;
    report_callback_error(invalid_format, code);
    return failed;
}

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
    PyGILState_STATE gil = PyGILState_Ensure();
    if (PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) < 0) {
        // Warnings turned into errors have nobody to raise to here; leaving
        // the exception set would make an unrelated later call fail.
        PyErr_FormatUnraisable("Exception ignored while reporting '%s'", message);
    }
    PyGILState_Release(gil);
}

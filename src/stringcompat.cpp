// Text accepted for libcurl: bytes as they are, or str holding ASCII only.
#include "tovrel.h"

#include <cstring>

int PyText_Check(PyObject *obj)
{
    return PyBytes_Check(obj) || PyUnicode_Check(obj);
}

int PyText_AsStringAndSize(PyObject *obj, char **buffer, Py_ssize_t *length, PyObject **encoded)
{
    assert(PyText_Check(obj));
    *encoded = nullptr;
    Ref ascii;
    PyObject *bytes = obj;
    if (!PyBytes_Check(obj)) {
        ascii = Ref::steal(PyUnicode_AsEncodedString(obj, "ascii", "strict"));
        if (!ascii)
            return -1;
        bytes = ascii.get();
    }
    // Without a length the caller wants a C string, which must not hide a NUL.
    if (PyBytes_AsStringAndSize(bytes, buffer, length) < 0)
        return -1;
    *encoded = ascii.release();
    return 0;
}

char *PyText_AsString_NoNUL(PyObject *obj, PyObject **encoded)
{
    char *buffer = nullptr;
    if (PyText_AsStringAndSize(obj, &buffer, nullptr, encoded) < 0)
        return nullptr;
    return buffer;
}

PyObject *PyText_FromString_Ignore(const char *text)
{
    return PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(std::strlen(text)), "replace");
}

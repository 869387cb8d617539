// Small conversions shared by every type: lists and tuples, socket numbers,
// and the per-instance attribute dictionary with constant lookup.
#include "tovrel.h"

#include <climits>
#include <cstdarg>

int parse_positional(PyObject *const *args, Py_ssize_t nargs, const char *format, ...)
{
    Ref tuple = Ref::steal(PyTuple_FromArray(args, nargs));
    if (!tuple)
        return 0;
    va_list va;
    va_start(va, format);
    int parsed = PyArg_VaParse(tuple.get(), format, va);
    va_end(va);
    return parsed;
}

bool no_keywords(PyObject *kwnames, const char *name)
{
    if (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0)
        return true;
    PyErr_Format(PyExc_TypeError, "%.200s() takes no keyword arguments", name);
    return false;
}

bool exact_int_argument(PyObject *obj, int *out)
{
    if (!PyLong_CheckExact(obj))
        return false;
    int overflow = 0;
    long value = PyLong_AsLongAndOverflow(obj, &overflow);
    if (overflow != 0 || value < INT_MIN || value > INT_MAX)
        return false;
    *out = static_cast<int>(value);
    return true;
}

int PyListOrTuple_Check(PyObject *obj)
{
    if (PyList_Check(obj))
        return IS_LIST;
    if (PyTuple_Check(obj))
        return IS_TUPLE;
    return NOT_LIST_OR_TUPLE;
}

Py_ssize_t PyListOrTuple_Size(PyObject *obj, int kind)
{
    assert(kind == IS_LIST || kind == IS_TUPLE);
    return kind == IS_LIST ? PyList_GET_SIZE(obj) : PyTuple_GET_SIZE(obj);
}

PyObject *PyListOrTuple_GetItem(PyObject *obj, Py_ssize_t index, int kind)
{
    assert(kind == IS_LIST || kind == IS_TUPLE);
    return kind == IS_LIST ? PyList_GET_ITEM(obj, index) : PyTuple_GET_ITEM(obj, index);
}

PyObject *PyLong_FromCurlSocket(curl_socket_t sock)
{
    return PyLong_FromLong(static_cast<long>(sock));
}

int PyLong_AsCurlSocket(PyObject *obj, curl_socket_t *sock)
{
    assert(sock != nullptr);
    long long value = PyLong_AsLongLong(obj);
    if (value == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError))
            return -1;
        PyErr_Clear();
        value = LLONG_MIN;  // beyond 64 bits: out of range as well
    }
    if (value < -1 || value > INT_MAX) {
        PyErr_SetString(PyExc_OverflowError, "socket value is out of range");
        return -1;
    }
    *sock = static_cast<curl_socket_t>(value);
    return 0;
}

PyObject *my_getattro(PyObject *obj, PyObject *name, PyObject *dict, PyObject *constants)
{
    (void)obj;
    for (PyObject *source : {dict, constants}) {
        if (source == nullptr)
            continue;
        PyObject *value = nullptr;
        if (PyDict_GetItemRef(source, name, &value) < 0)
            return nullptr;
        if (value)
            return value;
    }
    PyErr_Format(PyExc_AttributeError, "trying to obtain a non-existing attribute: %U", name);
    return nullptr;
}

int my_setattro(PyObject **dict, PyObject *name, PyObject *value)
{
    if (*dict == nullptr) {
        *dict = PyDict_New();
        if (*dict == nullptr)
            return -1;
    }
    if (value != nullptr)
        return PyDict_SetItem(*dict, name, value);
    if (PyDict_DelItem(*dict, name) == 0)
        return 0;
    if (PyErr_ExceptionMatches(PyExc_KeyError)) {
        PyErr_Clear();
        PyErr_Format(PyExc_AttributeError, "trying to delete a non-existing attribute: %U", name);
    }
    return -1;
}

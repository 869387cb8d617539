// The module's entry point, its process-wide state and its module-level
// functions.
#include "tovrel.h"

#include <cstring>

PyObject *ErrorObject = nullptr;
char *g_tovrel_useragent = nullptr;
PyObject *curlobject_constants = nullptr;
PyObject *curlmultiobject_constants = nullptr;
PyObject *curlshareobject_constants = nullptr;
PyObject *bytesio = nullptr;
PyObject *khkey_type = nullptr;
PyObject *curl_sockaddr_type = nullptr;
PyObject *hsts_entry_type = nullptr;
PyObject *hsts_index_type = nullptr;
PyObject *ws_frame_type = nullptr;
PyObject *datetime_type = nullptr;
PyObject *utc_tz = nullptr;

PyTypeObject *p_Curl_Type = nullptr;
PyTypeObject *p_CurlSlist_Type = nullptr;
PyTypeObject *p_CurlHttppost_Type = nullptr;
PyTypeObject *p_CurlMulti_Type = nullptr;
PyTypeObject *p_CurlShare_Type = nullptr;
PyTypeObject *p_CurlMime_Type = nullptr;
PyTypeObject *p_CurlMimePart_Type = nullptr;

namespace {

constexpr unsigned int required_libcurl = 0x081500;
constexpr const char required_libcurl_text[] = "8.21.0";
constexpr const char ssl_backend[] = "openssl";
constexpr int version_info_age = 11;

// ---------------------------------------------------------------------------
// module functions

PyObject *do_global_init(PyObject *, PyObject *args)
{
    int option;
    if (!PyArg_ParseTuple(args, "i:global_init", &option))
        return nullptr;
    if (static_cast<unsigned int>(option) > 7) {
        PyErr_SetString(PyExc_ValueError, "invalid option to global_init");
        return nullptr;
    }
    if (curl_global_init(option) != CURLE_OK) {
        PyErr_SetString(ErrorObject, "unable to set global option");
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *do_global_cleanup(PyObject *, PyObject *)
{
    curl_global_cleanup();
    tovrel_ssl_cleanup();
    Py_RETURN_NONE;
}

// libcurl pads some of its texts; the module hands them over trimmed.
const char *skip_blanks(const char *text)
{
    while (*text == ' ' || *text == '\t')
        ++text;
    return text;
}

Ref text_or_none(const char *text)
{
    if (text == nullptr)
        return Ref::newref(Py_None);
    return Ref::steal(PyUnicode_FromString(skip_blanks(text)));
}

Ref protocol_names(const char *const *protocols)
{
    Py_ssize_t count = 0;
    while (protocols != nullptr && protocols[count] != nullptr)
        ++count;
    Ref names = Ref::steal(PyTuple_New(count));
    if (!names)
        return names;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *name = PyUnicode_FromString(skip_blanks(protocols[i]));
        if (name == nullptr)
            return Ref();
        PyTuple_SET_ITEM(names.get(), i, name);
    }
    return names;
}

PyObject *do_version_info(PyObject *, PyObject *args)
{
    int stamp = version_info_age;
    if (!PyArg_ParseTuple(args, "|i:version_info", &stamp))
        return nullptr;
    const curl_version_info_data *vi = curl_version_info(static_cast<CURLversion>(stamp));
    if (vi == nullptr) {
        PyErr_SetString(ErrorObject, "unable to get version info");
        return nullptr;
    }
    Ref protocols = protocol_names(vi->protocols);
    if (!protocols)
        return nullptr;
    Ref members[] = {
        Ref::steal(PyLong_FromUnsignedLong(static_cast<uint32_t>(vi->age))),
        text_or_none(vi->version),
        Ref::steal(PyLong_FromUnsignedLong(static_cast<uint32_t>(vi->version_num))),
        text_or_none(vi->host),
        Ref::steal(PyLong_FromLong(static_cast<int32_t>(vi->features))),
        text_or_none(vi->ssl_version),
        Ref::steal(PyLong_FromLong(vi->ssl_version_num)),
        text_or_none(vi->libz_version),
        std::move(protocols),
        text_or_none(vi->ares),
        Ref::steal(PyLong_FromLong(static_cast<int32_t>(vi->ares_num))),
        text_or_none(vi->libidn),
    };
    constexpr Py_ssize_t count = sizeof members / sizeof members[0];
    Ref result = Ref::steal(PyTuple_New(count));
    if (!result)
        return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!members[i])
            return nullptr;
        PyTuple_SET_ITEM(result.get(), i, members[i].release());
    }
    return result.release();
}

template <const char *(*strerror_fn)(int)>
PyObject *strerror_function(PyObject *args, const char *format)
{
    int code;
    if (!PyArg_ParseTuple(args, format, &code))
        return nullptr;
    return PyUnicode_FromString(strerror_fn(code));
}

const char *easy_text(int code) { return curl_easy_strerror(static_cast<CURLcode>(code)); }
const char *multi_text(int code) { return curl_multi_strerror(static_cast<CURLMcode>(code)); }
const char *share_text(int code) { return curl_share_strerror(static_cast<CURLSHcode>(code)); }
const char *url_text(int code) { return curl_url_strerror(static_cast<CURLUcode>(code)); }

PyObject *do_easy_strerror(PyObject *, PyObject *args) { return strerror_function<easy_text>(args, "i:easy_strerror"); }
PyObject *do_multi_strerror(PyObject *, PyObject *args) { return strerror_function<multi_text>(args, "i:multi_strerror"); }
PyObject *do_share_strerror(PyObject *, PyObject *args) { return strerror_function<share_text>(args, "i:share_strerror"); }
PyObject *do_url_strerror(PyObject *, PyObject *args) { return strerror_function<url_text>(args, "i:url_strerror"); }

PyMethodDef tovrel_methods[] = {
    {"global_init", do_global_init, METH_VARARGS, tovrel_global_init_doc},
    {"global_cleanup", do_global_cleanup, METH_NOARGS, tovrel_global_cleanup_doc},
    {"version_info", do_version_info, METH_VARARGS, tovrel_version_info_doc},
    {"easy_strerror", do_easy_strerror, METH_VARARGS, tovrel_easy_strerror_doc},
    {"multi_strerror", do_multi_strerror, METH_VARARGS, tovrel_multi_strerror_doc},
    {"share_strerror", do_share_strerror, METH_VARARGS, tovrel_share_strerror_doc},
    {"url_strerror", do_url_strerror, METH_VARARGS, tovrel_url_strerror_doc},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// process-wide state

void release_globals()
{
    Py_CLEAR(bytesio);
    Py_CLEAR(ErrorObject);
    Py_CLEAR(khkey_type);
    Py_CLEAR(curl_sockaddr_type);
    Py_CLEAR(hsts_entry_type);
    Py_CLEAR(hsts_index_type);
    Py_CLEAR(datetime_type);
    Py_CLEAR(utc_tz);
    Py_CLEAR(ws_frame_type);
    Py_CLEAR(curlobject_constants);
    Py_CLEAR(curlmultiobject_constants);
    Py_CLEAR(curlshareobject_constants);
    PyMem_Free(g_tovrel_useragent);
    g_tovrel_useragent = nullptr;
}

void module_free(void *)
{
    release_globals();
}

PyModuleDef tovrel_module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "tovrel._tovrel",
    .m_doc = tovrel_module_doc,
    .m_size = -1,
    .m_methods = tovrel_methods,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = module_free,
};

PyObject *import_error(const char *format, const char *first, const char *second)
{
    PyErr_Format(PyExc_ImportError, format, first, second);
    return nullptr;
}

// The text naming libcurl's TLS backends when "openssl" is not among them.
void describe_ssl_backends(const curl_ssl_backend **available, char *text, size_t size)
{
    size_t used = 0;
    text[0] = '\0';
    for (size_t i = 0; available != nullptr && available[i] != nullptr && used < size; ++i) {
        int written = PyOS_snprintf(text + used, size - used, "%s%s", used ? ", " : "", available[i]->name);
        if (written < 0)
            break;
        used += static_cast<size_t>(written);
    }
}

// Refuse a libcurl that is too old or lacks the OpenSSL backend.
int check_runtime_libcurl()
{
    const curl_version_info_data *vi = curl_version_info(static_cast<CURLversion>(version_info_age));
    if (vi == nullptr) {
        PyErr_SetString(PyExc_ImportError, "tovrel: curl_version_info() failed");
        return -1;
    }
    if (vi->version_num <= required_libcurl - 1) {
        import_error("tovrel: libcurl link-time version (%s) is older than compile-time version (%s)",
                     vi->version, required_libcurl_text);
        return -1;
    }
    const curl_ssl_backend **available = nullptr;
    CURLsslset set = curl_global_sslset(static_cast<curl_sslbackend>(-1), ssl_backend, &available);
    if (set != CURLSSLSET_OK) {
        char names[200];
        if (set == CURLSSLSET_NO_BACKENDS)
            PyOS_snprintf(names, sizeof names, "%s", "none");
        else
            describe_ssl_backends(available, names, sizeof names);
        import_error("tovrel: libcurl link-time ssl backends (%s) do not include compile-time ssl backend (%s)",
                     names, ssl_backend);
        return -1;
    }
    return 0;
}

int ready_types()
{
    struct TypeSlot {
        PyTypeObject *type;
        PyTypeObject **pointer;
    };
    const TypeSlot types[] = {
        {&Curl_Type, &p_Curl_Type},
        {&CurlSlist_Type, &p_CurlSlist_Type},
        {&CurlHttppost_Type, &p_CurlHttppost_Type},
        {&CurlMulti_Type, &p_CurlMulti_Type},
        {&CurlShare_Type, &p_CurlShare_Type},
        {&CurlMime_Type, &p_CurlMime_Type},
        {&CurlMimePart_Type, &p_CurlMimePart_Type},
    };
    for (const TypeSlot &t : types)
        *t.pointer = t.type;
    for (const TypeSlot &t : types) {
        Py_SET_TYPE(t.type, &PyType_Type);
        if (PyType_Ready(t.type) < 0)
            return -1;
    }
    return 0;
}

int make_user_agent(PyObject *dict)
{
    static const char prefix[] = "Tovrel/7.47.0";
    const char *libcurl_version = curl_version();
    size_t size = std::strlen(libcurl_version) + 15;
    g_tovrel_useragent = static_cast<char *>(PyMem_Malloc(size));
    if (g_tovrel_useragent == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    PyOS_snprintf(g_tovrel_useragent, size, "%s %s", prefix, libcurl_version);
    return insert_string(dict, "version", g_tovrel_useragent);
}

PyObject *constant_dict(ConstantScope scope)
{
    switch (scope) {
    case ConstantScope::Curl:
        return curlobject_constants;
    case ConstantScope::Multi:
        return curlmultiobject_constants;
    case ConstantScope::Share:
        return curlshareobject_constants;
    case ConstantScope::Module:
        break;
    }
    return nullptr;
}

int insert_constants(PyObject *dict)
{
    for (size_t i = 0; i < constant_row_count; ++i) {
        const ConstantRow &row = constant_rows[i];
        PyObject *value = row.kind == ConstantKind::Socket
                              ? PyLong_FromCurlSocket(static_cast<curl_socket_t>(row.value))
                              : PyLong_FromLongLong(row.value);
        if (insobj2(dict, constant_dict(row.scope), row.name, value) < 0) {
            Py_XDECREF(value);
            return -1;
        }
    }
    return 0;
}

// Make a named-tuple type and publish it under its name.
int make_named_tuple(PyObject *dict, PyObject *namedtuple, const char *name, const char *fields, PyObject **global)
{
    Ref args = Ref::steal(Py_BuildValue("(ss)", name, fields));
    if (!args)
        return -1;
    Ref type = Ref::steal(PyObject_Call(namedtuple, args.get(), nullptr));
    if (!type)
        return -1;
    // namedtuple() names the module of whoever called it; these belong to us.
    if (PyObject_SetAttrString(type.get(), "__module__", Ref::steal(PyUnicode_FromString("tovrel")).get()) < 0)
        return -1;
    if (PyDict_SetItemString(dict, name, type.get()) < 0)
        return -1;
    *global = type.release();
    return 0;
}

int import_stdlib_objects(PyObject *dict)
{
    Ref io = Ref::steal(PyImport_ImportModule("io"));
    if (!io)
        return -1;
    bytesio = PyObject_GetAttrString(io.get(), "BytesIO");
    if (bytesio == nullptr)
        return -1;

    Ref collections = Ref::steal(PyImport_ImportModule("collections"));
    if (!collections)
        return -1;
    Ref namedtuple = Ref::steal(PyObject_GetAttrString(collections.get(), "namedtuple"));
    if (!namedtuple)
        return -1;
    if (make_named_tuple(dict, namedtuple.get(), "KhKey", "key keytype", &khkey_type) < 0 ||
        make_named_tuple(dict, namedtuple.get(), "CurlSockAddr", "family socktype protocol addr",
                         &curl_sockaddr_type) < 0)
        return -1;

    Ref datetime = Ref::steal(PyImport_ImportModule("datetime"));
    if (!datetime)
        return -1;
    datetime_type = PyObject_GetAttrString(datetime.get(), "datetime");
    if (datetime_type == nullptr)
        return -1;
    Ref timezone = Ref::steal(PyObject_GetAttrString(datetime.get(), "timezone"));
    if (!timezone)
        return -1;
    utc_tz = PyObject_GetAttrString(timezone.get(), "utc");
    if (utc_tz == nullptr)
        return -1;

    if (make_named_tuple(dict, namedtuple.get(), "HstsEntry", "host expire include_subdomains",
                         &hsts_entry_type) < 0 ||
        make_named_tuple(dict, namedtuple.get(), "HstsIndex", "idx total", &hsts_index_type) < 0 ||
        make_named_tuple(dict, namedtuple.get(), "WsFrame", "age flags offset bytesleft len", &ws_frame_type) < 0)
        return -1;
    return 0;
}

int fill_module(PyObject *dict)
{
    ErrorObject = PyErr_NewException("tovrel.error", nullptr, nullptr);
    if (ErrorObject == nullptr || PyDict_SetItemString(dict, "error", ErrorObject) < 0)
        return -1;
    for (PyObject **constants : {&curlobject_constants, &curlmultiobject_constants, &curlshareobject_constants}) {
        *constants = PyDict_New();
        if (*constants == nullptr)
            return -1;
    }
    if (make_user_agent(dict) < 0)
        return -1;
    if (insert_integer(dict, nullptr, "COMPILE_PY_VERSION_HEX", PY_VERSION_HEX) < 0 ||
        insert_integer(dict, nullptr, "COMPILE_LIBCURL_VERSION_NUM", required_libcurl) < 0 ||
        insert_string(dict, "COMPILE_SSL_LIB", ssl_backend) < 0)
        return -1;
    const struct {
        const char *name;
        PyTypeObject *type;
    } public_types[] = {
        {"Curl", &Curl_Type},         {"CurlMulti", &CurlMulti_Type},       {"CurlShare", &CurlShare_Type},
        {"CurlMime", &CurlMime_Type}, {"CurlMimePart", &CurlMimePart_Type},
    };
    for (const auto &t : public_types) {
        PyObject *type = Py_NewRef(reinterpret_cast<PyObject *>(t.type));
        if (insobj2(dict, nullptr, t.name, type) < 0) {
            Py_DECREF(type);
            return -1;
        }
    }
    if (insert_constants(dict) < 0)
        return -1;
    if (tovrel_ssl_init() != 0)
        return -1;
    return import_stdlib_objects(dict);
}

}  // namespace

// ---------------------------------------------------------------------------
// constant insertion

int insobj2(PyObject *dict1, PyObject *dict2, const char *name, PyObject *value)
{
    if (value == nullptr)
        return -1;
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key)
        return -1;
    // The table is fixed source code: a repeated name is a bug in it.
    if (PyDict_Contains(dict1, key.get()) != 0) {
        fprintf(stderr, "Symbol already defined: %s\n", name);
        Py_FatalError("duplicate constant name");
    }
    if (PyDict_SetItem(dict1, key.get(), value) < 0)
        return -1;
    if (dict2 != nullptr && dict2 != dict1) {
        if (PyDict_Contains(dict2, key.get()) != 0) {
            fprintf(stderr, "Symbol already defined: %s\n", name);
            Py_FatalError("duplicate constant name");
        }
        if (PyDict_SetItem(dict2, key.get(), value) < 0)
            return -1;
    }
    Py_DECREF(value);
    return 0;
}

int insert_string(PyObject *dict, const char *name, const char *value)
{
    PyObject *text = PyUnicode_FromString(value);
    if (insobj2(dict, nullptr, name, text) < 0) {
        Py_XDECREF(text);
        return -1;
    }
    return 0;
}

int insert_integer(PyObject *dict1, PyObject *dict2, const char *name, long long value)
{
    PyObject *number = PyLong_FromLongLong(value);
    if (insobj2(dict1, dict2, name, number) < 0) {
        Py_XDECREF(number);
        return -1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// entry point

PyMODINIT_FUNC PyInit__tovrel()
{
    assert(Curl_Type.tp_weaklistoffset > 0);
    assert(CurlMulti_Type.tp_weaklistoffset > 0);
    assert(CurlShare_Type.tp_weaklistoffset > 0);

    if (check_runtime_libcurl() < 0)
        return nullptr;
    if (ready_types() < 0)
        return nullptr;
    Ref module = Ref::steal(PyModule_Create2(&tovrel_module, PYTHON_API_VERSION));
    if (!module)
        return nullptr;
    PyObject *dict = PyModule_GetDict(module.get());
    assert(dict != nullptr);
    if (fill_module(dict) < 0) {
        release_globals();
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ImportError, "curl module init failed");
        return nullptr;
    }
    return module.release();
}

// Transfer information: getinfo, getinfo_raw, errstr and errstr_raw.
#include "tovrel.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

enum class InfoKind : unsigned char { Long, Double, DeprecatedDouble, Text, OffT, StringList, CertInfo, Socket };

struct InfoCode {
    int info;
    InfoKind kind;
    constexpr bool operator<(const InfoCode &other) const { return info < other.info; }
};

constexpr InfoCode info(CURLINFO code, InfoKind kind)
{
    return {code, kind};
}

// The info codes getinfo answers; any other number is refused.
constexpr auto info_codes = [] {
    using enum InfoKind;
    std::array rows = {
        info(CURLINFO_RESPONSE_CODE, Long), info(CURLINFO_HEADER_SIZE, Long), info(CURLINFO_REQUEST_SIZE, Long),
        info(CURLINFO_SSL_VERIFYRESULT, Long), info(CURLINFO_FILETIME, Long), info(CURLINFO_REDIRECT_COUNT, Long),
        info(CURLINFO_HTTP_CONNECTCODE, Long), info(CURLINFO_HTTPAUTH_AVAIL, Long),
        info(CURLINFO_PROXYAUTH_AVAIL, Long), info(CURLINFO_OS_ERRNO, Long), info(CURLINFO_NUM_CONNECTS, Long),
        info(CURLINFO_CONDITION_UNMET, Long), info(CURLINFO_RTSP_CLIENT_CSEQ, Long),
        info(CURLINFO_RTSP_SERVER_CSEQ, Long), info(CURLINFO_RTSP_CSEQ_RECV, Long),
        info(CURLINFO_PRIMARY_PORT, Long), info(CURLINFO_LOCAL_PORT, Long), info(CURLINFO_HTTP_VERSION, Long),
        info(CURLINFO_TOTAL_TIME, Double), info(CURLINFO_NAMELOOKUP_TIME, Double),
        info(CURLINFO_CONNECT_TIME, Double), info(CURLINFO_PRETRANSFER_TIME, Double),
        info(CURLINFO_STARTTRANSFER_TIME, Double), info(CURLINFO_REDIRECT_TIME, Double),
        info(CURLINFO_APPCONNECT_TIME, Double),
        info(CURLINFO_SIZE_UPLOAD, DeprecatedDouble), info(CURLINFO_SIZE_DOWNLOAD, DeprecatedDouble),
        info(CURLINFO_SPEED_DOWNLOAD, DeprecatedDouble), info(CURLINFO_SPEED_UPLOAD, DeprecatedDouble),
        info(CURLINFO_CONTENT_LENGTH_DOWNLOAD, DeprecatedDouble),
        info(CURLINFO_CONTENT_LENGTH_UPLOAD, DeprecatedDouble),
        info(CURLINFO_EFFECTIVE_URL, Text), info(CURLINFO_CONTENT_TYPE, Text), info(CURLINFO_FTP_ENTRY_PATH, Text),
        info(CURLINFO_REDIRECT_URL, Text), info(CURLINFO_PRIMARY_IP, Text), info(CURLINFO_RTSP_SESSION_ID, Text),
        info(CURLINFO_LOCAL_IP, Text), info(CURLINFO_EFFECTIVE_METHOD, Text),
        info(CURLINFO_SIZE_UPLOAD_T, OffT), info(CURLINFO_SIZE_DOWNLOAD_T, OffT),
        info(CURLINFO_SPEED_DOWNLOAD_T, OffT), info(CURLINFO_SPEED_UPLOAD_T, OffT), info(CURLINFO_FILETIME_T, OffT),
        info(CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, OffT), info(CURLINFO_CONTENT_LENGTH_UPLOAD_T, OffT),
        info(CURLINFO_TOTAL_TIME_T, OffT), info(CURLINFO_NAMELOOKUP_TIME_T, OffT),
        info(CURLINFO_CONNECT_TIME_T, OffT), info(CURLINFO_PRETRANSFER_TIME_T, OffT),
        info(CURLINFO_STARTTRANSFER_TIME_T, OffT), info(CURLINFO_REDIRECT_TIME_T, OffT),
        info(CURLINFO_APPCONNECT_TIME_T, OffT), info(CURLINFO_QUEUE_TIME_T, OffT),
        info(CURLINFO_POSTTRANSFER_TIME_T, OffT), info(CURLINFO_EARLYDATA_SENT_T, OffT),
        info(CURLINFO_SSL_ENGINES, StringList), info(CURLINFO_COOKIELIST, StringList),
        info(CURLINFO_CERTINFO, CertInfo),
        info(CURLINFO_ACTIVESOCKET, Socket), info(CURLINFO_LASTSOCKET, Socket),
    };
    std::sort(rows.begin(), rows.end());
    return rows;
}();

const InfoCode *find_info_code(int code)
{
    auto row = std::lower_bound(info_codes.begin(), info_codes.end(), InfoCode{code, {}});
    return row != info_codes.end() && row->info == code ? &*row : nullptr;
}

PyObject *raise_info_error(CurlObject *self, CURLcode code)
{
    create_and_set_error_object(self, code);
    return nullptr;
}

// libcurl text as bytes or str (strict UTF-8).
Ref text_object(const char *text, Py_ssize_t length, bool decode)
{
    if (decode)
        return Ref::steal(PyUnicode_DecodeUTF8(text, length, "strict"));
    return Ref::steal(PyBytes_FromStringAndSize(text, length));
}

// One certificate entry: (key, value) split at the first ":", the whole
// text without one, None without text.
Ref certificate_entry(const char *text, bool decode)
{
    if (text == nullptr)
        return Ref::newref(Py_None);
    const char *colon = std::strchr(text, ':');
    if (colon == nullptr)
        return text_object(text, static_cast<Py_ssize_t>(std::strlen(text)), decode);
    Ref key = text_object(text, colon - text, decode);
    Ref value = key ? text_object(colon + 1, static_cast<Py_ssize_t>(std::strlen(colon + 1)), decode) : Ref();
    if (!value)
        return Ref();
    return Ref::steal(PyTuple_Pack(2, key.get(), value.get()));
}

Ref certificate_chain(const curl_certinfo *chain, bool decode)
{
    Ref certificates = Ref::steal(PyList_New(0));
    if (!certificates)
        return certificates;
    for (int i = 0; i < chain->num_of_certs; ++i) {
        Ref entries = Ref::steal(PyList_New(0));
        if (!entries)
            return Ref();
        for (const curl_slist *item = chain->certinfo[i]; item != nullptr; item = item->next) {
            Ref entry = certificate_entry(item->data, decode);
            if (!entry || PyList_Append(entries.get(), entry.get()) < 0)
                return Ref();
        }
        Ref certificate = Ref::steal(PyList_AsTuple(entries.get()));
        if (!certificate || PyList_Append(certificates.get(), certificate.get()) < 0)
            return Ref();
    }
    return certificates;
}

PyObject *query_certificate_chain(CurlObject *self, bool decode)
{
    curl_certinfo *chain = nullptr;
    FreshErrorBuffer fresh(self);
    CURLcode code = curl_easy_getinfo(self->handle, CURLINFO_CERTINFO, &chain);
    if (code != CURLE_OK)
        return raise_info_error(self, code);
    if (chain == nullptr)
        Py_RETURN_NONE;
    return certificate_chain(chain, decode).release();
}

// Turns a libcurl string list (which this call owns) into a list of bytes.
PyObject *string_list_result(curl_slist *list)
{
    Ref items = Ref::steal(PyList_New(0));
    for (const curl_slist *item = list; items && item != nullptr; item = item->next) {
        Ref entry = item->data ? Ref::steal(PyBytes_FromString(item->data)) : Ref::newref(Py_None);
        if (!entry || PyList_Append(items.get(), entry.get()) < 0)
            items.reset();
    }
    curl_slist_free_all(list);
    return items.release();
}

template <typename T>
CURLcode query(CurlObject *self, int info, T *value)
{
    return curl_easy_getinfo(self->handle, static_cast<CURLINFO>(info), value);
}

PyObject *do_curl_getinfo_raw_impl(CurlObject *self, int option, const InfoCode **kind_out)
{
    if (check_curl_state(self, STATE_NEED_HANDLE | STATE_NOT_RUNNING, "getinfo") < 0)
        return nullptr;
    const InfoCode *row = find_info_code(option);
    if (row == nullptr) {
        PyErr_SetString(PyExc_ValueError, "invalid argument to getinfo");
        return nullptr;
    }
    *kind_out = row;
    FreshErrorBuffer fresh(self);
    CURLcode code = CURLE_OK;
    switch (row->kind) {
    case InfoKind::Long: {
        long value = -1;
        if ((code = query(self, option, &value)) == CURLE_OK)
            return PyLong_FromLong(value);
        break;
    }
    case InfoKind::DeprecatedDouble:
        if (PyErr_WarnEx(PyExc_DeprecationWarning, "getinfo option is deprecated", 1) < 0)
            return nullptr;
        [[fallthrough]];
    case InfoKind::Double: {
        double value = 0;
        if ((code = query(self, option, &value)) == CURLE_OK)
            return PyFloat_FromDouble(value);
        break;
    }
    case InfoKind::Text: {
        const char *value = nullptr;
        if ((code = query(self, option, &value)) == CURLE_OK) {
            if (value == nullptr)
                Py_RETURN_NONE;
            return PyBytes_FromString(value);
        }
        break;
    }
    case InfoKind::OffT: {
        curl_off_t value = 0;
        if ((code = query(self, option, &value)) == CURLE_OK)
            return PyLong_FromLongLong(value);
        break;
    }
    case InfoKind::StringList: {
        curl_slist *value = nullptr;
        if ((code = query(self, option, &value)) == CURLE_OK)
            return string_list_result(value);
        break;
    }
    case InfoKind::CertInfo:
        return query_certificate_chain(self, false);
    case InfoKind::Socket: {
        // LASTSOCKET is answered from ACTIVESOCKET, which is right for
        // every socket size.
        curl_socket_t value = CURL_SOCKET_BAD;
        if ((code = query(self, CURLINFO_ACTIVESOCKET, &value)) == CURLE_OK)
            return PyLong_FromCurlSocket(value);
        break;
    }
    }
    return raise_info_error(self, code);
}

PyObject *decode_string_list(PyObject *list)
{
    Py_ssize_t count = PyList_GET_SIZE(list);
    Ref decoded = Ref::steal(PyList_New(count));
    if (!decoded)
        return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *item = PyUnicode_FromEncodedObject(PyList_GET_ITEM(list, i), nullptr, "strict");
        if (item == nullptr)
            return nullptr;
        PyList_SET_ITEM(decoded.get(), i, item);
    }
    return decoded.release();
}

}  // namespace

PyObject *do_curl_getinfo_raw(PyObject *op, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    if (!no_keywords(kwnames, "getinfo_raw"))
        return nullptr;
    int option;
    if (!(nargs == 1 && exact_int_argument(args[0], &option)) &&
        !parse_positional(args, nargs, "i:getinfo_raw", &option))
        return nullptr;
    const InfoCode *row = nullptr;
    return do_curl_getinfo_raw_impl(reinterpret_cast<CurlObject *>(op), option, &row);
}

PyObject *do_curl_getinfo(PyObject *op, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames)
{
    if (!no_keywords(kwnames, "getinfo"))
        return nullptr;
    auto *self = reinterpret_cast<CurlObject *>(op);
    int option;
    if (!(nargs == 1 && exact_int_argument(args[0], &option)) &&
        !parse_positional(args, nargs, "i:getinfo", &option))
        return nullptr;
    if (option == CURLINFO_CERTINFO) {
        if (check_curl_state(self, STATE_NEED_HANDLE | STATE_NOT_RUNNING, "getinfo") < 0)
            return nullptr;
        return query_certificate_chain(self, true);
    }
    const InfoCode *row = nullptr;
    Ref raw = Ref::steal(do_curl_getinfo_raw_impl(self, option, &row));
    if (!raw)
        return nullptr;
    if (row->kind == InfoKind::Text && raw.get() != Py_None)
        return PyUnicode_FromEncodedObject(raw.get(), nullptr, "strict");
    if (row->kind == InfoKind::StringList)
        return decode_string_list(raw.get());
    return raw.release();
}

PyObject *do_curl_errstr(PyObject *op, PyObject *)
{
    auto *self = reinterpret_cast<CurlObject *>(op);
    if (check_curl_state(self, STATE_NEED_HANDLE | STATE_NOT_RUNNING, "errstr") < 0)
        return nullptr;
    self->error[CURL_ERROR_SIZE] = '\0';
    return PyUnicode_DecodeUTF8(self->error, static_cast<Py_ssize_t>(std::strlen(self->error)), "strict");
}

PyObject *do_curl_errstr_raw(PyObject *op, PyObject *)
{
    auto *self = reinterpret_cast<CurlObject *>(op);
    if (check_curl_state(self, STATE_NEED_HANDLE | STATE_NOT_RUNNING, "errstr") < 0)
        return nullptr;
    self->error[CURL_ERROR_SIZE] = '\0';
    return PyBytes_FromString(self->error);
}

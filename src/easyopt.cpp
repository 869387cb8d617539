// Setting options on a Curl object: the dispatcher, the conversion of each
// kind of value, unsetting, and the holders that keep alive the memory
// libcurl points into.
#include "tovrel.h"

#include <algorithm>
#include <array>
#include <cstdio>

namespace {

// `use_memoryview` as passed to setopt: not given, False or True.
constexpr int MEMORYVIEW_NOT_GIVEN = -1;

// libcurl's numbers for options the module names differently: its
// constants INFILESIZE and POSTFIELDSIZE are the large-file variants.
constexpr int OPTION_INFILESIZE_LONG = 14;
constexpr int OPTION_POSTFIELDSIZE_LONG = 60;

PyObject *invalid_arguments(const char *message)
{
    PyErr_SetString(PyExc_TypeError, message);
    return nullptr;
}

PyObject *raise_curl_error(CurlObject *self, CURLcode code)
{
    create_and_set_error_object(self, code);
    return nullptr;
}

bool option_number_is_valid(int option)
{
    return option >= 1 && option <= 40328 && option % 10000 <= 328;
}

// ---------------------------------------------------------------------------
// option tables

enum class StringKind : unsigned char { Generic, Deprecated, PostFields, CopyPostFields, Blob };

struct StringOption {
    int option;
    StringKind kind;
    constexpr bool operator<(const StringOption &other) const { return option < other.option; }
};

constexpr StringOption generic(CURLoption option)
{
    return {option, StringKind::Generic};
}

constexpr auto string_options = [] {
    std::array rows = {
        generic(CURLOPT_URL), generic(CURLOPT_PROXY), generic(CURLOPT_USERPWD), generic(CURLOPT_PROXYUSERPWD),
        generic(CURLOPT_RANGE), generic(CURLOPT_REFERER), generic(CURLOPT_FTPPORT), generic(CURLOPT_USERAGENT),
        generic(CURLOPT_COOKIE), generic(CURLOPT_SSLCERT), generic(CURLOPT_KEYPASSWD), generic(CURLOPT_COOKIEFILE),
        generic(CURLOPT_CUSTOMREQUEST), generic(CURLOPT_INTERFACE), generic(CURLOPT_CAINFO),
        generic(CURLOPT_COOKIEJAR), generic(CURLOPT_SSL_CIPHER_LIST), generic(CURLOPT_SSLCERTTYPE),
        generic(CURLOPT_SSLKEY), generic(CURLOPT_SSLKEYTYPE), generic(CURLOPT_SSLENGINE), generic(CURLOPT_CAPATH),
        generic(CURLOPT_ACCEPT_ENCODING), generic(CURLOPT_NETRC_FILE), generic(CURLOPT_COOKIELIST),
        generic(CURLOPT_FTP_ALTERNATIVE_TO_USER), generic(CURLOPT_SSH_PUBLIC_KEYFILE),
        generic(CURLOPT_SSH_PRIVATE_KEYFILE), generic(CURLOPT_SSH_HOST_PUBLIC_KEY_MD5), generic(CURLOPT_CRLFILE),
        generic(CURLOPT_ISSUERCERT), generic(CURLOPT_USERNAME), generic(CURLOPT_PASSWORD),
        generic(CURLOPT_PROXYUSERNAME), generic(CURLOPT_PROXYPASSWORD), generic(CURLOPT_NOPROXY),
        generic(CURLOPT_SSH_KNOWNHOSTS), generic(CURLOPT_MAIL_FROM), generic(CURLOPT_RTSP_SESSION_ID),
        generic(CURLOPT_RTSP_STREAM_URI), generic(CURLOPT_RTSP_TRANSPORT), generic(CURLOPT_TLSAUTH_USERNAME),
        generic(CURLOPT_TLSAUTH_PASSWORD), generic(CURLOPT_TLSAUTH_TYPE), generic(CURLOPT_DNS_SERVERS),
        generic(CURLOPT_MAIL_AUTH), generic(CURLOPT_XOAUTH2_BEARER), generic(CURLOPT_LOGIN_OPTIONS),
        generic(CURLOPT_PINNEDPUBLICKEY), generic(CURLOPT_UNIX_SOCKET_PATH), generic(CURLOPT_PROXY_SERVICE_NAME),
        generic(CURLOPT_SERVICE_NAME), generic(CURLOPT_DEFAULT_PROTOCOL), generic(CURLOPT_PROXY_CAINFO),
        generic(CURLOPT_PROXY_CAPATH), generic(CURLOPT_PROXY_TLSAUTH_USERNAME),
        generic(CURLOPT_PROXY_TLSAUTH_PASSWORD), generic(CURLOPT_PROXY_TLSAUTH_TYPE),
        generic(CURLOPT_PROXY_SSLCERT), generic(CURLOPT_PROXY_SSLCERTTYPE), generic(CURLOPT_PROXY_SSLKEY),
        generic(CURLOPT_PROXY_SSLKEYTYPE), generic(CURLOPT_PROXY_KEYPASSWD), generic(CURLOPT_PROXY_SSL_CIPHER_LIST),
        generic(CURLOPT_PROXY_CRLFILE), generic(CURLOPT_PRE_PROXY), generic(CURLOPT_PROXY_PINNEDPUBLICKEY),
        generic(CURLOPT_REQUEST_TARGET), generic(CURLOPT_TLS13_CIPHERS), generic(CURLOPT_PROXY_TLS13_CIPHERS),
        generic(CURLOPT_DOH_URL), generic(CURLOPT_PROXY_ISSUERCERT), generic(CURLOPT_HSTS),
        generic(CURLOPT_AWS_SIGV4), generic(CURLOPT_HAPROXY_CLIENT_IP), generic(CURLOPT_ECH),
        StringOption{CURLOPT_COPYPOSTFIELDS, StringKind::CopyPostFields},
        StringOption{CURLOPT_KRBLEVEL, StringKind::Deprecated},
        StringOption{CURLOPT_RANDOM_FILE, StringKind::Deprecated},
        StringOption{CURLOPT_EGDSOCKET, StringKind::Deprecated},
        StringOption{CURLOPT_SOCKS5_GSSAPI_SERVICE, StringKind::Deprecated},
        StringOption{CURLOPT_POSTFIELDS, StringKind::PostFields},
        StringOption{CURLOPT_SSLCERT_BLOB, StringKind::Blob},
        StringOption{CURLOPT_SSLKEY_BLOB, StringKind::Blob},
        StringOption{CURLOPT_PROXY_SSLCERT_BLOB, StringKind::Blob},
        StringOption{CURLOPT_PROXY_SSLKEY_BLOB, StringKind::Blob},
        StringOption{CURLOPT_ISSUERCERT_BLOB, StringKind::Blob},
        StringOption{CURLOPT_PROXY_ISSUERCERT_BLOB, StringKind::Blob},
        StringOption{CURLOPT_CAINFO_BLOB, StringKind::Blob},
        StringOption{CURLOPT_PROXY_CAINFO_BLOB, StringKind::Blob},
    };
    std::sort(rows.begin(), rows.end());
    return rows;
}();
static_assert(string_options.size() == 77 + 4 + 1 + 8);

const StringOption *find_string_option(int option)
{
    auto row = std::lower_bound(string_options.begin(), string_options.end(), StringOption{option, {}});
    return row != string_options.end() && row->option == option ? &*row : nullptr;
}

enum class UnsetKind : unsigned char { LongMinusOne, LongZero, Null, StringList, HttpPost, Mime, Share, Callback };

struct UnsetOption {
    int option;
    UnsetKind kind;
    constexpr bool operator<(const UnsetOption &other) const { return option < other.option; }
};

constexpr UnsetOption to_null(CURLoption option)
{
    return {option, UnsetKind::Null};
}

constexpr UnsetOption callback_unset(CURLoption option)
{
    return {option, UnsetKind::Callback};
}

constexpr auto unset_options = [] {
    std::array rows = {
        UnsetOption{OPTION_INFILESIZE_LONG, UnsetKind::LongMinusOne},
        UnsetOption{CURLOPT_CERTINFO, UnsetKind::LongZero},
        to_null(CURLOPT_PROXY), to_null(CURLOPT_USERPWD), to_null(CURLOPT_PROXYUSERPWD), to_null(CURLOPT_RANGE),
        to_null(CURLOPT_FTPPORT), to_null(CURLOPT_COOKIE), to_null(CURLOPT_CUSTOMREQUEST), to_null(CURLOPT_CAINFO),
        to_null(CURLOPT_RANDOM_FILE), to_null(CURLOPT_EGDSOCKET), to_null(CURLOPT_COOKIEJAR),
        to_null(CURLOPT_SSL_CIPHER_LIST), to_null(CURLOPT_CAPATH), to_null(CURLOPT_ACCEPT_ENCODING),
        to_null(CURLOPT_USERNAME), to_null(CURLOPT_PASSWORD), to_null(CURLOPT_PROXYUSERNAME),
        to_null(CURLOPT_PROXYPASSWORD), to_null(CURLOPT_PROXY_SERVICE_NAME), to_null(CURLOPT_SERVICE_NAME),
        to_null(CURLOPT_PROXY_CAINFO), to_null(CURLOPT_PROXY_CAPATH), to_null(CURLOPT_PROXY_SSLCERT),
        to_null(CURLOPT_PROXY_SSLCERTTYPE), to_null(CURLOPT_PROXY_SSLKEY), to_null(CURLOPT_PROXY_SSLKEYTYPE),
        to_null(CURLOPT_PROXY_SSL_CIPHER_LIST), to_null(CURLOPT_PRE_PROXY), to_null(CURLOPT_HSTS),
        to_null(CURLOPT_SSLCERT_BLOB), to_null(CURLOPT_SSLKEY_BLOB), to_null(CURLOPT_PROXY_SSLCERT_BLOB),
        to_null(CURLOPT_PROXY_SSLKEY_BLOB), to_null(CURLOPT_ISSUERCERT_BLOB), to_null(CURLOPT_PROXY_ISSUERCERT_BLOB),
        to_null(CURLOPT_CAINFO_BLOB), to_null(CURLOPT_PROXY_CAINFO_BLOB),
        UnsetOption{CURLOPT_HTTPHEADER, UnsetKind::StringList}, UnsetOption{CURLOPT_QUOTE, UnsetKind::StringList},
        UnsetOption{CURLOPT_POSTQUOTE, UnsetKind::StringList},
        UnsetOption{CURLOPT_TELNETOPTIONS, UnsetKind::StringList},
        UnsetOption{CURLOPT_PREQUOTE, UnsetKind::StringList},
        UnsetOption{CURLOPT_HTTP200ALIASES, UnsetKind::StringList},
        UnsetOption{CURLOPT_MAIL_RCPT, UnsetKind::StringList}, UnsetOption{CURLOPT_RESOLVE, UnsetKind::StringList},
        UnsetOption{CURLOPT_PROXYHEADER, UnsetKind::StringList},
        UnsetOption{CURLOPT_CONNECT_TO, UnsetKind::StringList},
        UnsetOption{CURLOPT_HTTPPOST, UnsetKind::HttpPost}, UnsetOption{CURLOPT_MIMEPOST, UnsetKind::Mime},
        UnsetOption{CURLOPT_SHARE, UnsetKind::Share},
        // Unsetting the header file drops the header callable with it:
        // leaving the trampoline installed without its data would fail
        // every later transfer.
        callback_unset(CURLOPT_HEADERDATA),
        callback_unset(CURLOPT_WRITEFUNCTION), callback_unset(CURLOPT_READFUNCTION),
        callback_unset(CURLOPT_PROGRESSFUNCTION), callback_unset(CURLOPT_HEADERFUNCTION),
        callback_unset(CURLOPT_DEBUGFUNCTION), callback_unset(CURLOPT_IOCTLFUNCTION),
        callback_unset(CURLOPT_SOCKOPTFUNCTION), callback_unset(CURLOPT_OPENSOCKETFUNCTION),
        callback_unset(CURLOPT_SEEKFUNCTION), callback_unset(CURLOPT_SSH_KEYFUNCTION),
        callback_unset(CURLOPT_FNMATCH_FUNCTION), callback_unset(CURLOPT_CLOSESOCKETFUNCTION),
        callback_unset(CURLOPT_XFERINFOFUNCTION), callback_unset(CURLOPT_RESOLVER_START_FUNCTION),
        callback_unset(CURLOPT_TRAILERFUNCTION), callback_unset(CURLOPT_HSTSREADFUNCTION),
        callback_unset(CURLOPT_HSTSWRITEFUNCTION), callback_unset(CURLOPT_PREREQFUNCTION),
    };
    std::sort(rows.begin(), rows.end());
    return rows;
}();

const UnsetOption *find_unset_option(int option)
{
    auto row = std::lower_bound(unset_options.begin(), unset_options.end(), UnsetOption{option, {}});
    return row != unset_options.end() && row->option == option ? &*row : nullptr;
}

const CurlSlistField *find_slist_field(int option)
{
    for (const CurlSlistField &list : curl_slist_fields) {
        if (list.option == option)
            return &list;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// unsetting

// PROGRESSDATA and XFERINFODATA are one libcurl option: it may only be
// cleared when neither progress callable remains.
bool data_option_still_needed(CurlObject *self, const CallbackField &cb)
{
    if (cb.data_option != CURLOPT_XFERINFODATA)
        return false;
    PyObject *other = cb.field == &CurlObject::progressfunction ? self->xferinfofunction : self->progressfunction;
    return other != nullptr;
}

// As when it was set, the handle leaves the share under the share's lock.
CURLcode unset_share(CurlObject *self)
{
    CurlShareObject *share = self->share;
    if (share == nullptr)
        return curl_easy_setopt(self->handle, CURLOPT_SHARE, nullptr);
    CURLcode code;
    {
        MutexHold hold(&share->object_lock);
        code = curl_easy_setopt(self->handle, CURLOPT_SHARE, nullptr);
    }
    if (code == CURLE_OK) {
        share_unregister_easy(share, self);
        self->share = nullptr;
        Py_DECREF(share);
    }
    return code;
}

CURLcode unset_callback(CurlObject *self, int option)
{
    if (option == CURLOPT_HEADERDATA)
        option = CURLOPT_HEADERFUNCTION;
    const CallbackField &cb = *find_callback_field(option);
    CURLcode code = curl_easy_setopt(self->handle, cb.option, nullptr);
    if (code != CURLE_OK)
        return code;
    // Without a callable libcurl writes to stdout and reads from stdin.
    if (option == CURLOPT_WRITEFUNCTION)
        code = curl_easy_setopt(self->handle, CURLOPT_WRITEDATA, stdout);
    else if (option == CURLOPT_READFUNCTION)
        code = curl_easy_setopt(self->handle, CURLOPT_READDATA, stdin);
    else if (data_option_still_needed(self, cb))
        code = curl_easy_setopt(self->handle, cb.data_option, self);
    else
        code = curl_easy_setopt(self->handle, cb.data_option, nullptr);
    if (code == CURLE_OK) {
        Py_CLEAR(self->*cb.field);
        if (option == CURLOPT_CLOSESOCKETFUNCTION)
            curl_forget_closesocket_callable(self);
    }
    return code;
}

PyObject *util_curl_unsetopt(CurlObject *self, int option)
{
    const UnsetOption *row = find_unset_option(option);
    if (row == nullptr)
        return invalid_arguments("unsetopt() is not supported for this option");
    CURL *handle = self->handle;
    FreshErrorBuffer fresh(self);
    CURLcode code = CURLE_OK;
    auto option_id = static_cast<CURLoption>(option);
    switch (row->kind) {
    case UnsetKind::LongMinusOne:
        code = curl_easy_setopt(handle, option_id, -1L);
        break;
    case UnsetKind::LongZero:
        code = curl_easy_setopt(handle, option_id, 0L);
        break;
    case UnsetKind::Null:
        code = curl_easy_setopt(handle, option_id, nullptr);
        break;
    case UnsetKind::StringList:
        code = curl_easy_setopt(handle, option_id, nullptr);
        if (code == CURLE_OK)
            Py_CLEAR(self->*find_slist_field(option)->field);
        break;
    case UnsetKind::HttpPost:
        code = curl_easy_setopt(handle, option_id, nullptr);
        if (code == CURLE_OK)
            Py_CLEAR(self->httppost);
        break;
    case UnsetKind::Mime:
        code = util_curl_unset_mimepost(self);
        if (code == CURLE_OK)
            util_curl_xdecref(self, RELEASE_MIME, nullptr);
        break;
    case UnsetKind::Share:
        code = unset_share(self);
        break;
    case UnsetKind::Callback:
        code = unset_callback(self, option);
        break;
    }
    if (code != CURLE_OK)
        return raise_curl_error(self, code);
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// integers

// Bytes libcurl would read from the held POSTFIELDS data.
int check_postfields_size(CurlObject *self, long long size)
{
    if (self->postfields_obj != nullptr && size > PyBytes_GET_SIZE(self->postfields_obj)) {
        PyErr_SetString(PyExc_ValueError, "POSTFIELDSIZE is larger than the POSTFIELDS data");
        return -1;
    }
    return 0;
}

PyObject *do_curl_setopt_int(CurlObject *self, int option, PyObject *value)
{
    bool is_long = option < CURLOPTTYPE_OBJECTPOINT;
    bool is_off_t = option >= CURLOPTTYPE_OFF_T && option < CURLOPTTYPE_BLOB;
    if (!is_long && !is_off_t)
        return invalid_arguments("integers are not supported for this option");
    long long number = PyLong_AsLongLong(value);
    if (number == -1 && PyErr_Occurred())
        return nullptr;
    bool sets_postfields_size = option == OPTION_POSTFIELDSIZE_LONG || option == CURLOPT_POSTFIELDSIZE_LARGE;
    if (sets_postfields_size && check_postfields_size(self, number) < 0)
        return nullptr;
    FreshErrorBuffer fresh(self);
    CURLcode code = is_long ? curl_easy_setopt(self->handle, static_cast<CURLoption>(option), static_cast<long>(number))
                            : curl_easy_setopt(self->handle, static_cast<CURLoption>(option),
                                               static_cast<curl_off_t>(number));
    if (code != CURLE_OK)
        return raise_curl_error(self, code);
    if (sets_postfields_size)
        self->postfields_size = number;
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// text

// The text of a value, with the temporary encoded copy (for str) kept alive.
struct Text {
    char *data = nullptr;
    Py_ssize_t length = 0;
    Ref encoded;

    int from(PyObject *value, bool nul_allowed)
    {
        PyObject *copy = nullptr;
        int result = PyText_AsStringAndSize(value, &data, nul_allowed ? &length : nullptr, &copy);
        encoded = Ref::steal(copy);
        if (result == 0 && !nul_allowed)
            length = static_cast<Py_ssize_t>(strlen(data));
        return result;
    }

    // The object whose buffer `data` points into.
    PyObject *owner(PyObject *value) const { return encoded ? encoded.get() : value; }
};

PyObject *set_postfields(CurlObject *self, PyObject *value)
{
    Text text;
    if (text.from(value, true) < 0)
        return nullptr;
    FreshErrorBuffer fresh(self);
    CURLcode code = text.length < 2147483648LL
                        ? curl_easy_setopt(self->handle, static_cast<CURLoption>(OPTION_POSTFIELDSIZE_LONG),
                                           static_cast<long>(text.length))
                        : curl_easy_setopt(self->handle, CURLOPT_POSTFIELDSIZE_LARGE,
                                           static_cast<curl_off_t>(text.length));
    if (code == CURLE_OK)
        code = curl_easy_setopt(self->handle, CURLOPT_POSTFIELDS, text.data);
    if (code != CURLE_OK)
        return raise_curl_error(self, code);
    PyObject *keep = text.encoded ? text.encoded.release() : Py_NewRef(value);
    Py_XSETREF(self->postfields_obj, keep);
    self->postfields_size = text.length;
    Py_RETURN_NONE;
}

PyObject *set_copied_postfields(CurlObject *self, PyObject *value)
{
    Text text;
    if (text.from(value, false) < 0)
        return nullptr;
    // libcurl copies as many bytes as the last POSTFIELDSIZE says.
    if (self->postfields_size > text.length) {
        PyErr_SetString(PyExc_ValueError, "POSTFIELDSIZE is larger than the COPYPOSTFIELDS data");
        return nullptr;
    }
    FreshErrorBuffer fresh(self);
    CURLcode code = curl_easy_setopt(self->handle, CURLOPT_COPYPOSTFIELDS, text.data);
    if (code != CURLE_OK)
        return raise_curl_error(self, code);
    // libcurl now posts its own copy, not the data held before.
    Py_CLEAR(self->postfields_obj);
    Py_RETURN_NONE;
}

PyObject *set_blob(CurlObject *self, int option, PyObject *value)
{
    Text text;
    if (text.from(value, true) < 0)
        return nullptr;
    curl_blob blob = {text.data, static_cast<size_t>(text.length), CURL_BLOB_COPY};
    FreshErrorBuffer fresh(self);
    CURLcode code = curl_easy_setopt(self->handle, static_cast<CURLoption>(option), &blob);
    if (code != CURLE_OK)
        return raise_curl_error(self, code);
    Py_RETURN_NONE;
}

PyObject *set_plain_string(CurlObject *self, int option, PyObject *value)
{
    Text text;
    if (text.from(value, false) < 0)
        return nullptr;
    FreshErrorBuffer fresh(self);
    CURLcode code = curl_easy_setopt(self->handle, static_cast<CURLoption>(option), text.data);
    if (code != CURLE_OK)
        return raise_curl_error(self, code);
    Py_RETURN_NONE;
}

PyObject *do_curl_setopt_string_impl(CurlObject *self, int option, PyObject *value)
{
    const StringOption *row = find_string_option(option);
    if (row == nullptr)
        return invalid_arguments("strings are not supported for this option");
    switch (row->kind) {
    case StringKind::Deprecated:
        if (PyErr_WarnEx(PyExc_DeprecationWarning, "setopt option is deprecated", 1) < 0)
            return nullptr;
        return set_plain_string(self, option, value);
    case StringKind::Generic:
        return set_plain_string(self, option, value);
    case StringKind::PostFields:
        return set_postfields(self, value);
    case StringKind::CopyPostFields:
        return set_copied_postfields(self, value);
    case StringKind::Blob:
        return set_blob(self, option, value);
    }
    return invalid_arguments("strings are not supported for this option");
}

// ---------------------------------------------------------------------------
// lists

}  // namespace

struct curl_slist *tovrel_list_or_tuple_to_slist(int which, PyObject *sequence, Py_ssize_t length)
{
    struct curl_slist *slist = nullptr;
    for (Py_ssize_t i = 0; i < length; ++i) {
        PyObject *item = PyListOrTuple_GetItem(sequence, i, which);
        if (!PyText_Check(item)) {
            curl_slist_free_all(slist);
            PyErr_SetString(PyExc_TypeError,
                            "list items must be byte strings or Unicode strings with ASCII code points only");
            return nullptr;
        }
        PyObject *encoded = nullptr;
        const char *text = PyText_AsString_NoNUL(item, &encoded);
        if (text == nullptr) {
            curl_slist_free_all(slist);
            return nullptr;
        }
        struct curl_slist *grown = curl_slist_append(slist, text);
        Py_XDECREF(encoded);
        if (grown == nullptr || grown->data == nullptr) {
            curl_slist_free_all(grown ? grown : slist);
            PyErr_NoMemory();
            return nullptr;
        }
        slist = grown;
    }
    return slist;
}

int util_curlslist_update(CurlSlistObject **field, struct curl_slist *slist)
{
    auto *holder = PyObject_New(CurlSlistObject, p_CurlSlist_Type);
    if (holder == nullptr)
        return -1;
    holder->slist = slist;
    Py_XSETREF(*field, holder);
    return 0;
}

int util_curlhttppost_update(CurlObject *self, struct curl_httppost *post, PyObject *reflist)
{
    auto *holder = PyObject_New(CurlHttppostObject, p_CurlHttppost_Type);
    if (holder == nullptr)
        return -1;
    holder->post = post;
    holder->reflist = reflist;
    Py_XSETREF(self->httppost, holder);
    return 0;
}

namespace {

PyObject *do_curl_setopt_list(CurlObject *self, int option, PyObject *sequence)
{
    const CurlSlistField *list = find_slist_field(option);
    if (list == nullptr)
        return invalid_arguments("lists are not supported for this option");
    int which = PyListOrTuple_Check(sequence);
    Py_ssize_t length = PyListOrTuple_Size(sequence, which);
    if (length == 0)
        Py_RETURN_NONE;
    struct curl_slist *slist = tovrel_list_or_tuple_to_slist(which, sequence, length);
    if (slist == nullptr)
        return nullptr;
    FreshErrorBuffer fresh(self);
    CURLcode code = curl_easy_setopt(self->handle, list->option, slist);
    if (code != CURLE_OK) {
        curl_slist_free_all(slist);
        return raise_curl_error(self, code);
    }
    if (util_curlslist_update(&(self->*list->field), slist) < 0) {
        curl_easy_setopt(self->handle, list->option, nullptr);
        curl_slist_free_all(slist);
        return nullptr;
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// form posts

PyObject *first_element_error()
{
    return invalid_arguments(
        "list or tuple must contain a byte string or Unicode string with ASCII code points only as first element");
}

bool is_form_option(int option)
{
    switch (option) {
    case CURLFORM_COPYCONTENTS:
    case CURLFORM_FILE:
    case CURLFORM_BUFFER:
    case CURLFORM_BUFFERPTR:
    case CURLFORM_CONTENTTYPE:
    case CURLFORM_FILENAME:
        return true;
    default:
        return false;
    }
}

// A form under construction; whatever is not handed to the Curl object is
// freed when it goes.
struct FormBuilder {
    struct curl_httppost *post = nullptr;
    struct curl_httppost *last = nullptr;
    Ref reflist;

    FormBuilder() = default;
    FormBuilder(const FormBuilder &) = delete;
    FormBuilder &operator=(const FormBuilder &) = delete;
    ~FormBuilder()
    {
        if (post != nullptr)
            curl_formfree(post);
    }

    int keep_alive(PyObject *owner)
    {
        if (!reflist) {
            reflist = Ref::steal(PyList_New(0));
            if (!reflist)
                return -1;
        }
        return PyList_Append(reflist.get(), owner);
    }
};

// The curl_forms array of one field.
class FormArray {
public:
    explicit FormArray(size_t entries) : forms_(entries), capacity_(entries) {}

    bool valid() const { return static_cast<bool>(forms_); }
    void add(CURLformoption option, const char *value)
    {
        assert(used_ < capacity_);
        forms_[used_++] = {option, value};
    }
    void add_length(CURLformoption option, Py_ssize_t length)
    {
        // curl_formadd reads length entries back as a long from the pointer.
        add(option, reinterpret_cast<const char *>(static_cast<intptr_t>(length)));
    }
    curl_forms *terminated()
    {
        add(CURLFORM_END, nullptr);
        return forms_.get();
    }

private:
    MemoryBlock<curl_forms> forms_;
    size_t capacity_;
    size_t used_ = 0;
};

// One (FORM_* option, value) pair of an option list.
int add_form_option(FormBuilder &form, FormArray &forms, PyObject *option_obj, PyObject *value, PyObject *temporaries)
{
    if (!PyLong_Check(option_obj)) {
        invalid_arguments("option must be an integer");
        return -1;
    }
    if (!PyText_Check(value)) {
        invalid_arguments("value must be a byte string or a Unicode string with ASCII code points only");
        return -1;
    }
    int option = PyLong_AsInt(option_obj);
    if (option == -1 && PyErr_Occurred())
        return -1;
    if (!is_form_option(option)) {
        invalid_arguments("unsupported option");
        return -1;
    }
    // Only contents and buffers travel with a length; libcurl reads the
    // other values (paths, names, types) up to their first NUL.
    bool sized = option == CURLFORM_COPYCONTENTS || option == CURLFORM_BUFFERPTR;
    Text text;
    if (text.from(value, sized) < 0)
        return -1;
    // The encoded copy must outlive curl_formadd, which copies most values.
    if (text.encoded && PyList_Append(temporaries, text.encoded.get()) < 0)
        return -1;
    forms.add(static_cast<CURLformoption>(option), text.data);
    if (option == CURLFORM_COPYCONTENTS) {
        forms.add_length(CURLFORM_CONTENTSLENGTH, text.length);
    } else if (option == CURLFORM_BUFFERPTR) {
        // libcurl uses this buffer in place for as long as the form lives.
        if (form.keep_alive(text.owner(value)) < 0)
            return -1;
        forms.add_length(CURLFORM_BUFFERLENGTH, text.length);
    }
    return 0;
}

// A field whose value is a list of (FORM_* option, value) pairs.
int add_option_list_field(CurlObject *self, FormBuilder &form, const Text &name, PyObject *options)
{
    int which = PyListOrTuple_Check(options);
    Py_ssize_t count = PyListOrTuple_Size(options, which);
    if (count < 2) {
        invalid_arguments("list or tuple must contain at least one option and one value");
        return -1;
    }
    if (count % 2 != 0) {
        invalid_arguments("list or tuple must contain an even number of items");
        return -1;
    }
    // Each pair takes at most two entries (contents and buffers carry a
    // length), and one more ends the array.
    if (count >= PY_SSIZE_T_MAX / static_cast<Py_ssize_t>(sizeof(curl_forms))) {
        PyErr_NoMemory();
        return -1;
    }
    FormArray forms(static_cast<size_t>(count) + 1);
    Ref temporaries = Ref::steal(PyList_New(0));
    if (!forms.valid() || !temporaries) {
        PyErr_NoMemory();
        return -1;
    }
    for (Py_ssize_t i = 0; i < count; i += 2) {
        if (add_form_option(form, forms, PyListOrTuple_GetItem(options, i, which),
                            PyListOrTuple_GetItem(options, i + 1, which), temporaries.get()) < 0)
            return -1;
    }
    CURLFORMcode code = curl_formadd(&form.post, &form.last, CURLFORM_COPYNAME, name.data, CURLFORM_NAMELENGTH,
                                     static_cast<long>(name.length), CURLFORM_ARRAY, forms.terminated(), CURLFORM_END);
    if (code != CURL_FORMADD_OK) {
        create_and_set_error_object(self, code);
        return -1;
    }
    return 0;
}

int add_form_field(CurlObject *self, FormBuilder &form, PyObject *item)
{
    int kind = PyListOrTuple_Check(item);
    if (kind == NOT_LIST_OR_TUPLE) {
        invalid_arguments("list items must be list or tuple objects");
        return -1;
    }
    if (PyListOrTuple_Size(item, kind) != 2) {
        invalid_arguments("list or tuple must contain two elements (name, value)");
        return -1;
    }
    PyObject *name_obj = PyListOrTuple_GetItem(item, 0, kind);
    PyObject *value = PyListOrTuple_GetItem(item, 1, kind);
    Text name;
    if (!PyText_Check(name_obj) || name.from(name_obj, true) < 0) {
        PyErr_Clear();
        first_element_error();
        return -1;
    }
    if (PyText_Check(value)) {
        Text text;
        if (text.from(value, true) < 0) {
            PyErr_Clear();
            create_and_set_error_object(self, CURLE_BAD_FUNCTION_ARGUMENT);
            return -1;
        }
        CURLFORMcode code = curl_formadd(&form.post, &form.last, CURLFORM_COPYNAME, name.data, CURLFORM_NAMELENGTH,
                                         static_cast<long>(name.length), CURLFORM_COPYCONTENTS, text.data,
                                         CURLFORM_CONTENTSLENGTH, static_cast<long>(text.length), CURLFORM_END);
        if (code != CURL_FORMADD_OK) {
            create_and_set_error_object(self, code);
            return -1;
        }
        return 0;
    }
    if (PyListOrTuple_Check(value))
        return add_option_list_field(self, form, name, value);
    invalid_arguments("unsupported second type in tuple");
    return -1;
}

PyObject *do_curl_setopt_httppost(CurlObject *self, PyObject *fields)
{
    if (PyErr_WarnEx(PyExc_DeprecationWarning, "HTTPPOST is deprecated; use MIMEPOST", 1) < 0)
        return nullptr;
    int which = PyListOrTuple_Check(fields);
    Py_ssize_t count = PyListOrTuple_Size(fields, which);
    if (count == 0)
        Py_RETURN_NONE;
    FormBuilder form;
    FreshErrorBuffer fresh(self);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (add_form_field(self, form, PyListOrTuple_GetItem(fields, i, which)) < 0)
            return nullptr;
    }
    CURLcode code = CURLE_OK;
    if (self->mimepost != nullptr) {
        code = util_curl_unset_mimepost(self);
        // libcurl no longer has it, whatever happens next
        if (code == CURLE_OK)
            util_curl_xdecref(self, RELEASE_MIME, nullptr);
    }
    if (code == CURLE_OK)
        code = curl_easy_setopt(self->handle, CURLOPT_HTTPPOST, form.post);
    if (code != CURLE_OK)
        return raise_curl_error(self, code);
    PyObject *reflist = form.reflist.release();
    if (util_curlhttppost_update(self, form.post, reflist) < 0) {
        curl_easy_setopt(self->handle, CURLOPT_HTTPPOST, nullptr);
        form.reflist = Ref::steal(reflist);
        return nullptr;
    }
    form.post = nullptr;  // the holder has it now
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// callables and file objects

PyObject *do_curl_setopt_callable(CurlObject *self, int option, PyObject *callable, int use_memoryview)
{
    const CallbackField *cb = find_callback_field(option);
    if (cb == nullptr || cb->trampoline == nullptr)
        return invalid_arguments("functions are not supported for this option");
    if (cb->deprecation != nullptr && PyErr_WarnEx(PyExc_DeprecationWarning, cb->deprecation, 1) < 0)
        return nullptr;
    Py_XSETREF(self->*cb->field, Py_NewRef(callable));
    int as_view = use_memoryview == 1 ? 1 : 0;
    if (option == CURLOPT_WRITEFUNCTION)
        self->writefunction_memoryview = as_view;
    else if (option == CURLOPT_HEADERFUNCTION)
        self->headerfunction_memoryview = as_view;
    void *user_data = callback_user_data(self, *cb);
    if (user_data == nullptr)
        return nullptr;
    curl_easy_setopt(self->handle, cb->option, cb->trampoline);
    curl_easy_setopt(self->handle, cb->data_option, user_data);
    Py_RETURN_NONE;
}

}  // namespace

PyObject *do_curl_setopt(PyObject *op, PyObject *args, PyObject *kwds);

namespace {

PyObject *do_curl_setopt_filelike(CurlObject *self, int option, PyObject *object)
{
    const char *method = option == CURLOPT_READDATA ? "read" : "write";
    Ref bound = Ref::steal(PyObject_GetAttrString(object, method));
    if (!bound) {
        PyErr_Clear();
        return invalid_arguments(option == CURLOPT_READDATA ? "object given without a read method"
                                                            : "object given without a write method");
    }
    int function;
    switch (option) {
    case CURLOPT_WRITEDATA:
        function = CURLOPT_WRITEFUNCTION;
        break;
    case CURLOPT_READDATA:
        function = CURLOPT_READFUNCTION;
        break;
    case CURLOPT_HEADERDATA:
        function = CURLOPT_HEADERFUNCTION;
        break;
    default:
        return invalid_arguments("objects are not supported for this option");
    }
    Ref args = Ref::steal(Py_BuildValue("(iO)", function, bound.get()));
    if (!args)
        return nullptr;
    return do_curl_setopt(reinterpret_cast<PyObject *>(self), args.get(), nullptr);
}

// Attach the Curl to a share; the share keeps a weak reference to it.
PyObject *do_curl_setopt_share(CurlObject *self, PyObject *value)
{
    if (self->share != nullptr) {
        PyErr_SetString(ErrorObject, "Curl object already sharing. Unshare first.");
        return nullptr;
    }
    if (Py_TYPE(value) != p_CurlShare_Type)
        return invalid_arguments("invalid arguments to setopt");
    auto *share = reinterpret_cast<CurlShareObject *>(value);
    // Connections this handle opens may end up in the share's pool.
    if (curl_keep_closesocket_context(&share->closesocket_contexts, self) < 0)
        return nullptr;
    FreshErrorBuffer fresh(self);
    CURLcode code;
    {
        MutexHold hold(&share->object_lock);
        code = curl_easy_setopt(self->handle, CURLOPT_SHARE, share->share_handle);
    }
    if (code != CURLE_OK)
        return raise_curl_error(self, code);
    self->share = reinterpret_cast<CurlShareObject *>(Py_NewRef(value));
    if (share_register_easy(share, self) < 0) {
        curl_easy_setopt(self->handle, CURLOPT_SHARE, nullptr);
        Py_CLEAR(self->share);
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject *dispatch_setopt(CurlObject *self, int option, PyObject *value, int use_memoryview)
{
    if (value == Py_None)
        return util_curl_unsetopt(self, option);
    if (PyText_Check(value))
        return do_curl_setopt_string_impl(self, option, value);
    if (PyLong_Check(value))
        return do_curl_setopt_int(self, option, value);
    if (PyListOrTuple_Check(value)) {
        if (option == CURLOPT_HTTPPOST)
            return do_curl_setopt_httppost(self, value);
        return do_curl_setopt_list(self, option, value);
    }
    if (PyCallable_Check(value))
        return do_curl_setopt_callable(self, option, value, use_memoryview);
    switch (option) {
    case CURLOPT_WRITEDATA:
    case CURLOPT_READDATA:
    case CURLOPT_HEADERDATA:
        return do_curl_setopt_filelike(self, option, value);
    case CURLOPT_MIMEPOST:
        return do_curl_setopt_mimepost(self, value);
    case CURLOPT_SHARE:
        return do_curl_setopt_share(self, value);
    default:
        return invalid_arguments("invalid arguments to setopt");
    }
}

}  // namespace

PyObject *do_curl_setopt(PyObject *op, PyObject *args, PyObject *kwds)
{
    auto *self = reinterpret_cast<CurlObject *>(op);
    static const char *keywords[] = {"option", "value", "use_memoryview", nullptr};
    int option;
    PyObject *value;
    int use_memoryview = MEMORYVIEW_NOT_GIVEN;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "iO|$p:setopt", const_cast<char **>(keywords), &option, &value,
                                     &use_memoryview))
        return nullptr;
    if (check_curl_state(self, STATE_NEED_HANDLE | STATE_NOT_RUNNING, "setopt") < 0)
        return nullptr;
    if (!option_number_is_valid(option))
        return invalid_arguments("invalid arguments to setopt");
    if (use_memoryview != MEMORYVIEW_NOT_GIVEN && option != CURLOPT_WRITEFUNCTION &&
        option != CURLOPT_HEADERFUNCTION)
        return invalid_arguments("use_memoryview is only supported for WRITEFUNCTION and HEADERFUNCTION");
    return dispatch_setopt(self, option, value, use_memoryview);
}

PyObject *do_curl_unsetopt(PyObject *op, PyObject *args)
{
    auto *self = reinterpret_cast<CurlObject *>(op);
    int option;
    if (!PyArg_ParseTuple(args, "i:unsetopt", &option))
        return nullptr;
    if (check_curl_state(self, STATE_NEED_HANDLE | STATE_NOT_RUNNING, "unsetopt") < 0)
        return nullptr;
    if (!option_number_is_valid(option))
        return invalid_arguments("invalid arguments to unsetopt");
    return util_curl_unsetopt(self, option);
}

PyObject *do_curl_setopt_string(PyObject *op, PyObject *args)
{
    auto *self = reinterpret_cast<CurlObject *>(op);
    int option;
    PyObject *value;
    if (!PyArg_ParseTuple(args, "iO:setopt", &option, &value))
        return nullptr;
    if (check_curl_state(self, STATE_NEED_HANDLE | STATE_NOT_RUNNING, "setopt") < 0)
        return nullptr;
    if (!PyText_Check(value))
        return invalid_arguments("invalid arguments to setopt_string");
    return do_curl_setopt_string_impl(self, option, value);
}

// ---------------------------------------------------------------------------
// CA certificates from memory

namespace {

// Trust given with set_ca_certs must not outlive the setting nor reach other
// handles: libcurl may cache a TLS context's certificate store for reuse,
// resume TLS sessions without verifying again, and hand a verified
// connection from its pool to another handle or to this one after a reset.
CURLcode scope_ca_certs_to_this_handle(CurlObject *self)
{
    CURLcode code = curl_easy_setopt(self->handle, CURLOPT_CA_CACHE_TIMEOUT, 0L);
    if (code == CURLE_OK)
        code = curl_easy_setopt(self->handle, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    if (code == CURLE_OK)
        code = curl_easy_setopt(self->handle, CURLOPT_FORBID_REUSE, 1L);
    return code;
}

}  // namespace

PyObject *do_curl_set_ca_certs(PyObject *op, PyObject *args)
{
    auto *self = reinterpret_cast<CurlObject *>(op);
    PyObject *value;
    if (!PyArg_ParseTuple(args, "O:cadata", &value))
        return nullptr;
    // Changing the trust of a transfer that another thread is running
    // would race libcurl.
    if (check_curl_state(self, STATE_NOT_RUNNING, "set_ca_certs") < 0)
        return nullptr;
    Text text;
    if (!PyText_Check(value) || text.from(value, true) < 0) {
        PyErr_Clear();
        return invalid_arguments(
            "set_ca_certs argument must be a byte string or a Unicode string with ASCII code points only");
    }
    PyObject *keep = text.encoded ? text.encoded.release() : Py_NewRef(value);
    Py_XSETREF(self->ca_certs_obj, keep);
    FreshErrorBuffer fresh(self);
    CURLcode code = curl_install_ca_certs_callback(self);
    if (code == CURLE_OK)
        code = scope_ca_certs_to_this_handle(self);
    if (code != CURLE_OK) {
        Py_CLEAR(self->ca_certs_obj);
        return raise_curl_error(self, code);
    }
    Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// holders

namespace {

void do_curlslist_dealloc(PyObject *op)
{
    auto *self = reinterpret_cast<CurlSlistObject *>(op);
    if (self->slist != nullptr) {
        curl_slist_free_all(self->slist);
        self->slist = nullptr;
    }
    Py_TYPE(op)->tp_free(op);
}

void do_curlhttppost_dealloc(PyObject *op)
{
    auto *self = reinterpret_cast<CurlHttppostObject *>(op);
    // The chain goes before the buffers it points into may.
    if (self->post != nullptr) {
        curl_formfree(self->post);
        self->post = nullptr;
    }
    Py_CLEAR(self->reflist);
    Py_TYPE(op)->tp_free(op);
}

}  // namespace

PyTypeObject CurlSlist_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tovrel.CurlSlist",
    .tp_basicsize = sizeof(CurlSlistObject),
    .tp_itemsize = 0,
    .tp_dealloc = do_curlslist_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_free = PyObject_Free,
};

PyTypeObject CurlHttppost_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tovrel.CurlHttppost",
    .tp_basicsize = sizeof(CurlHttppostObject),
    .tp_itemsize = 0,
    .tp_dealloc = do_curlhttppost_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_free = PyObject_Free,
};

// The private header of tovrel._tovrel: object structures, process-wide
// globals and the functions the source files share.
#pragma once

#include "refs.h"

#include <curl/curl.h>
#include <cstddef>

#if LIBCURL_VERSION_NUM < 0x081500
#error "tovrel needs libcurl 8.21.0 or newer"
#endif
#if PY_VERSION_HEX < 0x030F0000
#error "tovrel needs CPython 3.15 or newer"
#endif

// ---------------------------------------------------------------------------
// Object structures

struct CurlMultiObject;
struct CurlShareObject;
struct CurlMimeObject;

// Owns one libcurl string list that a Curl handle points into.
struct CurlSlistObject {
    PyObject_HEAD
    struct curl_slist *slist;
};

// Owns one HTTPPOST form chain and the objects whose buffers it uses in place.
struct CurlHttppostObject {
    PyObject_HEAD
    struct curl_httppost *post;
    PyObject *reflist;
};

struct CurlObject {
    PyObject_HEAD
    PyObject *dict;
    PyObject *weakreflist;
    CURL *handle;
    PyThreadState *state;
    PyObject *multi_weakref;
    CurlMultiObject *multi_stack;  // borrowed: the stack holds us, not we it
    CurlShareObject *share;
    CurlHttppostObject *httppost;
    CurlMimeObject *mimepost;
    // string lists handed to libcurl
    CurlSlistObject *httpheader;
    CurlSlistObject *proxyheader;
    CurlSlistObject *http200aliases;
    CurlSlistObject *quote;
    CurlSlistObject *postquote;
    CurlSlistObject *prequote;
    CurlSlistObject *telnetoptions;
    CurlSlistObject *resolve;
    CurlSlistObject *mail_rcpt;
    CurlSlistObject *connect_to;
    // Python callables libcurl calls through the trampolines
    PyObject *writefunction;
    int writefunction_memoryview;
    PyObject *headerfunction;
    int headerfunction_memoryview;
    PyObject *readfunction;
    PyObject *progressfunction;
    PyObject *xferinfofunction;
    PyObject *debugfunction;
    PyObject *ioctlfunction;
    PyObject *opensocketfunction;
    PyObject *closesocketfunction;
    PyObject *seekfunction;
    PyObject *sockoptfunction;
    PyObject *ssh_keyfunction;
    PyObject *prereqfunction;
    PyObject *fnmatch_function;
    PyObject *resolver_start_function;
    PyObject *trailerfunction;
    PyObject *hstsreadfunction;
    PyObject *hstswritefunction;
    // buffers libcurl reads without copying
    PyObject *postfields_obj;
    PyObject *ca_certs_obj;
    int in_writefunction;
    char error[CURL_ERROR_SIZE + 1];
    // the size last given for POSTFIELDS data (-1: none), so that libcurl
    // is never told to read past the data it was handed
    long long postfields_size;
    // reusable storage for memoryview delivery to write and header callables
    PyObject *callback_buffer;
    // the close-socket callback's user data (see easycb.cpp)
    PyObject *closesocket_context;
    // A duplicate's libcurl handle owns a private copy of the MIME structure
    // it was cloned with: these are the data-callback owners that copy
    // carries (one counted reference each), or null when the handle has no
    // copy of its own.
    PyObject *mime_copy_owners;
    // Non-zero while libcurl runs a call on this handle that may call MIME
    // seek or free callables synchronously; the handle is busy meanwhile.
    int mime_call_depth;
};

struct CurlMultiObject {
    PyObject_HEAD
    PyObject *dict;
    PyObject *weakreflist;
    CURLM *multi_handle;
    PyThreadState *state;
    // the descriptors libcurl watches, as fdset() and select() last read
    // them; poll-style, so descriptors beyond FD_SETSIZE are no hazard
    struct curl_waitfd *waitfds;
    unsigned int waitfds_capacity;
    PyObject *timerfunction;
    PyObject *socketfunction;
    PyObject *notifyfunction;
    PyObject *assignments;
    PyObject *easy_members;
    int close_handles;
    // close-socket contexts of members whose connections may be pooled here
    PyObject *closesocket_contexts;
};

struct CurlShareObject {
    PyObject_HEAD
    PyObject *dict;
    PyObject *weakreflist;
    CURLSH *share_handle;
    PyMutex *lock;         // one cell per libcurl lock-data kind
    PyMutex object_lock;   // guards share_handle and easy_weakrefs
    PyObject *easy_weakrefs;
    int detach_on_close;
    // close-socket contexts of attached handles whose connections may be
    // pooled here
    PyObject *closesocket_contexts;
};

struct CurlMimeObject {
    PyObject_HEAD
    CurlObject *curl;
    curl_mime *handle;
    PyObject *parts;
    PyObject *submimes;
    PyObject *data_cb_owners;
    int owns_handle;
};

struct CurlMimePartObject {
    PyObject_HEAD
    CurlMimeObject *mime;
    curl_mimepart *part;
    PyObject *data_cb_owner;
    // the CurlMime attached with subparts() while it is this part's content
    CurlMimeObject *submime;
};

// The user pointer libcurl passes to the MIME data callbacks of one part.
struct MimeDataCbOwnerObject {
    PyObject_HEAD
    PyObject *read;
    PyObject *seek;
    PyObject *free;
    PyObject *userdata;
    Py_ssize_t libcurl_refs;  // references held on behalf of libcurl structures
    int free_called;
    // 1 while the structure data_cb() installed the owner in still carries
    // it (the reference counted for that structure, as opposed to copies)
    int carried;
};

// ---------------------------------------------------------------------------
// Process-wide globals, made by module initialisation

extern PyObject *ErrorObject;
extern char *g_tovrel_useragent;
extern PyObject *curlobject_constants;
extern PyObject *curlmultiobject_constants;
extern PyObject *curlshareobject_constants;
extern PyObject *bytesio;
extern PyObject *khkey_type;
extern PyObject *curl_sockaddr_type;
extern PyObject *hsts_entry_type;
extern PyObject *hsts_index_type;
extern PyObject *ws_frame_type;
extern PyObject *datetime_type;
extern PyObject *utc_tz;

extern PyTypeObject Curl_Type;
extern PyTypeObject CurlSlist_Type;
extern PyTypeObject CurlHttppost_Type;
extern PyTypeObject CurlMulti_Type;
extern PyTypeObject CurlShare_Type;
extern PyTypeObject CurlMime_Type;
extern PyTypeObject CurlMimePart_Type;

extern PyTypeObject *p_Curl_Type;
extern PyTypeObject *p_CurlSlist_Type;
extern PyTypeObject *p_CurlHttppost_Type;
extern PyTypeObject *p_CurlMulti_Type;
extern PyTypeObject *p_CurlShare_Type;
extern PyTypeObject *p_CurlMime_Type;
extern PyTypeObject *p_CurlMimePart_Type;

// ---------------------------------------------------------------------------
// Constant table (constants.cpp)

enum class ConstantScope : unsigned char { Module, Curl, Multi, Share };
enum class ConstantKind : unsigned char { Integer, Socket };

struct ConstantRow {
    const char *name;
    long long value;
    ConstantScope scope;
    ConstantKind kind;
};

extern const ConstantRow *const constant_rows;
extern const size_t constant_row_count;

// ---------------------------------------------------------------------------
// Module frame (module.cpp)

int insobj2(PyObject *dict1, PyObject *dict2, const char *name, PyObject *value);
int insert_string(PyObject *dict, const char *name, const char *value);
int insert_integer(PyObject *dict1, PyObject *dict2, const char *name, long long value);

// ---------------------------------------------------------------------------
// Thread state and the interpreter-lock hand-off (threadsupport.cpp)

PyThreadState **tovrel_get_thread_state_slot(CurlObject *self);
PyThreadState *tovrel_get_thread_state(CurlObject *self);
PyThreadState **tovrel_get_thread_state_slot_multi(CurlMultiObject *self);
int tovrel_python_enter(PyThreadState **slot);
void tovrel_python_leave(PyThreadState **slot);
int check_pending_python_exception_or_signal();

PyMutex *share_lock_new();
void share_lock_destroy(PyMutex *lock);
void share_lock_lock(PyMutex *lock, curl_lock_data data);
void share_lock_unlock(PyMutex *lock, curl_lock_data data);
void share_lock_callback(CURL *handle, curl_lock_data data, curl_lock_access access, void *userptr);
void share_unlock_callback(CURL *handle, curl_lock_data data, void *userptr);

int tovrel_ssl_init();
void tovrel_ssl_cleanup();

// A trampoline's stay in the interpreter: re-attaches the thread state saved
// in a slot and detaches it again when the scope ends.  `entered()` is false
// when the slot was empty; the trampoline must then not touch Python objects.
class CallbackEntry {
public:
    explicit CallbackEntry(PyThreadState **slot) : slot_(slot), entered_(tovrel_python_enter(slot) == 1) {}
    CallbackEntry(const CallbackEntry &) = delete;
    CallbackEntry &operator=(const CallbackEntry &) = delete;
    ~CallbackEntry()
    {
        if (entered_)
            tovrel_python_leave(slot_);
    }
    bool entered() const { return entered_; }

private:
    PyThreadState **slot_;
    bool entered_;
};

// ---------------------------------------------------------------------------
// Errors and callback reporting (util.cpp)

void create_and_set_error_object(CurlObject *self, int code);
int check_easy_recv_send_result(CurlObject *self, CURLcode code);
void print_callback_error_if_regular_exception();
void warn_failed_to_acquire_thread(const char *message);
PyObject *raise_code_and_text(int code, const char *text);

// Clears the error buffer for one libcurl call, so that an error raised for
// that call carries only text the call itself wrote.  If the call wrote
// nothing, the buffer gets its earlier text back (errstr() keeps reporting
// the last transfer's message).
class FreshErrorBuffer {
public:
    explicit FreshErrorBuffer(CurlObject *self);
    FreshErrorBuffer(const FreshErrorBuffer &) = delete;
    FreshErrorBuffer &operator=(const FreshErrorBuffer &) = delete;
    ~FreshErrorBuffer();

private:
    CurlObject *self_;
    char saved_[CURL_ERROR_SIZE + 1];
};

// ---------------------------------------------------------------------------
// Text, sequence, socket and attribute helpers (stringcompat.cpp, pythoncompat.cpp)

int PyText_Check(PyObject *obj);
int PyText_AsStringAndSize(PyObject *obj, char **buffer, Py_ssize_t *length, PyObject **encoded);
char *PyText_AsString_NoNUL(PyObject *obj, PyObject **encoded);
PyObject *PyText_FromString_Ignore(const char *text);

enum ListOrTupleKind { NOT_LIST_OR_TUPLE = 0, IS_LIST = 1, IS_TUPLE = 2 };
int PyListOrTuple_Check(PyObject *obj);
Py_ssize_t PyListOrTuple_Size(PyObject *obj, int kind);
PyObject *PyListOrTuple_GetItem(PyObject *obj, Py_ssize_t index, int kind);  // borrowed

PyObject *PyLong_FromCurlSocket(curl_socket_t sock);
int PyLong_AsCurlSocket(PyObject *obj, curl_socket_t *sock);

PyObject *my_getattro(PyObject *obj, PyObject *name, PyObject *dict, PyObject *constants);
int my_setattro(PyObject **dict, PyObject *name, PyObject *value);

// Argument parsing for the methods on the transfer paths, which take their
// arguments as an array (METH_FASTCALL) so that a call builds no tuple.
// They read their common argument shapes directly and hand every other call
// to parse_positional, which applies the PyArg_ParseTuple format the method
// has always had: refusals read exactly as that format's own.
int parse_positional(PyObject *const *args, Py_ssize_t nargs, const char *format, ...);
// Keyword arguments refused as a METH_VARARGS method refuses them: false
// with TypeError "NAME() takes no keyword arguments".
bool no_keywords(PyObject *kwnames, const char *name);
// An exact int within a C int's range, read as the "i" format would; false
// (and no exception) for anything that needs the format's full treatment.
bool exact_int_argument(PyObject *obj, int *out);
// Methods with METH_FASTCALL | METH_KEYWORDS in a method table.
template <typename F>
PyCFunction fastcall_method(F *function)
{
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// ---------------------------------------------------------------------------
// Curl objects (easy.cpp)

enum CurlStateFlags { STATE_NEED_HANDLE = 1, STATE_NOT_RUNNING = 2 };

enum CurlReleaseGroups {
    RELEASE_DICT = 1,
    RELEASE_MULTI = 2,
    RELEASE_CALLBACKS = 4,
    RELEASE_SHARE = 16,
    RELEASE_HTTPPOST = 32,
    RELEASE_POSTFIELDS = 64,
    RELEASE_CA_CERTS = 128,
    RELEASE_SLISTS = 256,
    RELEASE_MIME = 512,
    RELEASE_ALL = 1023,
    // what close() and reset() drop: everything but the attribute
    // dictionary, the multi membership and the share
    RELEASE_OWNED_BY_HANDLE = RELEASE_ALL & ~(RELEASE_DICT | RELEASE_MULTI | RELEASE_SHARE),
};

int check_curl_state(CurlObject *self, int flags, const char *name);
// Raises the refusal a busy handle gives: always -1.
int refuse_busy_curl(const char *name);
void assert_curl_state(CurlObject *self);
int util_curl_init(CurlObject *self);
int util_curl_close(CurlObject *self);
void util_curl_xdecref(CurlObject *self, int groups, CURL *handle);
void util_easy_detach_from_multi(CurlObject *self);

// A callback option: the field holding its Python callable, the user-data
// option that points libcurl at the Curl object, and the trampoline libcurl
// calls (null for callbacks this build does not route to Python yet).
using CallbackFn = void (*)();
struct CallbackField {
    CURLoption option;
    PyObject *CurlObject::*field;
    CURLoption data_option;
    CallbackFn trampoline;
    const char *deprecation;  // DeprecationWarning text, or null
};
// In the order the callables are released.
extern const CallbackField curl_callback_fields[18];
const CallbackField *find_callback_field(int option);

// A string-list option and the field holding the list libcurl points into.
struct CurlSlistField {
    CURLoption option;
    CurlSlistObject *CurlObject::*field;
};
extern const CurlSlistField curl_slist_fields[10];

// Refuses a call made from a thread other than the one whose transfer is
// running on the handle; calls from that transfer's own callbacks pass.
int check_curl_not_running_elsewhere(CurlObject *self, const char *name);

// ---------------------------------------------------------------------------
// Options (easyopt.cpp)

PyObject *do_curl_setopt(PyObject *self, PyObject *args, PyObject *kwds);
PyObject *do_curl_unsetopt(PyObject *self, PyObject *args);
PyObject *do_curl_setopt_string(PyObject *self, PyObject *args);
PyObject *do_curl_set_ca_certs(PyObject *self, PyObject *args);
struct curl_slist *tovrel_list_or_tuple_to_slist(int which, PyObject *sequence, Py_ssize_t length);
int util_curlslist_update(CurlSlistObject **field, struct curl_slist *slist);
int util_curlhttppost_update(CurlObject *self, struct curl_httppost *post, PyObject *reflist);

// ---------------------------------------------------------------------------
// Transfers (easyperform.cpp)

PyObject *do_curl_perform(PyObject *self, PyObject *args);
PyObject *do_curl_send(PyObject *self, PyObject *args);
PyObject *do_curl_recv(PyObject *self, PyObject *args);
PyObject *do_curl_recv_into(PyObject *self, PyObject *args, PyObject *kwds);
PyObject *do_curl_pause(PyObject *self, PyObject *args);
PyObject *do_curl_unpause(PyObject *self, PyObject *args);
PyObject *do_curl_perform_rb(PyObject *self, PyObject *args);
PyObject *do_curl_perform_rs(PyObject *self, PyObject *args);
// recv_into(buffer, nbytes=0) and its WebSocket twin: takes the writable
// buffer and how much of it to fill (all of it for 0), checks the handle.
int parse_receive_into_args(CurlObject *self, PyObject *args, PyObject *kwds, const char *format, const char *name,
                            BufferView &buffer, Py_ssize_t *nbytes);

// ---------------------------------------------------------------------------
// Transfer information (easyinfo.cpp)

PyObject *do_curl_getinfo(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *do_curl_getinfo_raw(PyObject *self, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames);
PyObject *do_curl_errstr(PyObject *self, PyObject *args);
PyObject *do_curl_errstr_raw(PyObject *self, PyObject *args);

// ---------------------------------------------------------------------------
// WebSocket frames (easyws.cpp)

PyObject *do_curl_ws_send(PyObject *self, PyObject *args, PyObject *kwds);
PyObject *do_curl_ws_close(PyObject *self, PyObject *args, PyObject *kwds);
PyObject *do_curl_ws_recv(PyObject *self, PyObject *args);
PyObject *do_curl_ws_recv_into(PyObject *self, PyObject *args, PyObject *kwds);
PyObject *do_curl_ws_meta(PyObject *self, PyObject *args);

// ---------------------------------------------------------------------------
// Callback trampolines (easycb.cpp)

// The frame every trampoline runs in: re-enter the interpreter through the
// slot, run the body, leave again.  Returns `failure` without touching any
// Python object when the interpreter is shutting down or no thread state is
// recorded (after a RuntimeWarning), and also when an exception from an
// earlier callback of the same transfer is still pending: the interpreter is
// never called with an exception set, and that first exception is the one
// the method that started the transfer raises.
template <typename Result, typename Body>
Result run_trampoline(PyThreadState **slot, const char *failed_message, Result failure, Body &&body)
{
    if (Py_IsFinalizing())
        return failure;
    CallbackEntry entry(slot);
    if (!entry.entered()) {
        warn_failed_to_acquire_thread(failed_message);
        return failure;
    }
    if (PyErr_Occurred())
        return failure;
    return body();
}

// Callbacks that belong to no one handle (a MIME part's data, closing a
// pooled socket) may run on any thread that drives a transfer, so they
// enter through the per-thread API.  `fallback()` gives the result when
// Python cannot be called: shutting down, or an earlier exception pending.
struct AnyThread {};

template <typename Fallback, typename Body>
auto run_trampoline(AnyThread, Fallback &&fallback, Body &&body) -> decltype(body())
{
    if (!Py_IsInitialized() || Py_IsFinalizing())
        return fallback();
    GilStateHold gil;
    if (PyErr_Occurred())
        return fallback();
    return body();
}

// What libcurl gets as the user data of a callback option: the Curl
// itself, or for closing sockets a context that outlives it (set to the
// Curl's current close-socket callable).  Null with an exception set.
void *callback_user_data(CurlObject *self, const CallbackField &cb);
// The close-socket callable is gone: pooled connections close plainly.
void curl_forget_closesocket_callable(CurlObject *self);
// A pool owner (stack or share) keeps `curl`'s close-socket context alive
// until its own connections are closed.
int curl_keep_closesocket_context(PyObject **contexts, CurlObject *curl);
CURLcode curl_install_ca_certs_callback(CurlObject *self);

// Raise tovrel.error with a message inside a trampoline and report it.
void report_callback_error(const char *format, ...);
int callback_return_value_to_int(PyObject *result, const char *name, int *out);

// How an upload callable's caller words its faults: the two length
// formats take the returned and the wanted length (%ld each).
struct UploadChunkWording {
    const char *too_long;
    const char *encoded_too_long;
    const char *wrong_number;
    const char *wrong_type;
};
size_t copy_upload_chunk(PyObject *result, char *buffer, Py_ssize_t wanted, const UploadChunkWording &wording);
// A seek callable's result (null: it raised) as libcurl's seek code, or
// `failed`.  `invalid_format` takes the out-of-range code (%d).
int seek_result_code(PyObject *result, int failed, const char *invalid_format, const char *wrong_type);

// ---------------------------------------------------------------------------
// Multi stacks (multi.cpp)

int util_multi_detach_easies(CurlMultiObject *self, int close_handles, int ignore_errors);
void util_multi_close(CurlMultiObject *self);

// ---------------------------------------------------------------------------
// Shares (share.cpp)

int share_register_easy(CurlShareObject *share, CurlObject *curl);
void share_unregister_easy(CurlShareObject *share, CurlObject *curl);

// ---------------------------------------------------------------------------
// MIME (mime.cpp)

int curlmime_duphandle_incref_data_cb_owners(CurlObject *dup, CurlObject *source);
PyObject *do_curl_setopt_mimepost(CurlObject *self, PyObject *value);
CURLcode util_curl_unset_mimepost(CurlObject *self);
// The owners a duplicate's private MIME copy carries, taken off the handle
// just before libcurl frees that copy.
Ref util_curl_take_mime_copy_owners(CurlObject *self);
int util_curl_visit_mime_copy_owners(CurlObject *self, visitproc visit, void *arg);
// Frees a duplicate's private MIME copy (a finalizer's job: its free
// callables then run while everything they use is intact).
void util_curl_release_mime_copy(CurlObject *self);

// Marks a Curl busy for the length of a libcurl call that may run MIME seek
// or free callables synchronously: until it returns, those callables must
// not reach the handle or the MIME structures libcurl is working on.
class MimeCallScope {
public:
    explicit MimeCallScope(CurlObject *curl) : curl_(curl) { ++curl_->mime_call_depth; }
    MimeCallScope(const MimeCallScope &) = delete;
    MimeCallScope &operator=(const MimeCallScope &) = delete;
    ~MimeCallScope() { --curl_->mime_call_depth; }

private:
    CurlObject *curl_;
};

// ---------------------------------------------------------------------------
// Docstrings (docstrings.cpp)

extern const char tovrel_module_doc[];
extern const char tovrel_global_init_doc[];
extern const char tovrel_global_cleanup_doc[];
extern const char tovrel_version_info_doc[];
extern const char tovrel_easy_strerror_doc[];
extern const char tovrel_multi_strerror_doc[];
extern const char tovrel_share_strerror_doc[];
extern const char tovrel_url_strerror_doc[];

extern const char curl_doc[];
extern const char curl_close_doc[];
extern const char curl_duphandle_doc[];
extern const char curl_reset_doc[];
extern const char curl_multi_doc[];
extern const char curl_share_doc[];
extern const char curl_closed_doc[];
extern const char curl_perform_doc[];
extern const char curl_send_doc[];
extern const char curl_recv_doc[];
extern const char curl_recv_into_doc[];
extern const char curl_pause_doc[];
extern const char curl_unpause_doc[];
extern const char curl_setopt_doc[];
extern const char curl_unsetopt_doc[];
extern const char curl_setopt_string_doc[];
extern const char curl_set_ca_certs_doc[];
extern const char curl_perform_rb_doc[];
extern const char curl_perform_rs_doc[];
extern const char curl_getinfo_doc[];
extern const char curl_getinfo_raw_doc[];
extern const char curl_errstr_doc[];
extern const char curl_errstr_raw_doc[];
extern const char curl_ws_send_doc[];
extern const char curl_ws_close_doc[];
extern const char curl_ws_recv_doc[];
extern const char curl_ws_recv_into_doc[];
extern const char curl_ws_meta_doc[];
extern const char curl_getstate_doc[];
extern const char curl_setstate_doc[];
extern const char curl_enter_doc[];
extern const char curl_exit_doc[];

extern const char multi_doc[];
extern const char multi_add_handle_doc[];
extern const char multi_remove_handle_doc[];
extern const char multi_close_doc[];
extern const char multi_closed_doc[];
extern const char multi_contains_doc[];
extern const char multi_perform_doc[];
extern const char multi_socket_action_doc[];
extern const char multi_socket_all_doc[];
extern const char multi_info_read_doc[];
extern const char multi_fdset_doc[];
extern const char multi_select_doc[];
extern const char multi_timeout_doc[];
extern const char multi_assign_doc[];
extern const char multi_unassign_doc[];
extern const char multi_setopt_doc[];
extern const char multi_notify_enable_doc[];
extern const char multi_notify_disable_doc[];

extern const char share_doc[];
extern const char share_setopt_doc[];
extern const char share_share_doc[];
extern const char share_unshare_doc[];
extern const char share_close_doc[];
extern const char share_closed_doc[];

extern const char curlmime_doc[];
extern const char curlmime_addpart_doc[];
extern const char curlmime_close_doc[];
extern const char curlmime_enter_doc[];
extern const char curlmime_exit_doc[];
extern const char curlmime_closed_doc[];
extern const char curlmime_add_doc[];
extern const char curlmime_add_field_doc[];
extern const char curlmime_add_file_doc[];
extern const char curlmime_add_multipart_doc[];
extern const char curlmimepart_doc[];
extern const char curlmimepart_name_doc[];
extern const char curlmimepart_data_doc[];
extern const char curlmimepart_data_cb_doc[];
extern const char curlmimepart_filedata_doc[];
extern const char curlmimepart_filename_doc[];
extern const char curlmimepart_type_doc[];
extern const char curlmimepart_encoder_doc[];
extern const char curlmimepart_headers_doc[];
extern const char curlmimepart_subparts_doc[];
extern const char mime_data_cb_owner_doc[];

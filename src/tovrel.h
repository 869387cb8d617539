// The private header of tovrel._tovrel: object structures, process-wide
// globals and the functions the source files share.
#pragma once

#include "refs.h"

#include <curl/curl.h>
#include <cstddef>
#include <sys/select.h>

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
};

struct CurlMultiObject {
    PyObject_HEAD
    PyObject *dict;
    PyObject *weakreflist;
    CURLM *multi_handle;
    PyThreadState *state;
    fd_set read_fds;
    fd_set write_fds;
    fd_set except_fds;
    PyObject *timerfunction;
    PyObject *socketfunction;
    PyObject *notifyfunction;
    PyObject *assignments;
    PyObject *easy_members;
    int close_handles;
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
void assert_curl_state(CurlObject *self);
int util_curl_init(CurlObject *self);
int util_curl_close(CurlObject *self);
void util_curl_xdecref(CurlObject *self, int groups, CURL *handle);
void util_easy_detach_from_multi(CurlObject *self);

// A stored Python callable and the libcurl options that install it.
struct CallbackField {
    PyObject *CurlObject::*field;
    CURLoption data_option;  // the user-data option that points at the Curl
};
extern const CallbackField curl_callback_fields[18];

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
// Multi stacks (multi.cpp)

int util_multi_detach_easies(CurlMultiObject *self, int close_handles, int ignore_errors);
void util_multi_close(CurlMultiObject *self);

// ---------------------------------------------------------------------------
// Shares (share.cpp)

int share_register_easy(CurlShareObject *share, CurlObject *curl);
void share_unregister_easy(CurlShareObject *share, CurlObject *curl);

// ---------------------------------------------------------------------------
// MIME (mime.cpp)

void curlmime_duphandle_incref_data_cb_owners(CurlMimeObject *mime);

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

extern const char share_doc[];
extern const char share_setopt_doc[];
extern const char share_share_doc[];
extern const char share_unshare_doc[];
extern const char share_close_doc[];
extern const char share_closed_doc[];

extern const char curlmime_doc[];
extern const char curlmimepart_doc[];

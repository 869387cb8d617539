// CurlMime and CurlMimePart: libcurl MIME structures and their parts, the
// MIMEPOST option, the keyword builder, and the owners of streamed part data.
//
// libcurl owns the memory of every part and nested structure; the Python
// wrappers only point into it.  Each wrapper therefore keeps its owner alive,
// only a top-level CurlMime frees a structure, and every wrapper pointing
// into a structure is invalidated before libcurl frees it.  libcurl frees
// content in more places than the obvious ones: setting new content on a
// part first drops the old content (a nested structure included), even when
// the new content is then refused, and a duplicated handle frees its private
// copy of the structure when it is reset, closed or given another MIMEPOST.
//
// Streamed part data (data_cb) is reached through a _MimeDataCbOwner, the
// user pointer of the part's three libcurl hooks.  Every libcurl structure
// that carries an owner (the structure data_cb() installed it in, and each
// copy duphandle() made of it) holds one counted reference to it, so the
// free callable runs once, when the last of them lets go.  Those references
// are reported to the garbage collector by whoever holds the structure: the
// CurlMime whose data_cb_owners lists the owner, or the duplicate Curl whose
// mime_copy_owners lists it.
#include "tovrel.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <utility>

extern PyTypeObject MimeDataCbOwner_Type;

namespace {

CurlMimeObject *as_mime(PyObject *op)
{
    return reinterpret_cast<CurlMimeObject *>(op);
}

CurlMimePartObject *as_part(PyObject *op)
{
    return reinterpret_cast<CurlMimePartObject *>(op);
}

MimeDataCbOwnerObject *as_owner(PyObject *op)
{
    return reinterpret_cast<MimeDataCbOwnerObject *>(op);
}

template <typename T>
PyObject *as_object(T *object)
{
    return reinterpret_cast<PyObject *>(object);
}

bool is_owner(PyObject *obj)
{
    return Py_IS_TYPE(obj, &MimeDataCbOwner_Type);
}

bool is_mime(PyObject *obj)
{
    return PyObject_TypeCheck(obj, p_CurlMime_Type);
}

// A field's reference, moved into a Ref (the field is left null).
template <typename T>
Ref take(T *&field)
{
    return Ref::steal(as_object(std::exchange(field, nullptr)));
}

// ---------------------------------------------------------------------------
// errors and state checks

// MIME calls never write the handle's error buffer: any text there belongs
// to an earlier transfer and must not label this error.
PyObject *curlmime_raise_error(CurlObject *curl, int code)
{
    if (curl == nullptr)
        return raise_code_and_text(code, curl_easy_strerror(static_cast<CURLcode>(code)));
    FreshErrorBuffer fresh(curl);
    create_and_set_error_object(curl, code);
    return nullptr;
}

PyObject *refuse(const char *format, const char *name)
{
    PyErr_Format(ErrorObject, format, name);
    return nullptr;
}

int check_mime_curl(CurlMimeObject *mime, const char *name)
{
    if (mime->curl == nullptr) {
        refuse("cannot invoke %s() - no curl handle", name);
        return -1;
    }
    return check_curl_state(mime->curl, STATE_NEED_HANDLE | STATE_NOT_RUNNING, name);
}

int check_mime_open(CurlMimeObject *mime, const char *name)
{
    if (mime->handle == nullptr) {
        refuse("cannot invoke %s() - no mime handle", name);
        return -1;
    }
    return check_mime_curl(mime, name);
}

int curlmimepart_check_state(CurlMimePartObject *part, const char *name)
{
    if (part->mime == nullptr || part->mime->handle == nullptr) {
        refuse("cannot invoke %s() - no mime handle", name);
        return -1;
    }
    if (part->part == nullptr) {
        refuse("cannot invoke %s() - no mime part", name);
        return -1;
    }
    return check_mime_curl(part->mime, name);
}

// ---------------------------------------------------------------------------
// text and header conversion

// A str or bytes value as a C string for libcurl, with the ASCII copy of a
// str kept alive.
struct MimeText {
    const char *text = nullptr;
    Ref encoded;

    // 0, or -1 with TypeError naming `what`, or the conversion's error.
    int from(PyObject *value, const char *what)
    {
        if (!PyText_Check(value)) {
            PyErr_Format(PyExc_TypeError, "%s must be a byte string or ascii-unicode string", what);
            return -1;
        }
        PyObject *copy = nullptr;
        text = PyText_AsString_NoNUL(value, &copy);
        encoded = Ref::steal(copy);
        return text != nullptr ? 0 : -1;
    }
};

// The bytes of a data() value: a buffer object, bytes or an ASCII str.
class MimeData {
public:
    int from(PyObject *value)
    {
        if (PyObject_CheckBuffer(value)) {
            if (view_.acquire(value, PyBUF_SIMPLE) < 0)
                return -1;
            bytes_ = static_cast<const char *>(view_.buf());
            length_ = view_.len();
        } else if (PyText_Check(value)) {
            char *bytes = nullptr;
            PyObject *copy = nullptr;
            if (PyText_AsStringAndSize(value, &bytes, &length_, &copy) < 0)
                return -1;
            encoded_ = Ref::steal(copy);
            bytes_ = bytes;
        } else {
            PyErr_SetString(PyExc_TypeError,
                            "data() argument must be a byte string, ASCII-only Unicode string, or a buffer object");
            return -1;
        }
        if (bytes_ == nullptr)
            bytes_ = "";
        return 0;
    }
    const char *bytes() const { return bytes_; }
    size_t length() const { return static_cast<size_t>(length_); }

private:
    BufferView view_;
    Ref encoded_;
    const char *bytes_ = nullptr;
    Py_ssize_t length_ = 0;
};

// A libcurl string list being built; freed unless released.
class SlistBuilder {
public:
    SlistBuilder() = default;
    SlistBuilder(const SlistBuilder &) = delete;
    SlistBuilder &operator=(const SlistBuilder &) = delete;
    ~SlistBuilder() { curl_slist_free_all(list_); }

    bool append(const char *text)
    {
        struct curl_slist *grown = curl_slist_append(list_, text);
        if (grown == nullptr)
            return false;
        list_ = grown;
        return true;
    }
    struct curl_slist *release() { return std::exchange(list_, nullptr); }

private:
    struct curl_slist *list_ = nullptr;
};

// The header list for headers(): null for None or an empty sequence.
int headers_to_slist(PyObject *value, struct curl_slist **out)
{
    *out = nullptr;
    if (value == Py_None)
        return 0;
    int which = PyListOrTuple_Check(value);
    if (which == NOT_LIST_OR_TUPLE) {
        PyErr_SetString(PyExc_TypeError, "headers must be a list or tuple of strings");
        return -1;
    }
    SlistBuilder list;
    Py_ssize_t count = PyListOrTuple_Size(value, which);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject *item = PyListOrTuple_GetItem(value, i, which);
        if (!PyText_Check(item)) {
            PyErr_SetString(PyExc_TypeError, "headers must contain only byte or ascii-unicode strings");
            return -1;
        }
        PyObject *copy = nullptr;
        const char *text = PyText_AsString_NoNUL(item, &copy);
        Ref encoded = Ref::steal(copy);
        if (text == nullptr)
            return -1;
        if (!list.append(text)) {
            PyErr_NoMemory();
            return -1;
        }
    }
    *out = list.release();
    return 0;
}

// ---------------------------------------------------------------------------
// owner bookkeeping

void run_free_callable(MimeDataCbOwnerObject *owner)
{
    if (owner->free == nullptr)
        return;
    Ref callable = Ref::newref(owner->free);
    Ref userdata = Ref::newref(owner->userdata != nullptr ? owner->userdata : Py_None);
    Ref result = Ref::steal(PyObject_CallOneArg(callable.get(), userdata.get()));
    if (!result)
        PyErr_WriteUnraisable(callable.get());
}

// Drops one reference held on behalf of a libcurl structure; the last one
// runs the free callable (when `run_free` is set).
void mime_owner_release(MimeDataCbOwnerObject *owner, int run_free)
{
    if (owner->libcurl_refs < 1) {
        PyErr_SetString(ErrorObject, "internal error: mime data_cb owner libcurl refcount underflow");
        PyErr_WriteUnraisable(as_object(owner));
        return;
    }
    --owner->libcurl_refs;
    if (owner->libcurl_refs == 0) {
        owner->carried = 0;
        if (run_free && !owner->free_called) {
            owner->free_called = 1;
            run_free_callable(owner);
        }
    }
    Py_DECREF(owner);
}

int curlmime_remove_data_cb_owner(PyObject *list, PyObject *owner)
{
    if (list == nullptr || owner == nullptr)
        return 0;
    if (!PyList_Check(list)) {
        PyErr_SetString(ErrorObject, "internal error: owner list is not a list");
        return -1;
    }
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
        if (PyList_GET_ITEM(list, i) == owner)
            return PyList_SetSlice(list, i, i + 1, nullptr);
    }
    return 0;
}

void remove_quietly(PyObject *list, PyObject *item)
{
    if (list != nullptr && PyList_Check(list) && curlmime_remove_data_cb_owner(list, item) < 0)
        PyErr_Clear();
}

void curlmimepart_release_data_cb_owner(CurlMimePartObject *part)
{
    if (part->data_cb_owner == nullptr)
        return;
    if (part->mime != nullptr)
        remove_quietly(part->mime->data_cb_owners, part->data_cb_owner);
    Py_CLEAR(part->data_cb_owner);
}

// The owners listed by a structure that libcurl is about to free.
void mark_owners_released(PyObject *owners)
{
    if (owners == nullptr || !PyList_Check(owners))
        return;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(owners); ++i) {
        PyObject *item = PyList_GET_ITEM(owners, i);
        if (is_owner(item))
            as_owner(item)->carried = 0;
    }
}

// ---------------------------------------------------------------------------
// invalidation

// Every part wrapper of `self` loses its libcurl part.
void kill_part_wrappers(CurlMimeObject *self, PyObject *parts)
{
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(parts); ++i) {
        PyObject *item = PyList_GET_ITEM(parts, i);
        if (!PyObject_TypeCheck(item, p_CurlMimePart_Type))
            continue;
        CurlMimePartObject *part = as_part(item);
        if (part->mime == self) {
            part->part = nullptr;
            Py_CLEAR(part->mime);
        }
        Py_CLEAR(part->data_cb_owner);
        Py_CLEAR(part->submime);
    }
}

// The structure of `self` (and of everything nested in it) is gone or about
// to go: no wrapper may reach it and none of its owners is carried any more.
void curlmime_invalidate_parts(CurlMimeObject *self)
{
    if (self->handle == nullptr && self->curl == nullptr && self->parts == nullptr && self->submimes == nullptr &&
        self->data_cb_owners == nullptr)
        return;
    self->handle = nullptr;
    self->owns_handle = 0;
    // Taken off the object first: nothing reached while they go can find
    // them half-processed.
    Ref parts = take(self->parts);
    Ref submimes = take(self->submimes);
    Ref owners = take(self->data_cb_owners);
    Ref curl = take(self->curl);
    mark_owners_released(owners.get());
    if (parts && PyList_Check(parts.get()))
        kill_part_wrappers(self, parts.get());
    if (submimes && PyList_Check(submimes.get())) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(submimes.get()); ++i) {
            PyObject *child = PyList_GET_ITEM(submimes.get(), i);
            if (is_mime(child))
                curlmime_invalidate_parts(as_mime(child));
        }
    }
}

void curlmime_invalidate_wrappers(CurlMimeObject *self)
{
    curlmime_invalidate_parts(self);
}

// Closing a CurlMime attached under another part: its structure lives on in
// the parent's, so only the wrappers die.  The lists of owners and nested
// objects stay, because they still describe what the parent's structure
// carries (duphandle() counts them, the collector is told about them).
void curlmime_close_attached(CurlMimeObject *self)
{
    self->handle = nullptr;
    Ref parts = take(self->parts);
    Ref curl = take(self->curl);
    if (parts && PyList_Check(parts.get()))
        kill_part_wrappers(self, parts.get());
    if (self->submimes != nullptr && PyList_Check(self->submimes)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(self->submimes); ++i) {
            PyObject *child = PyList_GET_ITEM(self->submimes, i);
            if (is_mime(child) && as_mime(child)->handle != nullptr)
                curlmime_close_attached(as_mime(child));
        }
    }
}

// Unset MIMEPOST on the Curl that posts `self`; false if libcurl refuses.
bool unpost(CurlMimeObject *self, CURLcode *code)
{
    CurlObject *curl = self->curl;
    *code = CURLE_OK;
    if (curl == nullptr || curl->mimepost != self)
        return true;
    if (curl->handle != nullptr) {
        *code = util_curl_unset_mimepost(curl);
        if (*code != CURLE_OK)
            return false;
    }
    util_curl_xdecref(curl, RELEASE_MIME, nullptr);
    return true;
}

// The collector's clear, also the end of close() and of deallocation.
void curlmime_clear_structure(CurlMimeObject *self)
{
    curl_mime *handle = self->handle;
    int owned = self->owns_handle;
    // The Curl outlives the structure it was made for.
    Ref curl = Ref::newref(as_object(self->curl));
    CURLcode code;
    if (!unpost(self, &code))
        return;
    if (handle != nullptr && !owned) {
        curlmime_close_attached(self);
        return;
    }
    curlmime_invalidate_wrappers(self);
    // libcurl frees the whole tree and runs the free hooks of its callback
    // parts; no wrapper can reach the tree any more.
    if (owned && handle != nullptr)
        curl_mime_free(handle);
}

// libcurl drops a part's content whenever new content is set, before it
// even looks at the new value.  Forget the old content first: nothing may
// count on an owner libcurl is letting go of, and no wrapper may reach a
// nested structure libcurl is freeing.
void forget_part_content(CurlMimePartObject *part)
{
    if (part->data_cb_owner != nullptr) {
        as_owner(part->data_cb_owner)->carried = 0;
        curlmimepart_release_data_cb_owner(part);
    }
    if (part->submime != nullptr) {
        Ref child = take(part->submime);
        if (part->mime != nullptr)
            remove_quietly(part->mime->submimes, child.get());
        curlmime_invalidate_wrappers(as_mime(child.get()));
    }
}

// Replace a part's content with `set` (a libcurl call that may run the old
// content's free hooks, or seek hooks of attached content).
template <typename Set>
CURLcode replace_part_content(CurlMimePartObject *part, Set &&set)
{
    Ref curl = Ref::newref(as_object(part->mime->curl));
    forget_part_content(part);
    MimeCallScope busy(reinterpret_cast<CurlObject *>(curl.get()));
    return set();
}

// ---------------------------------------------------------------------------
// trampolines

bool interpreter_usable()
{
    return Py_IsInitialized() && !Py_IsFinalizing();
}

constexpr UploadChunkWording mime_read_wording = {
    .too_long = "invalid return value for mime read callback (%ld bytes returned when at most %ld bytes were "
                "wanted)",
    .encoded_too_long = "invalid return value for mime read callback (%ld bytes returned after ASCII encoding when "
                        "at most %ld bytes were wanted)",
    .wrong_number = "mime read callback must return a buffer object, an ASCII-only Unicode string, READFUNC_ABORT, "
                    "or READFUNC_PAUSE",
    .wrong_type = "mime read callback must return an object supporting the buffer protocol, an ASCII-only Unicode "
                  "string, READFUNC_ABORT, or READFUNC_PAUSE",
};

size_t mime_data_cb_read(char *buffer, size_t size, size_t count, void *arg)
{
    auto *owner = static_cast<MimeDataCbOwnerObject *>(arg);
    auto abort = [] { return size_t(CURL_READFUNC_ABORT); };
    if (owner == nullptr)
        return abort();
    return run_trampoline(AnyThread{}, abort, [&]() -> size_t {
        size_t total;
        if (owner->read == nullptr || size == 0 || count == 0)
            return CURL_READFUNC_ABORT;
        if (__builtin_mul_overflow(size, count, &total) || total > static_cast<size_t>(INT_MAX)) {
            report_callback_error("integer overflow in mime read callback");
            return CURL_READFUNC_ABORT;
        }
        int wanted = static_cast<int>(total);
        Ref read = Ref::newref(owner->read);
        Ref userdata = Ref::newref(owner->userdata);
        Ref result = Ref::steal(PyObject_CallFunction(read.get(), "Oi", userdata.get(), wanted));
        if (!result) {
            print_callback_error_if_regular_exception();
            return CURL_READFUNC_ABORT;
        }
        return copy_upload_chunk(result.get(), buffer, wanted, mime_read_wording);
    });
}

int mime_data_cb_seek(void *arg, curl_off_t offset, int origin)
{
    auto *owner = static_cast<MimeDataCbOwnerObject *>(arg);
    auto fail = [] { return int(CURL_SEEKFUNC_FAIL); };
    if (owner == nullptr)
        return fail();
    return run_trampoline(AnyThread{}, fail, [&]() -> int {
        if (owner->seek == nullptr)
            return CURL_SEEKFUNC_FAIL;
        Ref seek = Ref::newref(owner->seek);
        Ref userdata = Ref::newref(owner->userdata);
        Ref result = Ref::steal(
            PyObject_CallFunction(seek.get(), "OLi", userdata.get(), static_cast<long long>(offset), origin));
        return seek_result_code(result.get(), CURL_SEEKFUNC_FAIL,
                                "invalid return value for mime seek callback %d not in (0, 1, 2)",
                                "mime seek callback must return 0 (SEEKFUNC_OK), 1 (SEEKFUNC_FAIL), 2 "
                                "(SEEKFUNC_CANTSEEK) or None");
    });
}

void mime_data_cb_free(void *arg)
{
    auto *owner = static_cast<MimeDataCbOwnerObject *>(arg);
    // During finalization the reference is left to the dying interpreter.
    if (owner == nullptr || !interpreter_usable())
        return;
    GilStateHold gil;
    // libcurl frees structures from inside calls made while an exception
    // may be propagating (a destructor, say); the free callable must not
    // see it, nor lose it.
    SavedException pending;
    mime_owner_release(owner, 1);
}

// ---------------------------------------------------------------------------
// _MimeDataCbOwner

int do_mime_owner_traverse(PyObject *op, visitproc visit, void *arg)
{
    MimeDataCbOwnerObject *self = as_owner(op);
    Py_VISIT(self->read);
    Py_VISIT(self->seek);
    Py_VISIT(self->free);
    Py_VISIT(self->userdata);
    return 0;
}

void drop_callables(MimeDataCbOwnerObject *self)
{
    Py_CLEAR(self->read);
    Py_CLEAR(self->seek);
    Py_CLEAR(self->free);
    Py_CLEAR(self->userdata);
}

int do_mime_owner_clear(PyObject *op)
{
    MimeDataCbOwnerObject *self = as_owner(op);
    // While a structure still carries the owner its free callable has yet
    // to run.  Every such structure is held by an object the collector also
    // clears (a CurlMime, a duplicated Curl), and clearing that one frees the
    // structure, which releases this owner.
    if (self->libcurl_refs > 0)
        return 0;
    drop_callables(self);
    return 0;
}

void do_mime_owner_dealloc(PyObject *op)
{
    PyObject_GC_UnTrack(op);
    drop_callables(as_owner(op));
    Py_TYPE(op)->tp_free(op);
}

// ---------------------------------------------------------------------------
// CurlMimePart methods

using TextSetter = CURLcode (*)(curl_mimepart *, const char *);

PyObject *set_part_text(PyObject *op, PyObject *value, const char *name, TextSetter setter)
{
    CurlMimePartObject *self = as_part(op);
    if (curlmimepart_check_state(self, name) < 0)
        return nullptr;
    MimeText text;
    if (text.from(value, name) < 0)
        return nullptr;
    CURLcode code = setter(self->part, text.text);
    if (code != CURLE_OK)
        return curlmime_raise_error(self->mime->curl, code);
    Py_RETURN_NONE;
}

// The end of a call that replaced a part's content.
PyObject *content_replaced(CurlMimePartObject *self, CURLcode code)
{
    // A seek callable may have left KeyboardInterrupt or the like pending.
    if (PyErr_Occurred())
        return nullptr;
    if (code != CURLE_OK)
        return curlmime_raise_error(self->mime != nullptr ? self->mime->curl : nullptr, code);
    Py_RETURN_NONE;
}

PyObject *do_curlmimepart_name(PyObject *op, PyObject *value)
{
    return set_part_text(op, value, "name", curl_mime_name);
}

PyObject *do_curlmimepart_filename(PyObject *op, PyObject *value)
{
    return set_part_text(op, value, "filename", curl_mime_filename);
}

PyObject *do_curlmimepart_type(PyObject *op, PyObject *value)
{
    return set_part_text(op, value, "type", curl_mime_type);
}

PyObject *do_curlmimepart_encoder(PyObject *op, PyObject *value)
{
    return set_part_text(op, value, "encoder", curl_mime_encoder);
}

PyObject *do_curlmimepart_filedata(PyObject *op, PyObject *value)
{
    CurlMimePartObject *self = as_part(op);
    if (curlmimepart_check_state(self, "filedata") < 0)
        return nullptr;
    MimeText path;
    if (path.from(value, "filedata") < 0)
        return nullptr;
    CURLcode code = replace_part_content(self, [&] { return curl_mime_filedata(self->part, path.text); });
    return content_replaced(self, code);
}

PyObject *do_curlmimepart_data(PyObject *op, PyObject *value)
{
    CurlMimePartObject *self = as_part(op);
    if (curlmimepart_check_state(self, "data") < 0)
        return nullptr;
    MimeData data;
    if (data.from(value) < 0)
        return nullptr;
    CURLcode code =
        replace_part_content(self, [&] { return curl_mime_data(self->part, data.bytes(), data.length()); });
    return content_replaced(self, code);
}

PyObject *do_curlmimepart_headers(PyObject *op, PyObject *value)
{
    CurlMimePartObject *self = as_part(op);
    if (curlmimepart_check_state(self, "headers") < 0)
        return nullptr;
    struct curl_slist *list = nullptr;
    if (headers_to_slist(value, &list) < 0)
        return nullptr;
    CURLcode code = curl_mime_headers(self->part, list, 1);
    if (code != CURLE_OK) {
        curl_slist_free_all(list);
        return curlmime_raise_error(self->mime->curl, code);
    }
    Py_RETURN_NONE;
}

// datasize for data_cb(): -1 (unknown) for None.
int parse_datasize(PyObject *value, curl_off_t *datasize)
{
    *datasize = -1;
    if (value == Py_None)
        return 0;
    long long number = PyLong_AsLongLong(value);
    if (number == -1 && PyErr_Occurred()) {
        if (PyErr_ExceptionMatches(PyExc_TypeError))
            PyErr_SetString(PyExc_TypeError, "datasize must be an integer >= -1 or None");
        return -1;
    }
    if (number < -1) {
        PyErr_SetString(PyExc_ValueError, "datasize must be >= -1");
        return -1;
    }
    *datasize = static_cast<curl_off_t>(number);
    return 0;
}

int check_optional_callable(PyObject *value, const char *message)
{
    if (value != Py_None && !PyCallable_Check(value)) {
        PyErr_SetString(PyExc_TypeError, message);
        return -1;
    }
    return 0;
}

PyObject *optional_ref(PyObject *value)
{
    return value == Py_None ? nullptr : Py_NewRef(value);
}

Ref new_data_cb_owner(PyObject *read, PyObject *seek, PyObject *free, PyObject *userdata)
{
    if (!(MimeDataCbOwner_Type.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&MimeDataCbOwner_Type) < 0)
        return Ref();
    Ref object = Ref::steal(MimeDataCbOwner_Type.tp_alloc(&MimeDataCbOwner_Type, 0));
    if (!object)
        return Ref();
    MimeDataCbOwnerObject *owner = as_owner(object.get());
    owner->read = Py_NewRef(read);
    owner->seek = optional_ref(seek);
    owner->free = optional_ref(free);
    owner->userdata = Py_NewRef(userdata);
    return object;
}

PyObject *do_curlmimepart_data_cb(PyObject *op, PyObject *args, PyObject *kwds)
{
    CurlMimePartObject *self = as_part(op);
    static const char *keywords[] = {"datasize", "read", "seek", "free", "userdata", nullptr};
    PyObject *datasize_obj;
    PyObject *read;
    PyObject *seek = Py_None;
    PyObject *free = Py_None;
    PyObject *userdata = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|OOO:data_cb", const_cast<char **>(keywords), &datasize_obj,
                                     &read, &seek, &free, &userdata))
        return nullptr;
    if (curlmimepart_check_state(self, "data_cb") < 0)
        return nullptr;
    curl_off_t datasize;
    if (parse_datasize(datasize_obj, &datasize) < 0)
        return nullptr;
    if (!PyCallable_Check(read)) {
        PyErr_SetString(PyExc_TypeError, "read must be callable");
        return nullptr;
    }
    if (check_optional_callable(seek, "seek must be callable or None") < 0 ||
        check_optional_callable(free, "free must be callable or None") < 0)
        return nullptr;
    CurlMimeObject *mime = self->mime;
    if (mime->data_cb_owners == nullptr) {
        PyErr_SetString(ErrorObject, "data_cb() cannot attach to a closed mime object");
        return nullptr;
    }
    Ref object = new_data_cb_owner(read, seek, free, userdata);
    if (!object || PyList_Append(mime->data_cb_owners, object.get()) < 0)
        return nullptr;
    MimeDataCbOwnerObject *owner = as_owner(object.get());
    // The reference of the structure it goes into.
    owner->libcurl_refs = 1;
    owner->carried = 1;
    Py_INCREF(owner);
    CURLcode code = replace_part_content(self, [&] {
        return curl_mime_data_cb(self->part, datasize, mime_data_cb_read,
                                 owner->seek != nullptr ? mime_data_cb_seek : nullptr, mime_data_cb_free, owner);
    });
    if (code != CURLE_OK) {
        owner->carried = 0;
        remove_quietly(mime->data_cb_owners, object.get());
        mime_owner_release(owner, 0);
        return content_replaced(self, code);
    }
    self->data_cb_owner = object.release();
    return content_replaced(self, code);
}

PyObject *do_curlmimepart_subparts(PyObject *op, PyObject *value)
{
    CurlMimePartObject *self = as_part(op);
    if (!is_mime(value)) {
        PyErr_SetString(PyExc_TypeError, "subparts() expects a CurlMime object");
        return nullptr;
    }
    if (curlmimepart_check_state(self, "subparts") < 0)
        return nullptr;
    CurlMimeObject *child = as_mime(value);
    CurlMimeObject *parent = self->mime;
    const char *refusal = nullptr;
    if (child->handle == nullptr)
        refusal = "subparts() received a closed mime object";
    else if (child->curl != parent->curl)
        refusal = "subparts() requires both mime objects to use the same Curl handle";
    else if (child == parent)
        refusal = "subparts() does not accept the parent mime object";
    else if (!child->owns_handle)
        refusal = "subparts() received a mime object already attached as subparts";
    else if (child->curl != nullptr && child->curl->mimepost == child)
        refusal = "subparts() received a mime object currently set as MIMEPOST";
    if (refusal != nullptr) {
        PyErr_SetString(PyExc_ValueError, refusal);
        return nullptr;
    }
    if (parent->submimes == nullptr) {
        PyErr_SetString(ErrorObject, "subparts() cannot attach to a closed mime object");
        return nullptr;
    }
    if (PyList_Append(parent->submimes, value) < 0)
        return nullptr;
    CURLcode code = replace_part_content(self, [&] { return curl_mime_subparts(self->part, child->handle); });
    if (code != CURLE_OK) {
        // libcurl refuses structures that would contain themselves.
        remove_quietly(parent->submimes, value);
        return content_replaced(self, code);
    }
    child->owns_handle = 0;
    self->submime = reinterpret_cast<CurlMimeObject *>(Py_NewRef(value));
    return content_replaced(self, code);
}

int do_curlmimepart_traverse(PyObject *op, visitproc visit, void *arg)
{
    CurlMimePartObject *self = as_part(op);
    Py_VISIT(self->mime);
    Py_VISIT(self->data_cb_owner);
    Py_VISIT(self->submime);
    return 0;
}

int do_curlmimepart_clear(PyObject *op)
{
    CurlMimePartObject *self = as_part(op);
    self->part = nullptr;
    Py_CLEAR(self->data_cb_owner);
    Py_CLEAR(self->submime);
    Py_CLEAR(self->mime);
    return 0;
}

void do_curlmimepart_dealloc(PyObject *op)
{
    PyObject_GC_UnTrack(op);
    do_curlmimepart_clear(op);
    Py_TYPE(op)->tp_free(op);
}

// ---------------------------------------------------------------------------
// CurlMime methods

PyObject *do_curlmime_new(PyTypeObject *type, PyObject *args, PyObject *kwds)
{
    static const char *keywords[] = {"curl", nullptr};
    PyObject *curl_obj;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O!:CurlMime", const_cast<char **>(keywords), p_Curl_Type,
                                     &curl_obj))
        return nullptr;
    auto *curl = reinterpret_cast<CurlObject *>(curl_obj);
    if (check_curl_state(curl, STATE_NEED_HANDLE | STATE_NOT_RUNNING, "CurlMime") < 0)
        return nullptr;
    Ref object = Ref::steal(type->tp_alloc(type, 0));
    if (!object)
        return nullptr;
    CurlMimeObject *self = as_mime(object.get());
    self->owns_handle = 1;
    self->curl = reinterpret_cast<CurlObject *>(Py_NewRef(curl_obj));
    for (PyObject **list : {&self->parts, &self->submimes, &self->data_cb_owners}) {
        *list = PyList_New(0);
        if (*list == nullptr)
            return nullptr;
    }
    self->handle = curl_mime_init(curl->handle);
    if (self->handle == nullptr)
        return PyErr_NoMemory();
    return object.release();
}

// A new part wrapper, appended to `parts`.
PyObject *util_curlmime_addpart(CurlMimeObject *self)
{
    if (check_mime_open(self, "addpart") < 0)
        return nullptr;
    curl_mimepart *raw = curl_mime_addpart(self->handle);
    if (raw == nullptr)
        return PyErr_NoMemory();
    Ref object = Ref::steal(CurlMimePart_Type.tp_alloc(&CurlMimePart_Type, 0));
    if (!object)
        return nullptr;
    CurlMimePartObject *part = as_part(object.get());
    part->part = raw;
    part->mime = reinterpret_cast<CurlMimeObject *>(Py_NewRef(as_object(self)));
    if (PyList_Append(self->parts, object.get()) < 0)
        return nullptr;
    return object.release();
}

PyObject *do_curlmime_addpart(PyObject *op, PyObject *)
{
    return util_curlmime_addpart(as_mime(op));
}

PyObject *do_curlmime_close(PyObject *op, PyObject *)
{
    CurlMimeObject *self = as_mime(op);
    if (self->curl != nullptr && check_curl_state(self->curl, STATE_NOT_RUNNING, "close") < 0)
        return nullptr;
    CURLcode code;
    if (!unpost(self, &code))
        return curlmime_raise_error(self->curl, code);
    curlmime_clear_structure(self);
    Py_RETURN_NONE;
}

PyObject *do_curlmime_enter(PyObject *op, PyObject *)
{
    if (check_mime_open(as_mime(op), "__enter__") < 0)
        return nullptr;
    return Py_NewRef(op);
}

PyObject *do_curlmime_exit(PyObject *op, PyObject *args)
{
    PyObject *type, *value, *traceback;
    if (!PyArg_ParseTuple(args, "OOO:__exit__", &type, &value, &traceback))
        return nullptr;
    return do_curlmime_close(op, nullptr);
}

PyObject *do_curlmime_get_closed(PyObject *op, void *)
{
    return PyBool_FromLong(as_mime(op)->handle == nullptr);
}

// ---------------------------------------------------------------------------
// the keyword builder

// What a builder call sets on its new part; absent values are null.
struct PartValues {
    PyObject *name = nullptr;
    PyObject *data = nullptr;
    PyObject *file = nullptr;
    PyObject *filename = nullptr;
    PyObject *content_type = nullptr;
    PyObject *headers = nullptr;
    PyObject *encoder = nullptr;
};

enum class ValueKind : unsigned char { Text, Data, File, Headers };

// The builder's values in the order they are checked and applied.
struct BuilderField {
    PyObject *PartValues::*value;
    const char *label;
    ValueKind kind;
    PyObject *(*setter)(PyObject *part, PyObject *value);
};

constexpr BuilderField builder_fields[] = {
    {&PartValues::name, "name", ValueKind::Text, do_curlmimepart_name},
    {&PartValues::data, "data", ValueKind::Data, do_curlmimepart_data},
    {&PartValues::file, "file", ValueKind::File, do_curlmimepart_filedata},
    {&PartValues::filename, "filename", ValueKind::Text, do_curlmimepart_filename},
    {&PartValues::content_type, "content_type", ValueKind::Text, do_curlmimepart_type},
    {&PartValues::headers, "headers", ValueKind::Headers, do_curlmimepart_headers},
    {&PartValues::encoder, "encoder", ValueKind::Text, do_curlmimepart_encoder},
};

PyObject *given(PyObject *value)
{
    return value == Py_None ? nullptr : value;
}

bool file_opens_for_reading(const char *path)
{
    FILE *file;
    // Opening may block (a FIFO, a slow file system).
    Py_BEGIN_ALLOW_THREADS
    file = std::fopen(path, "rb");
    if (file != nullptr)
        std::fclose(file);
    Py_END_ALLOW_THREADS
    return file != nullptr;
}

int check_builder_value(CurlMimeObject *self, const BuilderField &field, PyObject *value)
{
    switch (field.kind) {
    case ValueKind::Text: {
        MimeText text;
        return text.from(value, field.label);
    }
    case ValueKind::Data: {
        MimeData data;
        return data.from(value);
    }
    case ValueKind::File: {
        MimeText path;
        if (path.from(value, field.label) < 0)
            return -1;
        if (!file_opens_for_reading(path.text)) {
            curlmime_raise_error(self->curl, CURLE_READ_ERROR);
            return -1;
        }
        return 0;
    }
    case ValueKind::Headers: {
        struct curl_slist *list = nullptr;
        if (headers_to_slist(value, &list) < 0)
            return -1;
        curl_slist_free_all(list);
        return 0;
    }
    }
    return 0;
}

PyObject *build_part(CurlMimeObject *self, const PartValues &values)
{
    if (values.data != nullptr && values.file != nullptr) {
        PyErr_SetString(PyExc_ValueError, "add() accepts at most one of data or file");
        return nullptr;
    }
    for (const BuilderField &field : builder_fields) {
        PyObject *value = values.*field.value;
        if (value != nullptr && check_builder_value(self, field, value) < 0)
            return nullptr;
    }
    Ref part = Ref::steal(util_curlmime_addpart(self));
    if (!part)
        return nullptr;
    for (const BuilderField &field : builder_fields) {
        PyObject *value = values.*field.value;
        if (value != nullptr && !Ref::steal(field.setter(part.get(), value)))
            return nullptr;
    }
    return part.release();
}

PyObject *do_curlmime_add(PyObject *op, PyObject *args, PyObject *kwds)
{
    static const char *keywords[] = {"name",         "data",    "file",    "filename",
                                     "content_type", "headers", "encoder", nullptr};
    PartValues v;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OOOOOOO:add", const_cast<char **>(keywords), &v.name, &v.data,
                                     &v.file, &v.filename, &v.content_type, &v.headers, &v.encoder))
        return nullptr;
    for (const BuilderField &field : builder_fields)
        v.*field.value = v.*field.value != nullptr ? given(v.*field.value) : nullptr;
    return build_part(as_mime(op), v);
}

PyObject *do_curlmime_add_field(PyObject *op, PyObject *args, PyObject *kwds)
{
    static const char *keywords[] = {"name", "value", "content_type", "encoder", "headers", nullptr};
    PyObject *name, *value, *content_type = nullptr, *encoder = nullptr, *headers = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|OOO:add_field", const_cast<char **>(keywords), &name, &value,
                                     &content_type, &encoder, &headers))
        return nullptr;
    PartValues v;
    v.name = given(name);
    v.data = given(value);
    v.content_type = content_type ? given(content_type) : nullptr;
    v.headers = headers ? given(headers) : nullptr;
    v.encoder = encoder ? given(encoder) : nullptr;
    return build_part(as_mime(op), v);
}

PyObject *do_curlmime_add_file(PyObject *op, PyObject *args, PyObject *kwds)
{
    static const char *keywords[] = {"name", "path", "filename", "content_type", "headers", "encoder", nullptr};
    PyObject *name, *path, *filename = nullptr, *content_type = nullptr, *headers = nullptr, *encoder = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "OO|OOOO:add_file", const_cast<char **>(keywords), &name, &path,
                                     &filename, &content_type, &headers, &encoder))
        return nullptr;
    PartValues v;
    v.name = given(name);
    v.file = given(path);
    v.filename = filename ? given(filename) : nullptr;
    v.content_type = content_type ? given(content_type) : nullptr;
    v.headers = headers ? given(headers) : nullptr;
    v.encoder = encoder ? given(encoder) : nullptr;
    return build_part(as_mime(op), v);
}

// The content type of a nested part: multipart/mixed when no subtype was
// passed, none for an explicit None.
int multipart_content_type(PyObject *subtype, Ref *content_type)
{
    if (subtype == nullptr) {
        *content_type = Ref::steal(PyUnicode_FromString("multipart/mixed"));
        return *content_type ? 0 : -1;
    }
    if (subtype == Py_None)
        return 0;
    MimeText text;
    if (text.from(subtype, "subtype") < 0)
        return -1;
    *content_type = Ref::steal(PyUnicode_FromFormat("multipart/%s", text.text));
    return *content_type ? 0 : -1;
}

PyObject *do_curlmime_add_multipart(PyObject *op, PyObject *args, PyObject *kwds)
{
    CurlMimeObject *self = as_mime(op);
    static const char *keywords[] = {"name", "subtype", nullptr};
    PyObject *name = nullptr;
    PyObject *subtype = nullptr;  // null: not passed at all
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OO:add_multipart", const_cast<char **>(keywords), &name,
                                     &subtype))
        return nullptr;
    name = name ? given(name) : nullptr;
    MimeText name_text;
    if (name != nullptr && name_text.from(name, "name") < 0)
        return nullptr;
    Ref content_type;
    if (multipart_content_type(subtype, &content_type) < 0)
        return nullptr;
    // Always the base type: the child is plain structure, whatever the
    // parent's class adds.
    PyObject *type = as_object(&CurlMime_Type);
    Ref child = Ref::steal(self->curl != nullptr ? PyObject_CallOneArg(type, as_object(self->curl))
                                                 : PyObject_CallNoArgs(type));
    if (!child)
        return nullptr;
    Ref part = Ref::steal(util_curlmime_addpart(self));
    if (!part)
        return nullptr;
    if (name != nullptr && !Ref::steal(do_curlmimepart_name(part.get(), name)))
        return nullptr;
    if (!Ref::steal(do_curlmimepart_subparts(part.get(), child.get())))
        return nullptr;
    if (content_type && !Ref::steal(do_curlmimepart_type(part.get(), content_type.get())))
        return nullptr;
    return child.release();
}

// ---------------------------------------------------------------------------
// CurlMime life cycle

int do_curlmime_traverse(PyObject *op, visitproc visit, void *arg)
{
    CurlMimeObject *self = as_mime(op);
    Py_VISIT(self->curl);
    Py_VISIT(self->parts);
    Py_VISIT(self->submimes);
    Py_VISIT(self->data_cb_owners);
    // Besides the list's reference, each owner the structure still carries
    // holds one reference on the structure's behalf.
    if (self->data_cb_owners != nullptr && PyList_Check(self->data_cb_owners)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(self->data_cb_owners); ++i) {
            PyObject *item = PyList_GET_ITEM(self->data_cb_owners, i);
            if (is_owner(item) && as_owner(item)->carried)
                Py_VISIT(item);
        }
    }
    return 0;
}

int do_curlmime_clear(PyObject *op)
{
    curlmime_clear_structure(as_mime(op));
    return 0;
}

// The free callables of streamed parts finalize the structure.  When the
// collector finds a CurlMime among garbage, the structure goes here, before
// anything those callables may use (their closures, their userdata) is
// cleared.
void do_curlmime_finalize(PyObject *op)
{
    SavedException pending;
    curlmime_clear_structure(as_mime(op));
}

void do_curlmime_dealloc(PyObject *op)
{
    CurlMimeObject *self = as_mime(op);
    PyObject_GC_UnTrack(op);
    // Free callables run here, maybe while an exception propagates.
    SavedException propagating;
    curlmime_clear_structure(self);
    Py_CLEAR(self->parts);
    Py_CLEAR(self->submimes);
    Py_CLEAR(self->data_cb_owners);
    Py_CLEAR(self->curl);
    Py_TYPE(op)->tp_free(op);
}

PyMethodDef curlmime_methods[] = {
    {"addpart", do_curlmime_addpart, METH_NOARGS, curlmime_addpart_doc},
    {"add", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(do_curlmime_add)),
     METH_VARARGS | METH_KEYWORDS, curlmime_add_doc},
    {"add_field", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(do_curlmime_add_field)),
     METH_VARARGS | METH_KEYWORDS, curlmime_add_field_doc},
    {"add_file", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(do_curlmime_add_file)),
     METH_VARARGS | METH_KEYWORDS, curlmime_add_file_doc},
    {"add_multipart", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(do_curlmime_add_multipart)),
     METH_VARARGS | METH_KEYWORDS, curlmime_add_multipart_doc},
    {"close", do_curlmime_close, METH_NOARGS, curlmime_close_doc},
    {"__enter__", do_curlmime_enter, METH_NOARGS, curlmime_enter_doc},
    {"__exit__", do_curlmime_exit, METH_VARARGS, curlmime_exit_doc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef curlmime_getsets[] = {
    {"closed", do_curlmime_get_closed, nullptr, curlmime_closed_doc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef curlmimepart_methods[] = {
    {"name", do_curlmimepart_name, METH_O, curlmimepart_name_doc},
    {"data", do_curlmimepart_data, METH_O, curlmimepart_data_doc},
    {"data_cb", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(do_curlmimepart_data_cb)),
     METH_VARARGS | METH_KEYWORDS, curlmimepart_data_cb_doc},
    {"filedata", do_curlmimepart_filedata, METH_O, curlmimepart_filedata_doc},
    {"filename", do_curlmimepart_filename, METH_O, curlmimepart_filename_doc},
    {"type", do_curlmimepart_type, METH_O, curlmimepart_type_doc},
    {"encoder", do_curlmimepart_encoder, METH_O, curlmimepart_encoder_doc},
    {"headers", do_curlmimepart_headers, METH_O, curlmimepart_headers_doc},
    {"subparts", do_curlmimepart_subparts, METH_O, curlmimepart_subparts_doc},
    {nullptr, nullptr, 0, nullptr},
};

// The owners a Curl's MIME structure carries: those of a duplicate's own
// copy, or those listed along the CurlMime tree it posts.
template <typename Visit>
void for_each_tree_owner(CurlMimeObject *mime, Visit &visit)
{
    if (mime->data_cb_owners != nullptr) {
        assert(PyList_Check(mime->data_cb_owners));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(mime->data_cb_owners); ++i) {
            PyObject *item = PyList_GET_ITEM(mime->data_cb_owners, i);
            if (is_owner(item) && as_owner(item)->carried)
                visit(item);
        }
    }
    if (mime->submimes != nullptr) {
        assert(PyList_Check(mime->submimes));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(mime->submimes); ++i) {
            PyObject *child = PyList_GET_ITEM(mime->submimes, i);
            if (is_mime(child))
                for_each_tree_owner(as_mime(child), visit);
        }
    }
}

template <typename Visit>
void for_each_carried_owner(CurlObject *curl, Visit &&visit)
{
    if (curl->mime_copy_owners != nullptr) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(curl->mime_copy_owners); ++i)
            visit(PyList_GET_ITEM(curl->mime_copy_owners, i));
        return;
    }
    if (curl->mimepost != nullptr && curl->mimepost->curl == curl)
        for_each_tree_owner(curl->mimepost, visit);
}

}  // namespace

// ---------------------------------------------------------------------------
// shared with the Curl type

int curlmime_duphandle_incref_data_cb_owners(CurlObject *dup, CurlObject *source)
{
    if (source->mimepost == nullptr)
        return 0;
    Ref owners = Ref::steal(PyList_New(0));
    bool complete = static_cast<bool>(owners);
    // libcurl's copy already points at these owners: count them whatever
    // happens next, so that freeing the copy gives the counts back.
    for_each_carried_owner(source, [&](PyObject *owner) {
        ++as_owner(owner)->libcurl_refs;
        Py_INCREF(owner);
        if (complete && PyList_Append(owners.get(), owner) < 0)
            complete = false;
    });
    if (!complete)
        return -1;
    dup->mime_copy_owners = owners.release();
    return 0;
}

int util_curl_visit_mime_copy_owners(CurlObject *self, visitproc visit, void *arg)
{
    PyObject *owners = self->mime_copy_owners;
    Py_VISIT(owners);
    if (owners == nullptr)
        return 0;
    // Each one also holds a reference for the handle's copy.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(owners); ++i)
        Py_VISIT(PyList_GET_ITEM(owners, i));
    return 0;
}

Ref util_curl_take_mime_copy_owners(CurlObject *self)
{
    return take(self->mime_copy_owners);
}

CURLcode util_curl_unset_mimepost(CurlObject *self)
{
    // A duplicate frees its private copy here.
    Ref copy_owners = util_curl_take_mime_copy_owners(self);
    MimeCallScope busy(self);
    return curl_easy_setopt(self->handle, CURLOPT_MIMEPOST, nullptr);
}

void util_curl_release_mime_copy(CurlObject *self)
{
    if (self->handle == nullptr || self->mime_copy_owners == nullptr || tovrel_get_thread_state(self) != nullptr)
        return;
    SavedException pending;
    if (util_curl_unset_mimepost(self) == CURLE_OK)
        util_curl_xdecref(self, RELEASE_MIME, nullptr);
}

PyObject *do_curl_setopt_mimepost(CurlObject *self, PyObject *value)
{
    if (!is_mime(value)) {
        PyErr_SetString(PyExc_TypeError, "setopt(option=MIMEPOST) expects a CurlMime object");
        return nullptr;
    }
    CurlMimeObject *mime = as_mime(value);
    const char *refusal = nullptr;
    if (mime->handle == nullptr)
        refusal = "setopt(option=MIMEPOST) received a closed mime object";
    else if (!mime->owns_handle)
        refusal = "setopt(option=MIMEPOST) received a mime object already attached as subparts";
    else if (mime->curl != self)
        refusal = "setopt(option=MIMEPOST) requires a CurlMime created with this Curl handle";
    if (refusal != nullptr) {
        PyErr_SetString(PyExc_ValueError, refusal);
        return nullptr;
    }
    FreshErrorBuffer fresh(self);
    CURLcode code;
    {
        // libcurl rewinds the structure (running seek callables of parts
        // read before) and lets go of the previous one (a duplicate's copy
        // is freed).
        Ref copy_owners = util_curl_take_mime_copy_owners(self);
        MimeCallScope busy(self);
        code = curl_easy_setopt(self->handle, CURLOPT_MIMEPOST, mime->handle);
    }
    if (code != CURLE_OK) {
        // The previous structure is gone from libcurl even so.
        util_curl_xdecref(self, RELEASE_MIME, nullptr);
        if (!PyErr_Occurred())
            create_and_set_error_object(self, code);
        return nullptr;
    }
    Py_XSETREF(self->mimepost, reinterpret_cast<CurlMimeObject *>(Py_NewRef(value)));
    util_curl_xdecref(self, RELEASE_HTTPPOST, self->handle);
    Py_RETURN_NONE;
}

PyTypeObject MimeDataCbOwner_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tovrel._MimeDataCbOwner",
    .tp_basicsize = sizeof(MimeDataCbOwnerObject),
    .tp_itemsize = 0,
    .tp_dealloc = do_mime_owner_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = mime_data_cb_owner_doc,
    .tp_traverse = do_mime_owner_traverse,
    .tp_clear = do_mime_owner_clear,
    .tp_free = PyObject_GC_Del,
};

PyTypeObject CurlMime_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tovrel.CurlMime",
    .tp_basicsize = sizeof(CurlMimeObject),
    .tp_itemsize = 0,
    .tp_dealloc = do_curlmime_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_BASETYPE,
    .tp_doc = curlmime_doc,
    .tp_traverse = do_curlmime_traverse,
    .tp_clear = do_curlmime_clear,
    .tp_methods = curlmime_methods,
    .tp_getset = curlmime_getsets,
    .tp_new = do_curlmime_new,
    .tp_free = PyObject_GC_Del,
    .tp_finalize = do_curlmime_finalize,
};

PyTypeObject CurlMimePart_Type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "tovrel.CurlMimePart",
    .tp_basicsize = sizeof(CurlMimePartObject),
    .tp_itemsize = 0,
    .tp_dealloc = do_curlmimepart_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = curlmimepart_doc,
    .tp_traverse = do_curlmimepart_traverse,
    .tp_clear = do_curlmimepart_clear,
    .tp_methods = curlmimepart_methods,
    .tp_free = PyObject_GC_Del,
};

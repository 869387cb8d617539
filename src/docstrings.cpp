// Every docstring of the module, kept together so the code stays short and
// the texts can be reviewed in one place.  The first line of each is the
// call signature.
#include "tovrel.h"

// ---------------------------------------------------------------------------
// module

const char tovrel_module_doc[] =
    "This module implements an interface to the cURL library.\n"
    "\n"
    "Types:\n"
    "\n"
    "Curl() -> New object.  Create a new curl object.\n"
    "CurlMulti() -> New object.  Create a new curl multi object.\n"
    "CurlShare() -> New object.  Create a new curl share object.\n"
    "\n"
    "Functions:\n"
    "\n"
    "global_init(option) -> None.  Initialize curl environment.\n"
    "global_cleanup() -> None.  Cleanup curl environment.\n"
    "version_info() -> tuple.  Return version information.\n";

const char tovrel_global_init_doc[] =
    "global_init(option) -> None\n"
    "\n"
    "Initialize libcurl's process-wide state.  ``option`` is a bit set of\n"
    "the GLOBAL_* constants (GLOBAL_DEFAULT is the usual choice).  Call it\n"
    "before any other thread uses libcurl; without it libcurl initialises\n"
    "itself lazily on the first Curl object.\n"
    "\n"
    "Raises ValueError for an option outside the GLOBAL_* bits, and\n"
    "tovrel.error if libcurl refuses.\n";

const char tovrel_global_cleanup_doc[] =
    "global_cleanup() -> None\n"
    "\n"
    "Release libcurl's process-wide state.  Pairs with global_init().\n";

const char tovrel_version_info_doc[] =
    "version_info() -> tuple\n"
    "\n"
    "Return libcurl's build information as a 12-tuple: (age, version,\n"
    "version_num, host, features, ssl_version, ssl_version_num,\n"
    "libz_version, protocols, ares, ares_num, libidn).  ``features`` is a\n"
    "bit set of the VERSION_* constants; ``protocols`` is a tuple of\n"
    "protocol names.  Members libcurl does not report are None.\n"
    "\n"
    "An optional integer asks libcurl for that age of the record\n"
    "(default 11).\n";

const char tovrel_easy_strerror_doc[] =
    "easy_strerror(errornum) -> str\n"
    "\n"
    "Return libcurl's text for an easy-interface result code (E_*).\n";

const char tovrel_multi_strerror_doc[] =
    "multi_strerror(errornum) -> str\n"
    "\n"
    "Return libcurl's text for a multi-interface result code (E_MULTI_*).\n";

const char tovrel_share_strerror_doc[] =
    "share_strerror(errornum) -> str\n"
    "\n"
    "Return libcurl's text for a share-interface result code.\n";

const char tovrel_url_strerror_doc[] =
    "url_strerror(errornum) -> str\n"
    "\n"
    "Return libcurl's text for a URL-API result code.\n";

// ---------------------------------------------------------------------------
// Curl

const char curl_doc[] =
    "Curl() -> New Curl object\n"
    "\n"
    "A libcurl easy handle: one transfer at a time, configured with\n"
    "setopt() and run with perform() or through a CurlMulti.  Constants\n"
    "such as URL are readable as attributes of every instance.  The object\n"
    "is a context manager that closes the handle on exit.\n";

const char curl_close_doc[] =
    "close() -> None\n"
    "\n"
    "Close the handle and release everything it references.  Closing a\n"
    "closed object does nothing.\n";

const char curl_duphandle_doc[] =
    "duphandle() -> Curl\n"
    "\n"
    "Return a new object of the same type with a copy of this handle's\n"
    "options, callables, lists and attributes.  The copy is not attached to\n"
    "this handle's share or multi stack.\n";

const char curl_reset_doc[] =
    "reset() -> None\n"
    "\n"
    "Reset every option to its default, dropping callables, lists and data\n"
    "handed over with setopt().  Attributes, the share and the multi stack\n"
    "stay.\n";

const char curl_multi_doc[] =
    "multi() -> CurlMulti | None\n"
    "\n"
    "Return the multi stack this handle was added to, or None.\n";

const char curl_share_doc[] =
    "share() -> CurlShare | None\n"
    "\n"
    "Return the share this handle is attached to, or None.\n";

const char curl_closed_doc[] = "Whether this ``Curl`` object has been closed.";

const char curl_perform_doc[] =
    "perform() -> None\n"
    "\n"
    "Run the transfer configured with setopt().  The interpreter lock is\n"
    "released meanwhile; callbacks run on this thread.  Raises tovrel.error\n"
    "with (code, message) when the transfer fails, or the exception a\n"
    "callback left pending (KeyboardInterrupt, SystemExit).\n";

const char curl_send_doc[] =
    "send(bytes) -> count\n"
    "\n"
    "Send raw data on a connection made with CONNECT_ONLY; return how many\n"
    "bytes were sent.  Raises BlockingIOError (EAGAIN) when the socket would\n"
    "block.\n";

const char curl_recv_doc[] =
    "recv(buffersize) -> data\n"
    "\n"
    "Receive at most ``buffersize`` raw bytes on a connection made with\n"
    "CONNECT_ONLY.  An empty result means the peer closed the connection;\n"
    "BlockingIOError (EAGAIN) means nothing is waiting yet.\n";

const char curl_recv_into_doc[] =
    "recv_into(buffer[, nbytes]) -> nbytes\n"
    "\n"
    "Receive raw bytes into a writable buffer (all of it, or its first\n"
    "``nbytes`` bytes); return how many arrived.\n";

const char curl_pause_doc[] =
    "pause(bitmask=PAUSE_ALL) -> None\n"
    "\n"
    "Pause or resume the directions named by the PAUSE_* bitmask.  Allowed\n"
    "from inside the transfer's own callbacks.\n";

const char curl_unpause_doc[] =
    "unpause() -> None\n"
    "\n"
    "Resume a paused transfer in both directions (pause(PAUSE_CONT)).\n";

const char curl_setopt_doc[] =
    "setopt(option, value, *, use_memoryview=False) -> None\n"
    "\n"
    "Set a libcurl option.  ``value`` may be an int, a str (ASCII) or bytes,\n"
    "a list or tuple of strings, a callable for the ``*FUNCTION`` options, a\n"
    "file object for WRITEDATA, READDATA and WRITEHEADER, a CurlShare for\n"
    "SHARE, a CurlMime for MIMEPOST, or None to reset the option.  With\n"
    "use_memoryview, WRITEFUNCTION and HEADERFUNCTION callables receive a\n"
    "read-only memoryview that is valid only during the call.\n";

const char curl_unsetopt_doc[] =
    "unsetopt(option) -> None\n"
    "\n"
    "Reset an option to libcurl's default (the same as setopt(option, None)).\n";

const char curl_setopt_string_doc[] =
    "setopt_string(option, value) -> None\n"
    "\n"
    "Set a string option, given as str (ASCII) or bytes.\n";

const char curl_ws_send_doc[] =
    "ws_send(data, flags=None, fragsize=0, encoding='utf-8') -> count\n"
    "\n"
    "Send one WebSocket frame (or a piece of one) and return how many payload\n"
    "bytes libcurl accepted.  ``data`` is bytes-like, or a str encoded with\n"
    "``encoding``; without ``flags`` a str goes as a WS_TEXT frame and\n"
    "anything else as WS_BINARY.  ``flags`` combines the WS_* frame flags;\n"
    "``fragsize`` is the whole frame's size when WS_OFFSET sends it in\n"
    "pieces.  On a CONNECT_ONLY connection BlockingIOError (EAGAIN) means\n"
    "the frame was not taken yet: call again with the same data.  During a\n"
    "perform it may be called from the WRITEFUNCTION callable, and then\n"
    "blocks until the frame is sent.\n";

const char curl_ws_close_doc[] =
    "ws_close(code=None, reason=None, encoding='utf-8') -> count\n"
    "\n"
    "Send a close frame.  ``code`` is a status code that may travel on the\n"
    "wire (1000-1003, 1007-1014, 3000-4999); ``reason`` (str or bytes-like,\n"
    "UTF-8 text, at most 123 bytes) needs a code.  Returns how many payload\n"
    "bytes libcurl accepted.  Like ws_send(), it may be called from the\n"
    "WRITEFUNCTION callable during a perform.\n";

const char curl_ws_recv_doc[] =
    "ws_recv(buffersize) -> (data, meta)\n"
    "\n"
    "Receive at most ``buffersize`` bytes of the next WebSocket frame on a\n"
    "CONNECT_ONLY connection.  ``meta`` is a WsFrame describing the frame\n"
    "the data belongs to (its ``offset`` and ``bytesleft`` place the data\n"
    "within the frame), or None.  A ``buffersize`` of 0 reports the waiting\n"
    "frame without consuming its payload.  Raises BlockingIOError (EAGAIN)\n"
    "when no frame data is waiting.\n";

const char curl_ws_recv_into_doc[] =
    "ws_recv_into(buffer[, nbytes]) -> (nbytes, meta)\n"
    "\n"
    "Receive WebSocket frame data into a writable buffer (all of it, or its\n"
    "first ``nbytes`` bytes) and return how many bytes arrived together with\n"
    "the frame's WsFrame, as ws_recv() does.\n";

const char curl_ws_meta_doc[] =
    "ws_meta() -> WsFrame or None\n"
    "\n"
    "Describe the WebSocket frame whose data the WRITEFUNCTION callable is\n"
    "being given.  Outside such a callback it returns None.\n";

const char curl_getstate_doc[] =
    "__getstate__() -> None\n"
    "\n"
    "Curl objects cannot be pickled; this always raises TypeError.\n";

const char curl_setstate_doc[] =
    "__setstate__(state) -> None\n"
    "\n"
    "Curl objects cannot be unpickled; this always raises TypeError.\n";

const char curl_enter_doc[] =
    "__enter__() -> Curl\n"
    "\n"
    "Return the object itself.\n";

const char curl_exit_doc[] =
    "__exit__(*args) -> None\n"
    "\n"
    "Close the handle, as close() does.  Exceptions are not suppressed.\n";

// ---------------------------------------------------------------------------
// CurlMulti

const char multi_doc[] =
    "CurlMulti(close_handles=False) -> New CurlMulti object\n"
    "\n"
    "A libcurl multi stack: many transfers driven at once on one thread.\n"
    "It holds a reference to every Curl added to it.  With close_handles,\n"
    "closing the stack closes its members too.\n";

const char multi_add_handle_doc[] =
    "add_handle(Curl object) -> None\n"
    "\n"
    "Add a Curl object to the stack.  The stack keeps it alive until it is\n"
    "removed or the stack is closed.\n";

const char multi_remove_handle_doc[] =
    "remove_handle(Curl object) -> None\n"
    "\n"
    "Remove a Curl object from the stack without closing it.\n";

const char multi_close_doc[] =
    "close() -> None\n"
    "\n"
    "Detach every member (closing them when the stack was made with\n"
    "close_handles) and close the multi handle.\n";

const char multi_closed_doc[] = "Whether this ``CurlMulti`` object has been closed.";

const char multi_contains_doc[] =
    "__contains__(Curl object) -> bool\n"
    "\n"
    "Whether the Curl object is a member of this stack.\n";

const char multi_perform_doc[] =
    "perform() -> tuple of status and the number of active Curl objects\n"
    "\n"
    "Do whatever work is ready on the stack's transfers without waiting;\n"
    "return (E_MULTI_OK or E_CALL_MULTI_PERFORM, number still running).\n"
    "The interpreter lock is released while libcurl works.\n";

const char multi_socket_action_doc[] =
    "socket_action(sock_fd, ev_bitmask) -> (result, num_running_handles)\n"
    "\n"
    "Tell libcurl that a socket is ready (CSELECT_* bits) or, with\n"
    "SOCKET_TIMEOUT, that its timer expired; the event-driven way of\n"
    "running the stack together with M_SOCKETFUNCTION and M_TIMERFUNCTION.\n";

const char multi_socket_all_doc[] =
    "socket_all() -> tuple\n"
    "\n"
    "Deprecated: act on every socket; use socket_action().\n";

const char multi_info_read_doc[] =
    "info_read([max_objects]) -> tuple(number of queued messages, a list of successful objects, a list of "
    "failed objects)\n"
    "\n"
    "Collect finished transfers: the Curl objects that succeeded, and\n"
    "(curl, code, message) for each that failed.  At most max_objects are\n"
    "taken; the first item tells how many more are waiting.\n";

const char multi_fdset_doc[] =
    "fdset() -> tuple of lists with active file descriptors, readable, writeable, exceptions\n"
    "\n"
    "The descriptors libcurl wants watched, in ascending order.\n";

const char multi_select_doc[] =
    "select([timeout]) -> number of ready file descriptors or 0 on timeout\n"
    "\n"
    "Wait up to timeout seconds for any of the stack's descriptors to be\n"
    "ready, with the interpreter lock released.  Returns at once with 0\n"
    "when libcurl watches no descriptor.\n";

const char multi_timeout_doc[] =
    "timeout() -> int\n"
    "\n"
    "How many milliseconds libcurl wants to wait at most before it is\n"
    "driven again; -1 when it has no timer set.\n";

const char multi_assign_doc[] =
    "assign(sock_fd, object) -> None\n"
    "\n"
    "Attach an object to a socket; the socket callback receives it as its\n"
    "last argument.  The stack keeps the object alive.\n";

const char multi_unassign_doc[] =
    "unassign(sock_fd) -> None\n"
    "\n"
    "Drop the object attached to a socket with assign().\n";

const char multi_setopt_doc[] =
    "setopt(option, value) -> None\n"
    "\n"
    "Set a multi option (M_*): an int, a list of host names for the\n"
    "block lists, a callable for M_SOCKETFUNCTION, M_TIMERFUNCTION and\n"
    "M_NOTIFYFUNCTION, or None to unset a list or callable.\n";

const char multi_notify_enable_doc[] =
    "notify_enable(*notifications) -> None\n"
    "\n"
    "Turn on the given M_NOTIFY_* notifications for M_NOTIFYFUNCTION.\n";

const char multi_notify_disable_doc[] =
    "notify_disable(*notifications) -> None\n"
    "\n"
    "Turn off the given M_NOTIFY_* notifications.\n";

// ---------------------------------------------------------------------------
// CurlShare

const char share_doc[] =
    "CurlShare(detach_on_close=True) -> New CurlShare object\n"
    "\n"
    "A libcurl share handle: lets Curl objects attached with\n"
    "setopt(SHARE, share) share cookies, DNS results, TLS sessions,\n"
    "connections and the public-suffix list, each under its own lock.\n";

const char share_setopt_doc[] =
    "setopt(option, value) -> None\n"
    "\n"
    "Set SH_SHARE or SH_UNSHARE to a LOCK_DATA_* kind.\n";

const char share_share_doc[] =
    "share(*data) -> None\n"
    "\n"
    "Share each LOCK_DATA_* kind given, left to right.\n";

const char share_unshare_doc[] =
    "unshare(*data) -> None\n"
    "\n"
    "Stop sharing each LOCK_DATA_* kind given, left to right.\n";

const char share_close_doc[] =
    "close() -> None\n"
    "\n"
    "Close the share.  Idle attached Curl objects are detached first; while\n"
    "any attached Curl is busy (or, without detach_on_close, while any is\n"
    "attached) closing is refused.\n";

const char share_closed_doc[] = "Whether this ``CurlShare`` object has been closed.";

// ---------------------------------------------------------------------------
// CurlMime

const char curlmime_doc[] =
    "Python wrapper for libcurl MIME API.\n"
    "\n"
    "CurlMime(curl) builds a multipart body for the given Curl object.  Add\n"
    "parts with addpart() or the add*() builders, then post it with\n"
    "curl.setopt(MIMEPOST, mime).  Closing the object invalidates every part\n"
    "and nested CurlMime made from it.\n";

const char curlmime_addpart_doc[] =
    "Create and return a new MIME part.\n"
    "\n"
    "addpart() -> CurlMimePart\n";

const char curlmime_close_doc[] =
    "Release the underlying curl_mime handle.\n"
    "\n"
    "close() -> None\n"
    "\n"
    "Unsets MIMEPOST on the Curl object if this structure is posted there.\n"
    "Every part and nested CurlMime made from this object becomes unusable.\n"
    "Closing a closed object does nothing.\n";

const char curlmime_enter_doc[] =
    "__enter__() -> CurlMime\n"
    "\n"
    "Return the object itself.\n";

const char curlmime_exit_doc[] =
    "__exit__(type, value, traceback) -> None\n"
    "\n"
    "Close the object, as close() does.  Exceptions are not suppressed.\n";

const char curlmime_closed_doc[] = "Whether this CurlMime object is closed.";

const char curlmime_add_doc[] =
    "Add a part using a keyword-oriented builder API.\n"
    "\n"
    "add(name=None, data=None, file=None, filename=None, content_type=None,\n"
    "    headers=None, encoder=None) -> CurlMimePart\n"
    "\n"
    "Every value is checked before the part is created; at most one of data\n"
    "and file may be given.\n";

const char curlmime_add_field_doc[] =
    "Add a simple form field part.\n"
    "\n"
    "add_field(name, value, content_type=None, encoder=None, headers=None)\n"
    "    -> CurlMimePart\n";

const char curlmime_add_file_doc[] =
    "Add a file upload part.\n"
    "\n"
    "add_file(name, path, filename=None, content_type=None, headers=None,\n"
    "         encoder=None) -> CurlMimePart\n"
    "\n"
    "The file must be readable now; it is read during the transfer.\n";

const char curlmime_add_multipart_doc[] =
    "Add and attach a nested multipart CurlMime.\n"
    "\n"
    "add_multipart(name=None, subtype=\"mixed\") -> CurlMime\n"
    "\n"
    "The new part's content type is multipart/<subtype>; a subtype of None\n"
    "sets no content type.\n";

const char curlmimepart_doc[] = "A MIME part belonging to a CurlMime object.";

const char curl_set_ca_certs_doc[] =
    "set_ca_certs() -> None\n"
    "\n"
    "Trust the PEM certificates in the given str or bytes, in addition to\n"
    "the default CA store, for this handle's TLS connections.  They are\n"
    "loaded from the string each time libcurl opens a new connection.  While\n"
    "they are set, this handle neither caches TLS sessions or certificate\n"
    "stores nor lets its connections be reused, so the trust ends with\n"
    "reset() or a later set_ca_certs() and never reaches other handles.\n";

const char curl_perform_rb_doc[] =
    "perform_rb() -> response_body\n"
    "\n"
    "Run the transfer and return the response body as bytes.  The body is\n"
    "collected by a BytesIO installed as WRITEDATA, which stays in place.\n";

const char curl_perform_rs_doc[] =
    "perform_rs() -> response_body\n"
    "\n"
    "Like perform_rb(), with the body decoded from UTF-8 to str.\n";

const char curl_getinfo_doc[] =
    "getinfo(option) -> Result\n"
    "\n"
    "Return information about the last transfer: an int, float, str, list\n"
    "or None depending on the info code (RESPONSE_CODE, TOTAL_TIME,\n"
    "EFFECTIVE_URL, INFO_COOKIELIST and the rest).  Text is decoded as\n"
    "UTF-8.\n";

const char curl_getinfo_raw_doc[] =
    "getinfo_raw(option) -> Result\n"
    "\n"
    "Like getinfo(), with text returned as bytes.\n";

const char curl_errstr_doc[] =
    "errstr() -> string\n"
    "\n"
    "Return the text of libcurl's last error on this handle, or \"\".\n";

const char curl_errstr_raw_doc[] =
    "errstr_raw() -> byte string\n"
    "\n"
    "Like errstr(), as bytes.\n";
const char curlmimepart_name_doc[] =
    "Set the name of this MIME part.\n"
    "\n"
    "name(name) -> None\n";

const char curlmimepart_data_doc[] =
    "Set in-memory data for this MIME part.\n"
    "\n"
    "data(data) -> None\n"
    "\n"
    "``data`` is bytes, an ASCII str or any buffer object; it is copied.\n";

const char curlmimepart_data_cb_doc[] =
    "Set callback-based data for this MIME part.\n"
    "\n"
    "data_cb(datasize, read, seek=None, free=None, userdata=None) -> None\n"
    "\n"
    "read(userdata, size) returns at most ``size`` bytes (b\"\" at the end),\n"
    "READFUNC_ABORT or READFUNC_PAUSE; seek(userdata, offset, origin)\n"
    "rewinds the data for a resend; free(userdata) runs once, when no libcurl\n"
    "structure (duplicated handles included) needs the data any more.\n"
    "``datasize`` is the content length, or -1 or None when unknown.\n";

const char curlmimepart_filedata_doc[] =
    "Set on-disk file data for this MIME part.\n"
    "\n"
    "filedata(path) -> None\n"
    "\n"
    "The remote file name becomes the path's base name unless set with\n"
    "filename().\n";

const char curlmimepart_filename_doc[] =
    "Set the remote filename for this MIME part.\n"
    "\n"
    "filename(filename) -> None\n";

const char curlmimepart_type_doc[] =
    "Set content type for this MIME part.\n"
    "\n"
    "type(content_type) -> None\n";

const char curlmimepart_encoder_doc[] =
    "Set content transfer encoding for this MIME part.\n"
    "\n"
    "encoder(encoding) -> None\n"
    "\n"
    "libcurl knows \"binary\", \"8bit\", \"7bit\", \"base64\" and\n"
    "\"quoted-printable\".\n";

const char curlmimepart_headers_doc[] =
    "Set custom headers for this MIME part.\n"
    "\n"
    "headers(headers) -> None\n"
    "\n"
    "``headers`` is a list or tuple of header lines; None or an empty\n"
    "sequence removes the part's custom headers.\n";

const char curlmimepart_subparts_doc[] =
    "Attach a child CurlMime object as multipart data.\n"
    "\n"
    "subparts(mime) -> None\n"
    "\n"
    "The child must be open, made for the same Curl object, and neither\n"
    "posted with MIMEPOST nor attached elsewhere.  From then on it belongs to\n"
    "this part's structure.\n";

const char mime_data_cb_owner_doc[] = "Internal owner for curl_mime_data_cb callbacks.";

/* The physical limit: libcurl driven directly from C, on the same work and
 * with the same options as the Python clients in clients.py.  Each run
 * prints one JSON line (see report()).
 *
 *   reference seq    URL SECONDS
 *   reference multi  URL INFLIGHT SECONDS [h2|h3 CAFILE]
 *   reference big    URL COUNT BUFFERSIZE(0: libcurl's default)
 *   reference idle   COUNT URL
 *   reference ws     URL rtt|bulk SIZE SECONDS
 */
#define _GNU_SOURCE
#include <curl/curl.h>

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#define USER_AGENT "tovrel-bench"

static double now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static double cpu_seconds(void)
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return (double)ru.ru_utime.tv_sec + (double)ru.ru_utime.tv_usec / 1e6 + (double)ru.ru_stime.tv_sec +
           (double)ru.ru_stime.tv_usec / 1e6;
}

static long rss_kib(void)
{
    long pages = 0, resident = 0;
    FILE *f = fopen("/proc/self/statm", "r");
    if (f != NULL) {
        if (fscanf(f, "%ld %ld", &pages, &resident) != 2)
            resident = 0;
        fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

static long peak_rss_kib(void)
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

static void die(const char *what, const char *detail)
{
    fprintf(stderr, "reference: %s: %s\n", what, detail);
    exit(1);
}

static void check(CURLcode code, const char *what)
{
    if (code != CURLE_OK)
        die(what, curl_easy_strerror(code));
}

static void raise_fd_limit(void)
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        setrlimit(RLIMIT_NOFILE, &rl);
    }
}

struct run {
    long count;
    long long bytes;
    double wall;
    double cpu;
    long rss_base;
};

static void report(const struct run *r)
{
    printf("{\"count\": %ld, \"bytes\": %lld, \"wall\": %.6f, \"cpu\": %.6f, \"rss_base_kib\": %ld, "
           "\"rss_peak_kib\": %ld}\n",
           r->count, r->bytes, r->wall, r->cpu, r->rss_base, peak_rss_kib());
}

static size_t sink(char *data, size_t size, size_t nmemb, void *userdata)
{
    (void)data;
    *(long long *)userdata += (long long)(size * nmemb);
    return size * nmemb;
}

/* The options every Python client sets too. */
static CURL *new_easy(const char *url, long long *bytes)
{
    CURL *easy = curl_easy_init();
    if (easy == NULL)
        die("curl_easy_init", "failed");
    curl_easy_setopt(easy, CURLOPT_URL, url);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, USER_AGENT);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, sink);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, bytes);
    return easy;
}

static void expect_ok(CURL *easy)
{
    long status = 0;
    const char *scheme = NULL;
    curl_easy_getinfo(easy, CURLINFO_SCHEME, &scheme);
    if (scheme != NULL && strcasecmp(scheme, "file") == 0)
        return; /* file:// has no status */
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    if (status != 200)
        die("unexpected status", "not 200");
}

static int seq(int argc, char **argv)
{
    if (argc != 4)
        die("usage", "seq URL SECONDS");
    double seconds = atof(argv[3]);
    struct run r = {0};
    CURL *easy = new_easy(argv[2], &r.bytes);
    for (int i = 0; i < 200; ++i)
        check(curl_easy_perform(easy), "warm-up");
    r.bytes = 0;
    double t0 = now(), c0 = cpu_seconds(), deadline = t0 + seconds;
    do {
        check(curl_easy_perform(easy), "perform");
        expect_ok(easy);
        ++r.count;
    } while (now() < deadline);
    r.wall = now() - t0;
    r.cpu = cpu_seconds() - c0;
    report(&r);
    curl_easy_cleanup(easy);
    return 0;
}

static void set_protocol(CURL *easy, const char *protocol, const char *cafile)
{
    if (protocol == NULL)
        return;
    curl_easy_setopt(easy, CURLOPT_CAINFO, cafile);
    curl_easy_setopt(easy, CURLOPT_PIPEWAIT, 1L);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION,
                     strcmp(protocol, "h3") == 0 ? (long)CURL_HTTP_VERSION_3ONLY : (long)CURL_HTTP_VERSION_2TLS);
}

/* Keep `inflight` transfers going until `deadline`, re-adding each handle
 * as it finishes; the number of transfers completed. */
static long drive(CURLM *multi, CURL **handles, int inflight, double deadline)
{
    long done = 0;
    int active = inflight;
    for (int i = 0; i < inflight; ++i)
        curl_multi_add_handle(multi, handles[i]);
    while (active > 0) {
        int running = 0;
        CURLMcode mc = curl_multi_perform(multi, &running);
        if (mc != CURLM_OK)
            die("curl_multi_perform", curl_multi_strerror(mc));
        CURLMsg *msg;
        int queued;
        int timed_out = -1;
        while ((msg = curl_multi_info_read(multi, &queued)) != NULL) {
            if (msg->msg != CURLMSG_DONE)
                continue;
            check(msg->data.result, "transfer");
            expect_ok(msg->easy_handle);
            ++done;
            curl_multi_remove_handle(multi, msg->easy_handle);
            if (timed_out < 0)
                timed_out = now() >= deadline;
            if (timed_out)
                --active;
            else
                curl_multi_add_handle(multi, msg->easy_handle);
        }
        if (active > 0)
            curl_multi_poll(multi, NULL, 0, 1000, NULL);
    }
    return done;
}

static int multi(int argc, char **argv)
{
    if (argc != 5 && argc != 7)
        die("usage", "multi URL INFLIGHT SECONDS [h2|h3 CAFILE]");
    int inflight = atoi(argv[3]);
    double seconds = atof(argv[4]);
    const char *protocol = argc == 7 ? argv[5] : NULL;
    const char *cafile = argc == 7 ? argv[6] : NULL;
    raise_fd_limit();
    struct run r = {0};
    r.rss_base = rss_kib();
    CURLM *m = curl_multi_init();
    if (protocol != NULL) {
        curl_multi_setopt(m, CURLMOPT_PIPELINING, CURLPIPE_MULTIPLEX);
        curl_multi_setopt(m, CURLMOPT_MAX_HOST_CONNECTIONS, 1L);
    }
    CURL **handles = calloc((size_t)inflight, sizeof *handles);
    for (int i = 0; i < inflight; ++i) {
        handles[i] = new_easy(argv[2], &r.bytes);
        set_protocol(handles[i], protocol, cafile);
    }
    /* One round first, so every connection is open before the clock starts. */
    drive(m, handles, inflight, 0);
    r.bytes = 0;
    double t0 = now(), c0 = cpu_seconds();
    r.count = drive(m, handles, inflight, t0 + seconds);
    r.wall = now() - t0;
    r.cpu = cpu_seconds() - c0;
    report(&r);
    for (int i = 0; i < inflight; ++i)
        curl_easy_cleanup(handles[i]);
    curl_multi_cleanup(m);
    free(handles);
    return 0;
}

static int big(int argc, char **argv)
{
    if (argc != 5)
        die("usage", "big URL COUNT BUFFERSIZE");
    int count = atoi(argv[3]);
    long buffersize = atol(argv[4]);
    struct run r = {0};
    CURL *easy = new_easy(argv[2], &r.bytes);
    if (buffersize > 0)
        curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, buffersize);
    double t0 = now(), c0 = cpu_seconds();
    for (int i = 0; i < count; ++i) {
        check(curl_easy_perform(easy), "perform");
        expect_ok(easy);
        ++r.count;
    }
    r.wall = now() - t0;
    r.cpu = cpu_seconds() - c0;
    report(&r);
    curl_easy_cleanup(easy);
    return 0;
}

static int idle(int argc, char **argv)
{
    if (argc != 4)
        die("usage", "idle COUNT URL");
    int count = atoi(argv[2]);
    long long bytes = 0;
    struct run r = {0};
    /* libcurl's own one-time set-up is not per handle */
    curl_easy_cleanup(new_easy(argv[3], &bytes));
    r.rss_base = rss_kib();
    CURL **handles = calloc((size_t)count, sizeof *handles);
    for (int i = 0; i < count; ++i)
        handles[i] = new_easy(argv[3], &bytes);
    r.count = count;
    r.bytes = (long long)(rss_kib() - r.rss_base) * 1024;
    report(&r);
    for (int i = 0; i < count; ++i)
        curl_easy_cleanup(handles[i]);
    free(handles);
    return 0;
}

/* WebSocket on a CONNECT_ONLY handle: wait for the socket when libcurl
 * says CURLE_AGAIN. */
static void wait_socket(CURL *easy, short events)
{
    curl_socket_t sock;
    curl_easy_getinfo(easy, CURLINFO_ACTIVESOCKET, &sock);
    struct pollfd fd = {.fd = sock, .events = events};
    poll(&fd, 1, 5000);
}

static void ws_send_all(CURL *easy, const char *data, size_t length)
{
    size_t offset = 0;
    while (offset < length) {
        size_t sent = 0;
        CURLcode code = curl_ws_send(easy, data + offset, length - offset, &sent, 0, CURLWS_BINARY);
        if (code == CURLE_AGAIN) {
            wait_socket(easy, POLLOUT);
            continue;
        }
        check(code, "curl_ws_send");
        offset += sent;
    }
}

/* The echo of what was just sent: nothing of it can have arrived before it
 * was sent, so wait for the socket first rather than be told CURLE_AGAIN. */
static void ws_recv_frame(CURL *easy, char *buffer, size_t capacity, size_t expected)
{
    size_t got = 0;
    wait_socket(easy, POLLIN);
    while (got < expected) {
        size_t received = 0;
        const struct curl_ws_frame *meta = NULL;
        CURLcode code = curl_ws_recv(easy, buffer, capacity, &received, &meta);
        if (code == CURLE_AGAIN) {
            wait_socket(easy, POLLIN);
            continue;
        }
        check(code, "curl_ws_recv");
        got += received;
    }
}

static int ws(int argc, char **argv)
{
    if (argc != 6)
        die("usage", "ws URL rtt|bulk SIZE SECONDS");
    size_t size = (size_t)atol(argv[4]);
    double seconds = atof(argv[5]);
    struct run r = {0};
    CURL *easy = curl_easy_init();
    curl_easy_setopt(easy, CURLOPT_URL, argv[2]);
    curl_easy_setopt(easy, CURLOPT_USERAGENT, USER_AGENT);
    curl_easy_setopt(easy, CURLOPT_CONNECT_ONLY, 2L);
    check(curl_easy_perform(easy), "connect");
    size_t capacity = size < 65536 ? 65536 : size;
    char *out = malloc(size), *in = malloc(capacity);
    memset(out, 'x', size);
    for (int i = 0; i < 20; ++i) {
        ws_send_all(easy, out, size);
        ws_recv_frame(easy, in, capacity, size);
    }
    double t0 = now(), c0 = cpu_seconds(), deadline = t0 + seconds;
    do {
        ws_send_all(easy, out, size);
        ws_recv_frame(easy, in, capacity, size);
        ++r.count;
        r.bytes += (long long)size;
    } while (now() < deadline);
    r.wall = now() - t0;
    r.cpu = cpu_seconds() - c0;
    report(&r);
    curl_easy_cleanup(easy);
    free(out);
    free(in);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc < 2)
        die("usage", "reference seq|multi|big|idle|ws ...");
    curl_global_init(CURL_GLOBAL_DEFAULT);
    int status;
    if (strcmp(argv[1], "seq") == 0)
        status = seq(argc, argv);
    else if (strcmp(argv[1], "multi") == 0)
        status = multi(argc, argv);
    else if (strcmp(argv[1], "big") == 0)
        status = big(argc, argv);
    else if (strcmp(argv[1], "idle") == 0)
        status = idle(argc, argv);
    else if (strcmp(argv[1], "ws") == 0)
        status = ws(argc, argv);
    else
        die("unknown workload", argv[1]);
    curl_global_cleanup();
    return status;
}

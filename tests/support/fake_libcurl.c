/* Preloaded into a child interpreter to make the real libcurl look
 * unsuitable: an older version, or TLS backends without OpenSSL.
 *
 *   FAKE_LIBCURL_VERSION=8.20.1      curl_version_info() reports that version
 *   FAKE_LIBCURL_SSLSET=none         curl_global_sslset() finds no backends
 *   FAKE_LIBCURL_SSLSET=a,b,c        ...offers only these backends
 */
#include <curl/curl.h>
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

/* libcurl comes in with the extension module, outside the global scope that
 * RTLD_NEXT searches: look the real functions up in it directly. */
static void *real_function(const char *name)
{
    static void *libcurl;
    if (libcurl == NULL)
        libcurl = dlopen("libcurl.so.4", RTLD_LAZY | RTLD_LOCAL);
    void *function = libcurl ? dlsym(libcurl, name) : NULL;
    if (function == NULL)
        abort();
    return function;
}

curl_version_info_data *curl_version_info(CURLversion age)
{
    static curl_version_info_data faked;
    static char text[64];
    curl_version_info_data *(*real)(CURLversion) = (curl_version_info_data * (*)(CURLversion))
        real_function("curl_version_info");
    curl_version_info_data *data = real(age);
    const char *version = getenv("FAKE_LIBCURL_VERSION");
    unsigned int major, minor, patch;
    if (version == NULL || sscanf(version, "%u.%u.%u", &major, &minor, &patch) != 3)
        return data;
    faked = *data;
    snprintf(text, sizeof text, "%s", version);
    faked.version = text;
    faked.version_num = (major << 16) | (minor << 8) | patch;
    return &faked;
}

CURLsslset curl_global_sslset(curl_sslbackend id, const char *name, const curl_ssl_backend ***avail)
{
    static curl_ssl_backend backends[32];
    static const curl_ssl_backend *list[33];
    static char names[4096];
    const char *wanted = getenv("FAKE_LIBCURL_SSLSET");
    if (wanted == NULL) {
        CURLsslset (*real)(curl_sslbackend, const char *, const curl_ssl_backend ***) =
            (CURLsslset(*)(curl_sslbackend, const char *, const curl_ssl_backend ***))
                real_function("curl_global_sslset");
        return real(id, name, avail);
    }
    if (strcmp(wanted, "none") == 0)
        return CURLSSLSET_NO_BACKENDS;
    snprintf(names, sizeof names, "%s", wanted);
    int count = 0;
    for (char *save = NULL, *item = strtok_r(names, ",", &save); item && count < 32;
         item = strtok_r(NULL, ",", &save)) {
        backends[count].id = (curl_sslbackend)(100 + count);
        backends[count].name = item;
        list[count] = &backends[count];
        ++count;
    }
    list[count] = NULL;
    if (avail)
        *avail = list;
    return CURLSSLSET_UNKNOWN_BACKEND;
}

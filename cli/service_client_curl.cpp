// service_client.h with libcurl: plain HTTP to the loopback address the
// service wrote in its file, never through a proxy.
#include "service_client.h"

#include <curl/curl.h>

#include <mutex>

namespace cli {

namespace {

std::size_t append(char *data, std::size_t size, std::size_t count, void *target) {
    static_cast<std::string *>(target)->append(data, size * count);
    return size * count;
}

}  // namespace

http_result service_request(const std::string &method, const std::string &url, const std::string &token,
                            const std::string &body) {
    static std::once_flag s_curl_started;
    std::call_once(s_curl_started, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    http_result result;
    CURL *curl = curl_easy_init();
    if (curl == nullptr) {
        result.error = "cannot start an HTTP request";
        return result;
    }
    curl_slist *headers = nullptr;
    const std::string authorization = "Authorization: Bearer " + token;
    headers = curl_slist_append(headers, authorization.c_str());
    headers = curl_slist_append(headers, "Content-Type: application/json");
    // The answer comes at once, or when a check ends (its limits add up to
    // well under a minute).
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, 3000L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, 120000L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http");
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, append);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.body);
    if (!body.empty() || method == "POST" || method == "PUT") {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, long(body.size()));
    }
    const CURLcode code = curl_easy_perform(curl);
    if (code == CURLE_OK) {
        long status = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
        result.reached = true;
        result.status = int(status);
    } else {
        result.error = curl_easy_strerror(code);
    }
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return result;
}

}  // namespace cli

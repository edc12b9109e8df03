// Linux backend: HTTP(S) through libcurl (OpenSSL), and the network layer's
// global set-up.
//
// The engine's contract is a request with four stage timeouts (resolve,
// connect, send, receive the response headers) that stops once the headers
// are in, follows redirects at most 10 hops but never from https to http, and
// judges certificates by a fixed policy. libcurl has one connect timeout and
// one overall timeout, reads bodies and fails a refused redirect instead of
// returning it, so the transfer is driven through the multi interface: each
// stage gets its own deadline, the body is never read, and redirects are
// followed here, one hop at a time.
#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <cstring>
#include <string>

#include "platform/fault.h"
#include "platform/platform.h"

namespace vue::platform {

bool net_start() {
    if (fault_fires(fault_point::net_start)) return false;
    return curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
}

void net_stop() { curl_global_cleanup(); }

namespace {

constexpr int kMaxRedirects = 10;

// Number of UTF-16 units a UTF-8 text needs; -1 when it is not UTF-8.
long utf16_units(const std::string &text) {
    long units = 0;
    for (size_t i = 0; i < text.size();) {
        auto c = static_cast<unsigned char>(text[i]);
        size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
        if (len == 0 || i + len > text.size()) return -1;
        units += len == 4 ? 2 : 1;
        i += len;
    }
    return units;
}

struct curl_url_handle {
    CURLU *url = curl_url();
    ~curl_url_handle() { curl_url_cleanup(url); }
    std::string get(CURLUPart part, unsigned flags = 0) const {
        char *text = nullptr;
        std::string out;
        if (curl_url_get(url, part, &text, flags) == CURLUE_OK && text != nullptr) out = text;
        curl_free(text);
        return out;
    }
};

// OpenSSL verification that accepts what the engine's policy ignores. The
// error is cleared, not just overridden, because libcurl checks the
// connection's final verification result again after the handshake.
int verify_certificate(int preverified, X509_STORE_CTX *ctx, bool ignore_wrong_usage) {
    if (preverified) return 1;
    switch (X509_STORE_CTX_get_error(ctx)) {
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_CERT_UNTRUSTED:   // unknown issuer
        case X509_V_ERR_CERT_HAS_EXPIRED:
        case X509_V_ERR_CERT_NOT_YET_VALID:  // outside its dates
            X509_STORE_CTX_set_error(ctx, X509_V_OK);
            return 1;
        case X509_V_ERR_INVALID_PURPOSE:  // issued for another usage
            if (!ignore_wrong_usage) return 0;
            X509_STORE_CTX_set_error(ctx, X509_V_OK);
            return 1;
        default:
            return 0;
    }
}
int verify_ignoring_usage(int ok, X509_STORE_CTX *ctx) { return verify_certificate(ok, ctx, true); }
int verify_requiring_usage(int ok, X509_STORE_CTX *ctx) { return verify_certificate(ok, ctx, false); }

CURLcode install_verifier(CURL *, void *ssl_ctx, void *user) {
    bool ignore_wrong_usage = *static_cast<bool *>(user);
    SSL_CTX_set_verify(static_cast<SSL_CTX *>(ssl_ctx), SSL_VERIFY_PEER,
                       ignore_wrong_usage ? verify_ignoring_usage : verify_requiring_usage);
    return CURLE_OK;
}

struct transfer_state {
    bool interim = false;       // the header block under way is a 1xx one
    bool headers_done = false;  // a final (non-1xx) response's headers are in
};

size_t on_header(char *data, size_t size, size_t count, void *user) {
    auto *state = static_cast<transfer_state *>(user);
    size_t n = size * count;
    // A status line opens a header block and the blank line ends it; an
    // interim 1xx block is followed by the real one.
    if (n >= 5 && std::memcmp(data, "HTTP/", 5) == 0) {
        const char *space = static_cast<const char *>(std::memchr(data, ' ', n));
        state->interim = space != nullptr && static_cast<size_t>(space - data) + 1 < n && space[1] == '1';
    } else if (n <= 2 && (n == 0 || data[0] == '\r' || data[0] == '\n')) {
        if (!state->interim) state->headers_done = true;
    }
    return n;
}

size_t on_body(char *, size_t, size_t, void *) { return 0; }  // never read; ends the transfer

struct curl_easy {
    CURL *handle = curl_easy_init();
    ~curl_easy() { curl_easy_cleanup(handle); }
};
struct curl_multi {
    CURLM *handle = curl_multi_init();
    ~curl_multi() { curl_multi_cleanup(handle); }
};
struct curl_headers {
    curl_slist *list = nullptr;
    ~curl_headers() { curl_slist_free_all(list); }
    bool add(const char *header) {
        curl_slist *next = curl_slist_append(list, header);
        if (next == nullptr) return false;
        list = next;
        return true;
    }
};

double info_seconds(CURL *easy, CURLINFO what) {
    curl_off_t micro = 0;
    curl_easy_getinfo(easy, what, &micro);
    return static_cast<double>(micro) / 1000.0;  // in milliseconds
}

// Runs one transfer until its final headers are in, a stage runs out of
// time, or it fails. Returns the status, 0 when none arrived.
unsigned run_one_hop(CURLM *multi, CURL *easy, const http_request &request, transfer_state &state) {
    state = transfer_state{};
    if (curl_multi_add_handle(multi, easy) != CURLM_OK) return 0;
    const double started = monotonic_ms();
    bool failed = false;
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            failed = true;
            break;
        }
        if (state.headers_done) break;
        int queued = 0;
        bool finished = false;
        while (CURLMsg *m = curl_multi_info_read(multi, &queued)) {
            if (m->msg == CURLMSG_DONE) {
                finished = true;
                // A body write refused by on_body is how a response that
                // reached its body ends; anything else is a failure.
                if (m->data.result != CURLE_OK && m->data.result != CURLE_WRITE_ERROR) failed = true;
            }
        }
        if (finished || running == 0) break;

        // Which stage is under way, and since when (ms after the start).
        const double elapsed = monotonic_ms() - started;
        const double resolved = info_seconds(easy, CURLINFO_NAMELOOKUP_TIME_T);
        const double connected = info_seconds(easy, CURLINFO_CONNECT_TIME_T);
        const double ready = info_seconds(easy, CURLINFO_PRETRANSFER_TIME_T);
        double deadline;
        if (resolved <= 0) {
            deadline = request.resolve_timeout_ms;
        } else if (connected <= 0) {
            deadline = resolved + request.connect_timeout_ms;
        } else if (ready <= 0) {
            deadline = connected + request.send_timeout_ms;  // TLS handshake, then the request
        } else {
            // The request itself goes out in one write; what remains is the
            // wait for the response headers.
            deadline = ready + request.receive_timeout_ms;
        }
        const double left = deadline - elapsed;
        if (left <= 0) {
            failed = true;
            break;
        }
        int wait = left < 50 ? static_cast<int>(left) + 1 : 50;
        curl_multi_poll(multi, nullptr, 0, wait, nullptr);
    }
    long status = 0;
    if (!failed || state.headers_done) curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    curl_multi_remove_handle(multi, easy);
    if (!state.headers_done && failed) return 0;
    return status > 0 ? static_cast<unsigned>(status) : 0;
}

std::string join_url(const http_url_parts &parts) {
    std::string url = parts.secure ? "https://" : "http://";
    url += parts.host;
    url += ':';
    url += std::to_string(parts.port);
    url += parts.path.empty() ? "/" : parts.path;
    return url;
}

bool is_followed_redirect(unsigned status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

}  // namespace

bool http_split_url(const char *url, http_url_parts &out) {
    curl_url_handle parsed;
    if (parsed.url == nullptr) return false;
    if (curl_url_set(parsed.url, CURLUPART_URL, url, CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) return false;
    const std::string scheme = parsed.get(CURLUPART_SCHEME);
    if (scheme != "http" && scheme != "https") return false;
    out.secure = scheme == "https";
    out.host = parsed.get(CURLUPART_HOST);
    out.path = parsed.get(CURLUPART_PATH);
    const std::string port = parsed.get(CURLUPART_PORT, CURLU_DEFAULT_PORT);
    out.port = port.empty() ? (out.secure ? 443 : 80) : std::atoi(port.c_str());
    if (out.host.empty()) return false;
    long host_units = utf16_units(out.host), path_units = utf16_units(out.path);
    if (host_units < 0 || host_units > 255 || path_units < 0 || path_units > 1023) return false;
    return true;
}

bool http_exchange(const http_request &request, unsigned &status) {
    status = 0;
    curl_easy easy;
    curl_multi multi;
    curl_headers headers;
    if (easy.handle == nullptr || multi.handle == nullptr) return false;
    // No Accept header: the request carries only what the engine asks for.
    if (!headers.add("Accept:") || !headers.add("Expect:")) return false;
    if (request.content_type != nullptr) {
        std::string line = std::string("Content-Type: ") + request.content_type;
        if (!headers.add(line.c_str())) return false;
    }

    CURL *e = easy.handle;
    bool ignore_wrong_usage = request.ignore_wrong_usage;
    transfer_state state;
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_USERAGENT, "vantorel-uptime-engine/1.0");
    curl_easy_setopt(e, CURLOPT_PROXY, "");  // a direct connection; no proxy from the environment
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.list);
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &state);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, on_body);
    // Safety nets behind the stage deadlines of run_one_hop.
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(request.resolve_timeout_ms + request.connect_timeout_ms + 1000));
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS,
                     static_cast<long>(request.resolve_timeout_ms + request.connect_timeout_ms +
                                       2 * request.send_timeout_ms + request.receive_timeout_ms + 2000));
    // Verification runs (so that a certificate for the wrong usage can be
    // refused) but with the policy of verify_certificate; the host name is
    // never compared.
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, install_verifier);
    curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, &ignore_wrong_usage);

    std::string url = join_url(*request.url);
    bool secure = request.url->secure;
    bool post = std::strcmp(request.method, "POST") == 0;
    for (int hop = 0;; ++hop) {
        curl_easy_setopt(e, CURLOPT_URL, url.c_str());
        if (post) {
            curl_easy_setopt(e, CURLOPT_POST, 1L);
            curl_easy_setopt(e, CURLOPT_POSTFIELDS, request.body != nullptr ? request.body : "");
            curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body_size));
        } else {
            curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
        }
        unsigned got = run_one_hop(multi.handle, e, request, state);
        if (!is_followed_redirect(got)) {
            status = got;
            return true;
        }
        char *location = nullptr;
        curl_easy_getinfo(e, CURLINFO_REDIRECT_URL, &location);
        if (location == nullptr) {
            status = got;
            return true;
        }
        std::string next = location;
        const bool next_secure = next.compare(0, 8, "https://") == 0;
        const bool next_plain = next.compare(0, 7, "http://") == 0;
        // Never down from https to http: that response is itself the answer.
        if (!next_secure && !next_plain) {
            status = got;
            return true;
        }
        if (secure && next_plain) {
            status = got;
            return true;
        }
        if (hop + 1 > kMaxRedirects) {
            status = 0;  // too many redirects: no usable response
            return true;
        }
        // 301, 302 and 303 turn a POST into a GET without body; 307 and 308 keep it.
        if (got != 307 && got != 308) post = false;
        url = next;
        secure = next_secure;
    }
}

}  // namespace vue::platform

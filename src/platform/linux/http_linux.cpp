// Linux backend: HTTP(S) through libcurl (OpenSSL), and the network layer's
// global set-up.
//
// The engine's contract is a request with four stage timeouts (resolve,
// connect, send, receive the response head) that stops once the head is in,
// follows redirects at most 10 hops but never from https to http, and judges
// certificates by a fixed policy. libcurl has one connect timeout and one
// overall timeout, reads bodies, and tells a redirect target only once a
// transfer has completed, so the transfer is driven through the multi
// interface: each stage gets its own deadline, the head is read here line by
// line, the body is never read, and redirects are followed here, one hop at a
// time, from the Location header of the head itself.
#include <curl/curl.h>
#include <openssl/bio.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <strings.h>
#include <sys/socket.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

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
constexpr long kUtf16PartMax = 1023;

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

// A space or backslash after the authority is sent percent-encoded, as the
// Windows HTTP layer sends it, rather than refused by the URL parser. The
// fragment goes: it never reaches the server. Works on absolute URLs and on
// the relative references of a Location header alike. `added` counts the
// bytes the encoding added.
std::string encode_for_request(const std::string &url, size_t &added) {
    added = 0;
    std::string out;
    size_t path_from = 0;
    if (const size_t scheme_end = url.find("://"); scheme_end != std::string::npos &&
                                                   url.find_first_of("/?#") > scheme_end) {
        path_from = url.find_first_of("/?#", scheme_end + 3);
    } else if (url.compare(0, 2, "//") == 0) {
        path_from = url.find_first_of("/?#", 2);
    }
    if (path_from == std::string::npos) path_from = url.size();
    out.assign(url, 0, path_from);
    for (size_t i = path_from; i < url.size(); ++i) {
        const char c = url[i];
        if (c == '#') break;
        if (c == ' ') {
            out += "%20";
            added += 2;
        } else if (c == '\\') {
            out += "%5C";
            added += 2;
        } else {
            out += c;
        }
    }
    return out;
}

struct curl_url_handle {
    CURLU *url = curl_url();
    ~curl_url_handle() { curl_url_cleanup(url); }
    // False when the part is absent.
    bool get(CURLUPart part, std::string &out, unsigned flags = 0) const {
        char *text = nullptr;
        out.clear();
        const bool present = curl_url_get(url, part, &text, flags) == CURLUE_OK && text != nullptr;
        if (present) out = text;
        curl_free(text);
        return present;
    }
};

// Fills `out` from a parsed URL; `added` as from encode_for_request.
bool parts_from(const curl_url_handle &parsed, size_t added, http_url_parts &out) {
    std::string scheme, host, port, path, query;
    parsed.get(CURLUPART_SCHEME, scheme);
    for (char &c : scheme) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
    if (scheme != "http" && scheme != "https") return false;
    if (!parsed.get(CURLUPART_HOST, host) || host.empty()) return false;
    out.secure = scheme == "https";
    out.host = host;
    parsed.get(CURLUPART_PORT, port, CURLU_DEFAULT_PORT);
    out.port = port.empty() ? (out.secure ? 443 : 80) : std::atoi(port.c_str());
    parsed.get(CURLUPART_PATH, path);
    const bool has_query = parsed.get(CURLUPART_QUERY, query);
    // The limits of the Windows HTTP layer's URL split, on the text as given.
    const long host_units = utf16_units(host), path_units = utf16_units(path), query_units = utf16_units(query);
    const long grown = static_cast<long>(added);  // %20 and %5C count as the one character they were
    if (host_units < 0 || host_units > 255 || path_units < 0 || query_units < 0) return false;
    if (path_units - grown > kUtf16PartMax || query_units - grown > kUtf16PartMax) return false;
    out.target = path.empty() ? "/" : path;
    if (has_query) out.target += "?" + query;
    return true;
}

std::string join_url(const http_url_parts &parts) {
    std::string url = parts.secure ? "https://" : "http://";
    url += parts.host;
    url += ':';
    url += std::to_string(parts.port);
    url += parts.target;
    return url;
}

// The Location of a redirect, resolved against the URL that answered it.
// False when it does not lead to an http or https URL.
bool resolve_location(const std::string &base, const std::string &location, http_url_parts &out) {
    curl_url_handle parsed;
    if (parsed.url == nullptr) return false;
    if (curl_url_set(parsed.url, CURLUPART_URL, base.c_str(), 0) != CURLUE_OK) return false;
    size_t added = 0;
    const std::string encoded = encode_for_request(location, added);
    // On a handle that holds a URL, a relative reference is resolved against it.
    if (curl_url_set(parsed.url, CURLUPART_URL, encoded.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK)
        return false;
    return parts_from(parsed, added, out);
}

// What the connections of one exchange need and tell: the certificate
// policy in; the leaf certificate of the latest handshake and the address
// of the latest connection attempt out. It reaches the verification
// callback through the SSL_CTX, which libcurl makes anew for every
// connection.
struct exchange_state {
    bool ignore_wrong_usage = false;
    X509 *leaf = nullptr;  // one reference held
    std::string attempted;  // the address of the latest connection attempt
    exchange_state() = default;
    exchange_state(const exchange_state &) = delete;
    exchange_state &operator=(const exchange_state &) = delete;
    ~exchange_state() { X509_free(leaf); }
};

int exchange_state_index() {
    static std::once_flag once;
    static int index = -1;
    std::call_once(once, [] { index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr); });
    return index;
}

exchange_state *exchange_state_of(X509_STORE_CTX *ctx) {
    auto *ssl = static_cast<SSL *>(X509_STORE_CTX_get_ex_data(ctx, SSL_get_ex_data_X509_STORE_CTX_idx()));
    if (ssl == nullptr || exchange_state_index() < 0) return nullptr;
    return static_cast<exchange_state *>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), exchange_state_index()));
}

// OpenSSL verification that accepts what the engine's policy ignores. The
// error is cleared, not just overridden, because libcurl checks the
// connection's final verification result again after the handshake. With no
// trust store loaded every chain ends in an unknown issuer, which the policy
// ignores anyway; the purpose check still runs after it. The leaf is kept
// on the first call of a handshake, before any verdict, so that a report
// can show the certificate whether or not it was accepted.
int verify_certificate(int preverified, X509_STORE_CTX *ctx) {
    exchange_state *state = exchange_state_of(ctx);
    if (state == nullptr) return 0;
    if (X509 *leaf = X509_STORE_CTX_get0_cert(ctx); leaf != nullptr && leaf != state->leaf &&
                                                   (state->leaf == nullptr || X509_cmp(leaf, state->leaf) != 0)) {
        if (X509_up_ref(leaf) == 1) {
            X509_free(state->leaf);
            state->leaf = leaf;
        }
    }
    const bool ignore_wrong_usage = state->ignore_wrong_usage;
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
CURLcode install_verifier(CURL *, void *ssl_ctx, void *user) {
    auto *ctx = static_cast<SSL_CTX *>(ssl_ctx);
    if (exchange_state_index() < 0 || SSL_CTX_set_ex_data(ctx, exchange_state_index(), user) != 1) return CURLE_SSL_CONNECT_ERROR;
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, verify_certificate);
    return CURLE_OK;
}

// libcurl tells the address it connected to, but not one it failed to
// connect to; each attempt passes here. The socket is the one libcurl would
// make, but never inherited by a child process.
curl_socket_t open_socket(void *user, curlsocktype, struct curl_sockaddr *address) {
    auto *state = static_cast<exchange_state *>(user);
    resolved_address tried;
    if (address->addrlen <= sizeof tried.addr) {
        tried.family = address->family;
        tried.addr_len = address->addrlen;
        std::memcpy(tried.addr, &address->addr, address->addrlen);
        state->attempted = address_text(tried);
    }
    const int fd = ::socket(address->family, address->socktype | SOCK_CLOEXEC, address->protocol);
    return fd < 0 ? CURL_SOCKET_BAD : fd;
}

// "CN=example.org,O=Example": RFC 2253 order and escaping, but UTF-8 left
// as it is rather than escaped byte by byte.
std::string one_line_name(const X509_NAME *name) {
    BIO *bio = BIO_new(BIO_s_mem());
    if (bio == nullptr) return std::string();
    std::string out;
    if (X509_NAME_print_ex(bio, name, 0, XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB) >= 0) {
        char *data = nullptr;
        const long size = BIO_get_mem_data(bio, &data);
        if (size > 0 && data != nullptr) out.assign(data, static_cast<size_t>(size));
    }
    BIO_free(bio);
    return out;
}

peer_certificate describe(X509 *leaf) {
    peer_certificate out;
    if (leaf == nullptr) return out;
    struct tm when;
    std::memset(&when, 0, sizeof when);
    if (ASN1_TIME_to_tm(X509_get0_notAfter(leaf), &when) != 1) return out;
    out.present = true;
    out.not_after = static_cast<int64_t>(::timegm(&when));
    out.subject = one_line_name(X509_get_subject_name(leaf));
    out.issuer = one_line_name(X509_get_issuer_name(leaf));
    return out;
}

// The response head as it arrives, one complete line per call: libcurl
// never hands over a line cut off by the connection's end, so a head is
// complete exactly when its blank line has come.
struct head_state {
    bool interim = false;       // the block under way is a 1xx one
    bool complete = false;      // a final (non-1xx) response's head is in
    bool too_large = false;     // the head outgrew kMaxResponseHeadBytes
    size_t bytes = 0;           // of the block under way, status line included
    unsigned status = 0;        // of the block under way
    std::string status_text;    // its reason phrase
    std::string location;       // its Location header, "" when none
    long new_connections = 0;   // connections the transfer opened; 0 when it reused one
};

bool is_blank_line(const char *data, size_t n) {
    return n == 0 || (n == 1 && data[0] == '\n') || (n == 2 && data[0] == '\r' && data[1] == '\n');
}

bool header_named(const char *data, size_t n, const char *name) {
    const size_t length = std::strlen(name);
    return n > length && data[length] == ':' && strncasecmp(data, name, length) == 0;
}

size_t on_header(char *data, size_t size, size_t count, void *user) {
    auto *head = static_cast<head_state *>(user);
    const size_t n = size * count;
    if (head->complete) return n;  // trailers of a body that is not read
    if (n >= 5 && std::memcmp(data, "HTTP/", 5) == 0) {
        // A status line opens a block: "HTTP/1.1 302 Found".
        head->bytes = 0;
        head->location.clear();
        head->status = 0;
        head->status_text.clear();
        const char *space = static_cast<const char *>(std::memchr(data, ' ', n));
        const size_t at = space != nullptr ? static_cast<size_t>(space - data) + 1 : n;
        if (at + 3 <= n && data[at] >= '0' && data[at] <= '9' && data[at + 1] >= '0' && data[at + 1] <= '9' &&
            data[at + 2] >= '0' && data[at + 2] <= '9') {
            head->status = static_cast<unsigned>((data[at] - '0') * 100 + (data[at + 1] - '0') * 10 + (data[at + 2] - '0'));
            size_t from = at + 3, to = n;
            while (from < to && data[from] == ' ') ++from;
            while (to > from && (data[to - 1] == '\r' || data[to - 1] == '\n' || data[to - 1] == ' ')) --to;
            head->status_text.assign(data + from, to - from);
        }
        head->interim = head->status >= 100 && head->status <= 199;
    }
    head->bytes += n;
    if (head->bytes > kMaxResponseHeadBytes) {
        head->too_large = true;
        return 0;  // ends the transfer
    }
    if (is_blank_line(data, n)) {
        if (!head->interim) head->complete = true;
    } else if (header_named(data, n, "Location")) {
        size_t from = 9, to = n;
        while (from < to && (data[from] == ' ' || data[from] == '\t')) ++from;
        while (to > from && (data[to - 1] == '\r' || data[to - 1] == '\n' || data[to - 1] == ' ' || data[to - 1] == '\t'))
            --to;
        head->location.assign(data + from, to - from);
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

// Milliseconds from the start of the transfer to the end of a phase; 0 while
// the phase has not ended.
double info_ms(CURL *easy, CURLINFO what) {
    curl_off_t micro = 0;
    curl_easy_getinfo(easy, what, &micro);
    return static_cast<double>(micro) / 1000.0;
}

enum class stage { resolve, connect, send, receive };

http_failure failure_of(CURLcode code, long os_error) {
    switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST: return http_failure::resolve_failed;
        case CURLE_COULDNT_CONNECT:
            return os_error == ECONNREFUSED ? http_failure::connect_refused : http_failure::connect_failed;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_CRL_BADFILE:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_USE_SSL_FAILED: return http_failure::tls_failed;
        default: return http_failure::request_failed;
    }
}

// Runs one request until its final response head is in, a stage runs out of
// time, or it fails. Fills the failure, message, address and phases of
// `out`; the head read is in `head`.
void run_one_hop(CURLM *multi, CURL *easy, const http_request &request, bool secure, head_state &head,
                 const char *error_text, http_result &out) {
    head = head_state{};
    out.failure = http_failure::request_failed;
    out.message.clear();
    if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
        out.message = "the HTTP layer refused the request";
        return;
    }
    const double started = monotonic_ms();
    bool done = false;
    CURLcode result = CURLE_OK;
    stage timed_out_in = stage::resolve;
    bool timed_out = false;
    for (;;) {
        int running = 0;
        if (curl_multi_perform(multi, &running) != CURLM_OK) {
            result = CURLE_OUT_OF_MEMORY;
            done = true;
            break;
        }
        if (head.complete) break;
        int queued = 0;
        while (CURLMsg *m = curl_multi_info_read(multi, &queued)) {
            if (m->msg == CURLMSG_DONE) {
                done = true;
                result = m->data.result;
            }
        }
        if (done || head.complete || running == 0) break;

        // Which stage is under way, and since when (ms after the start).
        const double elapsed = monotonic_ms() - started;
        const double resolved = info_ms(easy, CURLINFO_NAMELOOKUP_TIME_T);
        const double connected = info_ms(easy, CURLINFO_CONNECT_TIME_T);
        const double ready = info_ms(easy, CURLINFO_PRETRANSFER_TIME_T);
        double deadline;
        stage now;
        if (resolved <= 0) {
            now = stage::resolve;
            deadline = request.resolve_timeout_ms;
        } else if (connected <= 0) {
            now = stage::connect;
            deadline = resolved + request.connect_timeout_ms;
        } else if (ready <= 0) {
            now = stage::send;
            deadline = connected + request.send_timeout_ms;  // TLS handshake, then the request
        } else {
            // The request itself goes out in one write; what remains is the
            // wait for the response head.
            now = stage::receive;
            deadline = ready + request.receive_timeout_ms;
        }
        const double left = deadline - elapsed;
        if (left <= 0) {
            timed_out = true;
            timed_out_in = now;
            break;
        }
        int wait = left < 50 ? static_cast<int>(left) + 1 : 50;
        curl_multi_poll(multi, nullptr, 0, wait, nullptr);
    }

    // What the transfer got to, whatever became of it.
    char *ip = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_PRIMARY_IP, &ip) == CURLE_OK && ip != nullptr) out.address = ip;
    const double resolved = info_ms(easy, CURLINFO_NAMELOOKUP_TIME_T);
    const double connected = info_ms(easy, CURLINFO_CONNECT_TIME_T);
    const double handshaken = info_ms(easy, CURLINFO_APPCONNECT_TIME_T);
    const double ready = info_ms(easy, CURLINFO_PRETRANSFER_TIME_T);
    const double first_byte = info_ms(easy, CURLINFO_STARTTRANSFER_TIME_T);
    out.resolve_ms = resolved > 0 ? resolved : -1.0;
    out.connect_ms = connected > 0 ? connected - resolved : -1.0;
    out.tls_ms = secure && handshaken > 0 ? handshaken - connected : -1.0;
    out.first_byte_ms = first_byte > 0 && ready > 0 ? first_byte - ready : -1.0;
    long os_error = 0;
    curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &os_error);
    curl_easy_getinfo(easy, CURLINFO_NUM_CONNECTS, &head.new_connections);
    curl_multi_remove_handle(multi, easy);

    if (head.complete) {
        out.failure = http_failure::none;
        return;
    }
    if (head.too_large) {
        out.failure = http_failure::request_failed;
        out.message = "response head larger than 100 KiB";
    } else if (timed_out) {
        switch (timed_out_in) {
            case stage::resolve:
                out.failure = http_failure::resolve_failed;
                out.message = "name resolution timed out";
                break;
            case stage::connect:
                out.failure = http_failure::connect_timeout;
                out.message = "connection timed out";
                break;
            case stage::send:
                out.failure = secure && handshaken <= 0 ? http_failure::tls_failed : http_failure::request_failed;
                out.message = secure && handshaken <= 0 ? "TLS handshake timed out" : "sending the request timed out";
                break;
            case stage::receive:
                out.failure = http_failure::response_timeout;
                out.message = "no response head within the receive limit";
                break;
        }
    } else if (!done || result == CURLE_OK || result == CURLE_WRITE_ERROR) {
        // The connection ended (or a body began) before the head was whole.
        out.failure = http_failure::request_failed;
        out.message = "connection closed before the response head was complete";
    } else {
        out.failure = failure_of(result, os_error);
        if (result == CURLE_COULDNT_CONNECT && os_error != 0) {
            // The socket's own reason ("Connection refused") rather than
            // libcurl's sentence around it.
            char buffer[128];
            out.message = ::strerror_r(static_cast<int>(os_error), buffer, sizeof buffer);
        } else {
            out.message = error_text[0] != '\0' ? error_text : curl_easy_strerror(result);
        }
    }
}

bool is_followed_redirect(unsigned status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

}  // namespace

bool http_split_url(const char *url, http_url_parts &out) {
    curl_url_handle parsed;
    if (parsed.url == nullptr) return false;
    size_t added = 0;
    const std::string encoded = encode_for_request(url, added);
    if (curl_url_set(parsed.url, CURLUPART_URL, encoded.c_str(), CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) return false;
    return parts_from(parsed, added, out);
}

http_result http_exchange(const http_request &request) {
    http_result out;
    curl_easy easy;
    curl_multi multi;
    curl_headers headers;
    if (easy.handle == nullptr || multi.handle == nullptr) return out;
    // No Accept header: the request carries only what the engine asks for.
    if (!headers.add("Accept:") || !headers.add("Expect:")) return out;
    if (request.content_type != nullptr) {
        std::string line = std::string("Content-Type: ") + request.content_type;
        if (!headers.add(line.c_str())) return out;
    }

    CURL *e = easy.handle;
    exchange_state state;
    state.ignore_wrong_usage = request.ignore_wrong_usage;
    head_state head;
    char error_text[CURL_ERROR_SIZE] = {};
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, error_text);
    curl_easy_setopt(e, CURLOPT_USERAGENT, "vantorel-uptime-engine/1.0");
    curl_easy_setopt(e, CURLOPT_PROXY, "");  // a direct connection; no proxy from the environment
    curl_easy_setopt(e, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, headers.list);
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, on_header);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, &head);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, on_body);
    // Safety nets behind the stage deadlines of run_one_hop.
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(request.resolve_timeout_ms + request.connect_timeout_ms + 1000));
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS,
                     static_cast<long>(request.resolve_timeout_ms + request.connect_timeout_ms +
                                       2 * request.send_timeout_ms + request.receive_timeout_ms + 2000));
    // Verification runs (so that a certificate for the wrong usage can be
    // refused) but with the policy of verify_certificate; the host name is
    // never compared. No trust store is loaded: the policy accepts an
    // unknown issuer anyway, and loading the system's bundle would cost
    // every check tens of milliseconds and fail where it is absent.
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(e, CURLOPT_CAINFO, static_cast<const char *>(nullptr));
    curl_easy_setopt(e, CURLOPT_CAPATH, static_cast<const char *>(nullptr));
    curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, install_verifier);
    curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, &state);
    // Every new connection makes a whole handshake, so that its certificate
    // is seen: a resumed session shows none.
    curl_easy_setopt(e, CURLOPT_SSL_SESSIONID_CACHE, 0L);
    curl_easy_setopt(e, CURLOPT_OPENSOCKETFUNCTION, open_socket);
    curl_easy_setopt(e, CURLOPT_OPENSOCKETDATA, &state);

    std::string url = join_url(*request.url);
    http_url_parts where = *request.url;
    bool secure = request.url->secure;
    bool post = std::strcmp(request.method, "POST") == 0;
    // The leaf of each origin's latest handshake in this exchange: a hop
    // over a connection an earlier hop opened shows that connection's
    // certificate, not the one of whichever handshake came last.
    std::vector<std::pair<std::string, peer_certificate>> seen;
    auto certificate_of_hop = [&]() -> peer_certificate {
        if (!secure) return peer_certificate{};
        const std::string origin = where.host + ":" + std::to_string(where.port);
        auto known = std::find_if(seen.begin(), seen.end(), [&](const auto &entry) { return entry.first == origin; });
        if (state.leaf != nullptr) {
            peer_certificate fresh = describe(state.leaf);
            if (known != seen.end()) {
                known->second = fresh;
            } else {
                seen.emplace_back(origin, fresh);
            }
            return fresh;
        }
        if (head.new_connections == 0 && known != seen.end()) return known->second;
        return peer_certificate{};
    };
    for (int hop = 0;; ++hop) {
        curl_easy_setopt(e, CURLOPT_URL, url.c_str());
        if (post) {
            curl_easy_setopt(e, CURLOPT_POST, 1L);
            curl_easy_setopt(e, CURLOPT_POSTFIELDS, request.body != nullptr ? request.body : "");
            curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(request.body_size));
        } else {
            curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
        }
        error_text[0] = '\0';
        X509_free(state.leaf);
        state.leaf = nullptr;
        state.attempted.clear();
        out.address.clear();
        run_one_hop(multi.handle, e, request, secure, head, error_text, out);
        if (out.address.empty()) out.address = state.attempted;
        out.certificate = certificate_of_hop();
        if (out.failure != http_failure::none) return out;
        out.status = head.status;
        out.status_text = head.status_text;
        http_url_parts next;
        // A redirect without a usable Location is itself the answer.
        if (!is_followed_redirect(head.status) || head.location.empty() ||
            !resolve_location(url, head.location, next)) {
            return out;
        }
        // Never down from https to http: that response is itself the answer.
        if (secure && !next.secure) {
            out.insecure_redirect = true;
            return out;
        }
        if (hop + 1 > kMaxRedirects) {
            out.failure = http_failure::too_many_redirects;
            out.status = 0;
            out.status_text.clear();
            out.message = "more than 10 redirects";
            return out;
        }
        // 301, 302 and 303 turn a POST into a GET without body; 307 and 308 keep it.
        if (head.status != 307 && head.status != 308) post = false;
        url = join_url(next);
        secure = next.secure;
        where = next;
        ++out.redirects;
    }
}

}  // namespace vue::platform

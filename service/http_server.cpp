#include "http_server.h"

#include <netinet/in.h>
#include <strings.h>
#include <unistd.h>

#include <cstring>
#include <mutex>

#include <microhttpd.h>

namespace service {

struct http_server::state {
    http_limits limits;
    http_handler handler;
};

namespace {

// A chunked body over the limit is read on (and dropped) up to this much
// more, so that its sender gets the 413.
constexpr std::size_t k_discard_limit = 1024 * 1024;

// What one request carries between the library's calls.
struct exchange {
    std::string body;
    bool too_large = false;
    std::size_t discarded = 0;  // body bytes read and dropped (over the limit, or after an answer)
    bool answered = false;  // a response was queued
    // A deferred response: given by the responder, queued once resumed.
    std::mutex lock;
    bool suspended = false;
    bool ready = false;
    http_response response;
};

bool is_loopback(const sockaddr *address) {
    if (address == nullptr) return false;
    if (address->sa_family == AF_INET) {
        const auto *v4 = reinterpret_cast<const sockaddr_in *>(address);
        return (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
    }
    if (address->sa_family == AF_INET6) {
        const auto *v6 = reinterpret_cast<const sockaddr_in6 *>(address);
        if (IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr)) return true;
        return IN6_IS_ADDR_V4MAPPED(&v6->sin6_addr) && v6->sin6_addr.s6_addr[12] == 127;
    }
    return false;
}

MHD_Result queue(MHD_Connection *connection, const http_response &r) {
    MHD_Response *response =
        MHD_create_response_from_buffer(r.body.size(), const_cast<char *>(r.body.data()), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, "Content-Type", r.content_type.c_str());
    // Nothing the service says may be cached or read as another type.
    MHD_add_response_header(response, "Cache-Control", "no-store");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    for (const auto &[name, value] : r.headers) MHD_add_response_header(response, name.c_str(), value.c_str());
    const MHD_Result result = MHD_queue_response(connection, unsigned(r.status), response);
    MHD_destroy_response(response);
    return result;
}

http_response too_large_response(std::size_t limit) {
    return {413, "application/json",
            "{\"error\":\"Request body larger than " + std::to_string(limit / 1024) + " KiB\"}\n", {}};
}

MHD_Result collect_argument(void *target, MHD_ValueKind, const char *key, const char *value) {
    auto &query = *static_cast<std::map<std::string, std::string> *>(target);
    if (key != nullptr) query.emplace(key, value != nullptr ? value : "");
    return MHD_YES;
}

struct framing_headers {
    int lengths = 0;
    int transfer_encodings = 0;
};

MHD_Result count_framing(void *target, MHD_ValueKind, const char *key, const char *) {
    auto &framing = *static_cast<framing_headers *>(target);
    if (key != nullptr && strcasecmp(key, "Content-Length") == 0) ++framing.lengths;
    if (key != nullptr && strcasecmp(key, "Transfer-Encoding") == 0) ++framing.transfer_encodings;
    return MHD_YES;
}

MHD_Result on_request(void *cls, MHD_Connection *connection, const char *url, const char *method, const char *,
                      const char *upload_data, size_t *upload_data_size, void **request_context) {
    auto &st = *static_cast<http_server::state *>(cls);
    auto *ex = static_cast<exchange *>(*request_context);
    if (ex == nullptr) {
        ex = new exchange;
        *request_context = ex;
        // Framing that two readers could take two ways (two lengths, or a
        // length beside chunks) is refused rather than guessed at: the
        // library would take one of them, a proxy in front the other.
        framing_headers framing;
        MHD_get_connection_values(connection, MHD_HEADER_KIND, count_framing, &framing);
        if (framing.lengths > 1 || (framing.lengths > 0 && framing.transfer_encodings > 0)) {
            ex->answered = true;
            return queue(connection, http_response{400, "application/json",
                                                   "{\"error\":\"Ambiguous request framing: one Content-Length, "
                                                   "or Transfer-Encoding alone\"}\n",
                                                   {{"Connection", "close"}}});
        }
        // A declared body over the limit is refused before it is read.
        if (const char *length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Content-Length")) {
            char *end = nullptr;
            const unsigned long long declared = std::strtoull(length, &end, 10);
            if (end != length && declared > st.limits.max_body) {
                ex->answered = true;
                return queue(connection, too_large_response(st.limits.max_body));
            }
        }
        return MHD_YES;
    }
    if (*upload_data_size > 0) {
        if (ex->too_large || ex->answered) {
            ex->discarded += *upload_data_size;
        } else if (ex->body.size() + *upload_data_size > st.limits.max_body) {
            ex->too_large = true;
            ex->discarded = ex->body.size() + *upload_data_size;
            ex->body = std::string();
        } else {
            ex->body.append(upload_data, *upload_data_size);
        }
        *upload_data_size = 0;
        // A body that grows past the limit (chunked, without a length) can
        // only be answered once it has ended: the library takes no response
        // while a body is still coming in. What follows the limit is read
        // and dropped, up to a bound; a client that sends more than that is
        // cut off without an answer.
        return ex->discarded > k_discard_limit ? MHD_NO : MHD_YES;
    }
    if (ex->too_large && !ex->answered) {
        ex->answered = true;
        return queue(connection, too_large_response(st.limits.max_body));
    }
    if (ex->answered) {
        std::lock_guard<std::mutex> guard(ex->lock);
        if (!ex->ready) return MHD_YES;
        ex->ready = false;
        return queue(connection, ex->response);
    }

    http_request request;
    request.method = method;
    if (request.method == "HEAD") request.method = "GET";
    request.path = url;
    MHD_get_connection_values(connection, MHD_GET_ARGUMENT_KIND, collect_argument, &request.query);
    if (const char *v = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Authorization")) request.authorization = v;
    if (const char *v = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Host")) request.host = v;
    const MHD_ConnectionInfo *info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    request.from_loopback = info != nullptr && is_loopback(info->client_addr);
    request.body = std::move(ex->body);

    ex->answered = true;
    const http_responder responder = [ex, connection](http_response response) {
        std::lock_guard<std::mutex> guard(ex->lock);
        ex->response = std::move(response);
        ex->ready = true;
        if (ex->suspended) {
            ex->suspended = false;
            MHD_resume_connection(connection);
        }
    };
    std::optional<http_response> now;
    try {
        now = st.handler(request, responder);
    } catch (const std::exception &e) {
        now = http_response{500, "application/json", "{\"error\":\"Internal error\"}\n", {}};
    }
    if (now) return queue(connection, *now);
    std::lock_guard<std::mutex> guard(ex->lock);
    if (ex->ready) {
        // Answered before the handler returned.
        ex->ready = false;
        return queue(connection, ex->response);
    }
    ex->suspended = true;
    MHD_suspend_connection(connection);
    return MHD_YES;
}

void on_completed(void *, MHD_Connection *, void **request_context, MHD_RequestTerminationCode) {
    delete static_cast<exchange *>(*request_context);
    *request_context = nullptr;
}

}  // namespace

http_server::http_server() = default;

http_server::~http_server() {
    stop();
}

bool http_server::start(const sockaddr *address, socklen_t, const http_limits &limits, http_handler handler,
                        std::string &error) {
    state_ = std::make_unique<state>();
    state_->limits = limits;
    state_->handler = std::move(handler);
    unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ITC;
    if (address->sa_family == AF_INET6) flags |= MHD_USE_IPv6;
    daemon_ = MHD_start_daemon(
        flags, 0, nullptr, nullptr, &on_request, state_.get(),
        MHD_OPTION_SOCK_ADDR, address,
        MHD_OPTION_THREAD_POOL_SIZE, limits.threads,
        MHD_OPTION_CONNECTION_LIMIT, limits.connections,
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, limits.connections_per_ip,
        MHD_OPTION_CONNECTION_TIMEOUT, limits.idle_timeout_s,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, limits.head_memory,
        MHD_OPTION_NOTIFY_COMPLETED, &on_completed, nullptr,
        // A client that closes early must not kill the process; the program
        // ignores SIGPIPE.
        MHD_OPTION_SIGPIPE_HANDLED_BY_APP, 1,
        MHD_OPTION_END);
    if (daemon_ == nullptr) {
        error = std::strerror(errno != 0 ? errno : EADDRNOTAVAIL);
        return false;
    }
    return true;
}

int http_server::port() const {
    if (daemon_ == nullptr) return 0;
    const MHD_DaemonInfo *info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT);
    return info != nullptr ? int(info->port) : 0;
}

void http_server::stop_accepting() {
    if (daemon_ == nullptr) return;
    const MHD_socket listener = MHD_quiesce_daemon(daemon_);
    if (listener != MHD_INVALID_SOCKET) close(listener);
}

void http_server::stop() {
    if (daemon_ == nullptr) return;
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
}

}  // namespace service

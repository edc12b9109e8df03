// The service's HTTP side on libmicrohttpd (Debian's libmicrohttpd-dev).
//
// Why that library: it is a C library made to be embedded in exactly this
// kind of program and hardened against hostile clients over many years; it
// parses requests strictly and answers malformed ones itself; it has the
// limits a service on a network needs as plain options (connections in all,
// connections per client address, an idle timeout that ends slow or silent
// clients, memory per connection, which bounds the request head); its
// threads are a small fixed pool, each polling its share of the
// connections, so idle connections cost no thread each; and a request that
// must wait (a check) is suspended and resumed without holding a thread.
// The pool polls with poll(2), not epoll: in Debian 12's version (0.9.75) the
// epoll mode now and then missed a client's close after its request, and
// the connection stayed open until the idle timeout.
#ifndef VANTOREL_UPTIME_SERVICE_HTTP_SERVER_H
#define VANTOREL_UPTIME_SERVICE_HTTP_SERVER_H

#include <sys/socket.h>

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

struct MHD_Daemon;

namespace service {

struct http_request {
    std::string method;  // HEAD is answered as GET, without the body
    std::string path;
    std::map<std::string, std::string> query;
    std::string body;
    std::string authorization;  // the Authorization header, "" when absent
    std::string host;           // the Host header
    bool from_loopback = false;  // the client's address is 127.0.0.0/8 or ::1
};

struct http_response {
    int status = 200;
    std::string content_type = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

// Gives a response that was not ready when the handler returned; called
// once, from any thread.
using http_responder = std::function<void(http_response)>;

// The application: a response now, or nothing and the responder later.
using http_handler = std::function<std::optional<http_response>(const http_request &, const http_responder &)>;

struct http_limits {
    unsigned threads = 4;               // polling threads
    unsigned connections = 512;         // open at once, in all
    unsigned connections_per_ip = 128;  // open at once from one client address
    unsigned idle_timeout_s = 10;       // a connection that sends nothing for this long is closed
    std::size_t head_memory = 32 * 1024;  // per connection: the request head must fit
    std::size_t max_body = 64 * 1024;     // a longer body is answered 413 and not read
};

class http_server {
public:
    http_server();
    http_server(const http_server &) = delete;
    http_server &operator=(const http_server &) = delete;
    ~http_server();

    // Listens on `address`; on failure `error` says why.
    bool start(const sockaddr *address, socklen_t length, const http_limits &limits, http_handler handler,
               std::string &error);
    // The port it listens on (the one the system chose for port 0).
    int port() const;
    // New connections are refused from now on; open ones are served.
    void stop_accepting();
    // Closes everything. Every deferred response must have been given.
    void stop();

    // For the libmicrohttpd callbacks.
    struct state;

private:
    MHD_Daemon *daemon_ = nullptr;
    std::unique_ptr<state> state_;
};

}  // namespace service

#endif

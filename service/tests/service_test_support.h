// Helpers for the tests of `vantorel-uptime serve`: the built program
// serving a store of its own on a free loopback port, and HTTP spoken over a
// plain socket, so that a test can send exactly the bytes it means,
// malformed ones included. POSIX only; loopback only.
#ifndef VANTOREL_UPTIME_SERVICE_TEST_SUPPORT_H
#define VANTOREL_UPTIME_SERVICE_TEST_SUPPORT_H

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cli_test_support.h"

namespace service_test {

// The first response a connection carried; status 0 when none came.
struct http_reply {
    int status = 0;
    std::map<std::string, std::string> headers;  // names in lower case
    std::string body;
    std::string raw;  // every byte the server sent before it closed
};

// Connects to 127.0.0.1:port, sends `bytes`, and reads until the server
// closes (or 20 s pass). With half_close the sending side is shut down
// after the bytes: the client has nothing more to say.
http_reply send_raw(int port, const std::string &bytes, bool half_close = false);

// One well-formed request with Connection: close; the token, when given,
// as Authorization: Bearer.
http_reply request(int port, const std::string &method, const std::string &path, const std::string &body = "",
                   const std::string &token = "", const std::vector<std::string> &extra_headers = {});

// A JSON text's string member; "" when it has none.
std::string json_string(const std::string &json, const char *member);

// `vantorel-uptime --dir DIR serve --listen 127.0.0.1:0 ...` in the
// background, on a store in a temporary directory.
class served_store {
public:
    served_store();
    ~served_store();
    served_store(const served_store &) = delete;
    served_store &operator=(const served_store &) = delete;

    const std::string &dir() const { return dir_; }
    // Starts serve and waits until it answers; false (with its log in
    // `why`) when it did not. file_limit_kib > 0: files it writes are
    // limited to that size (RLIMIT_FSIZE), so saves fail even for root.
    bool start(const std::vector<std::string> &options, std::string &why, int file_limit_kib = 0);
    int port() const { return port_; }
    std::string token() const;
    std::string log() const;
    void send(int signal_number);
    // Exit status after the signal; -1 when it did not end within 30 s.
    int stop(int signal_number);

private:
    cli_test::temp_dir scratch_;
    std::string dir_;
    std::unique_ptr<cli_test::background_cli> process_;
    int port_ = 0;
    bool stopped_ = false;  // waited for: its process id is no longer ours
};

}  // namespace service_test

#endif

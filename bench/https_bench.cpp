// The cost of an HTTPS check next to an independent measurement of the same
// work: a TCP connection, a TLS handshake, one GET and its response head, to
// a server in this process on 127.0.0.1. The engine's reported latency
// ("engine_ms") should stay within about a millisecond of the independent
// client's ("independent_ms"); a trust store loaded per check would add tens
// of milliseconds. Plain HTTP is measured the same way for comparison.
//
//   build/bench/engine_bench --benchmark_filter='Https|PlainHttp'
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "vantorel-uptime-engine.h"

namespace {

namespace fs = std::filesystem;

constexpr char kResponse[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";

// Reads until the end of a request or response head; false on a close first.
template <typename Read>
bool read_head(Read read) {
    std::string seen;
    char buffer[4096];
    while (seen.find("\r\n\r\n") == std::string::npos) {
        const int n = read(buffer, static_cast<int>(sizeof buffer));
        if (n <= 0) return false;
        seen.append(buffer, static_cast<size_t>(n));
    }
    return true;
}

// One connection at a time, TLS or plain: read the request head, answer 200,
// close.
class loopback_server {
public:
    explicit loopback_server(bool tls) : tls_(tls) {
        listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        ::bind(listener_, reinterpret_cast<sockaddr *>(&address), length);
        ::listen(listener_, 16);
        ::getsockname(listener_, reinterpret_cast<sockaddr *>(&address), &length);
        port_ = ntohs(address.sin_port);
        if (tls_) make_context();
        thread_ = std::thread([this] { serve(); });
    }
    ~loopback_server() {
        stopping_ = true;
        ::shutdown(listener_, SHUT_RDWR);
        ::close(listener_);
        thread_.join();
        SSL_CTX_free(context_);
    }
    int port() const { return port_; }

private:
    void make_context() {
        EVP_PKEY *key = EVP_EC_gen("P-256");
        X509 *cert = X509_new();
        ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), 3600 * 24);
        X509_set_pubkey(cert, key);
        X509_NAME *name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char *>("localhost"), -1,
                                   -1, 0);
        X509_set_issuer_name(cert, name);
        X509_sign(cert, key, EVP_sha256());
        context_ = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate(context_, cert);
        SSL_CTX_use_PrivateKey(context_, key);
        X509_free(cert);
        EVP_PKEY_free(key);
    }
    void serve() {
        while (!stopping_) {
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0) continue;
            if (tls_) {
                SSL *ssl = SSL_new(context_);
                SSL_set_fd(ssl, fd);
                if (SSL_accept(ssl) == 1 && read_head([&](char *b, int n) { return SSL_read(ssl, b, n); })) {
                    SSL_write(ssl, kResponse, static_cast<int>(sizeof kResponse - 1));
                }
                SSL_free(ssl);
            } else if (read_head([&](char *b, int n) { return static_cast<int>(::recv(fd, b, static_cast<size_t>(n), 0)); })) {
                ::send(fd, kResponse, sizeof kResponse - 1, MSG_NOSIGNAL);
            }
            ::close(fd);
        }
    }
    bool tls_;
    int listener_ = -1;
    int port_ = 0;
    SSL_CTX *context_ = nullptr;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// The independent client: connect, handshake, send a GET, read the head;
// milliseconds from before the connect to the end of the head.
double independent_exchange(int port, bool tls, SSL_CTX *context) {
    const auto start = std::chrono::steady_clock::now();
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1.0;
    }
    const std::string request = "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nUser-Agent: independent\r\n\r\n";
    bool ok;
    if (tls) {
        SSL *ssl = SSL_new(context);
        SSL_set_fd(ssl, fd);
        ok = SSL_connect(ssl) == 1 && SSL_write(ssl, request.data(), static_cast<int>(request.size())) > 0 &&
             read_head([&](char *b, int n) { return SSL_read(ssl, b, n); });
        SSL_free(ssl);
    } else {
        ok = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) > 0 &&
             read_head([&](char *b, int n) { return static_cast<int>(::recv(fd, b, static_cast<size_t>(n), 0)); });
    }
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    ::close(fd);
    return ok ? ms : -1.0;
}

struct engine_with_monitor {
    fs::path dir;
    char id[UPTIME_ID_BUFFER_SIZE] = {};
    engine_with_monitor(const char *tag, const std::string &url) {
        dir = fs::temp_directory_path() / ("vue-bench-" + std::string(tag) + "-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        uptime_set_webhook_url(nullptr);
        uptime_engine_init(dir.string().c_str());
        uptime_monitor_add("bench", UPTIME_MONITOR_HTTP, url.c_str(), 60, id);
    }
    ~engine_with_monitor() {
        uptime_engine_cleanup();
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

void run_engine(benchmark::State &state, bool tls) {
    loopback_server server(tls);
    const std::string url = std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(server.port()) + "/";
    engine_with_monitor engine(tls ? "https" : "http", url);
    double total = 0;
    int up_count = 0;
    for (auto _ : state) {
        int up = 0;
        double latency = 0;
        uptime_check_now(engine.id, &up, &latency);
        total += latency;
        up_count += up;
    }
    state.counters["engine_ms"] = benchmark::Counter(total, benchmark::Counter::kAvgIterations);
    state.counters["up"] = benchmark::Counter(up_count, benchmark::Counter::kAvgIterations);
}

void run_independent(benchmark::State &state, bool tls) {
    loopback_server server(tls);
    SSL_CTX *context = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
    double total = 0;
    int failures = 0;
    for (auto _ : state) {
        const double ms = independent_exchange(server.port(), tls, context);
        if (ms < 0) ++failures;
        total += ms < 0 ? 0 : ms;
    }
    SSL_CTX_free(context);
    state.counters["independent_ms"] = benchmark::Counter(total, benchmark::Counter::kAvgIterations);
    state.counters["failures"] = failures;
}

void BM_HttpsCheckLoopback(benchmark::State &state) { run_engine(state, true); }
void BM_HttpsIndependentLoopback(benchmark::State &state) { run_independent(state, true); }
void BM_PlainHttpCheckLoopback(benchmark::State &state) { run_engine(state, false); }
void BM_PlainHttpIndependentLoopback(benchmark::State &state) { run_independent(state, false); }
BENCHMARK(BM_HttpsCheckLoopback)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_HttpsIndependentLoopback)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainHttpCheckLoopback)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PlainHttpIndependentLoopback)->Unit(benchmark::kMillisecond);

}  // namespace

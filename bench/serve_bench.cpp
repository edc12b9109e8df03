// The service under load: `vantorel-uptime serve` with 128 monitors being
// checked (loopback targets, short intervals) while 64 clients, each on a
// keep-alive connection of its own, ask for /metrics and then for the status
// page, a bounded number of requests each. Prints requests per second and
// the latency percentiles per path.
//
//   serve_bench [--monitors N] [--clients N] [--requests N] [--interval S] [--cli PATH]
//
// --requests is per client and path (default 50: 3200 requests a path).
// Half the monitors point at a port this program listens on (up), half at a
// closed one (down), so the page and the metrics carry both. Fails (status 1)
// when a request gets anything but a whole 200 response.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using steady = std::chrono::steady_clock;

struct options {
    int monitors = 128;
    int clients = 64;
    int requests = 50;
    int interval = 2;
    std::string cli = VUE_CLI_PATH;
};

[[noreturn]] void die(const std::string &message) {
    std::fprintf(stderr, "serve_bench: %s\n", message.c_str());
    std::exit(1);
}

// A loopback port that accepts every connection and closes it at once: the
// up monitors' target.
class accepting_port {
public:
    accepting_port() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || ::listen(fd_, 1024) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &length) != 0) {
            die(std::string("cannot listen on loopback: ") + std::strerror(errno));
        }
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] {
            for (;;) {
                const int c = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (c < 0) {
                    if (errno == EINTR || errno == ECONNABORTED) continue;
                    return;
                }
                ::close(c);
            }
        });
    }
    ~accepting_port() {
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
    }
    int port() const { return port_; }

private:
    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
};

// A port nothing listens on: bound once to learn a free number, then closed.
int closed_port() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length);
    ::close(fd);
    return ntohs(a.sin_port);
}

int run_quietly(const std::vector<std::string> &args) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::vector<char *> argv;
        for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        if (std::freopen("/dev/null", "w", stdout) == nullptr) _exit(127);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

// One client's connection: HTTP/1.1 requests one after another on it.
class client {
public:
    explicit client(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(std::uint16_t(port));
        const int one = 1;
        ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ok_ = fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    }
    ~client() {
        if (fd_ >= 0) ::close(fd_);
    }
    // Whether a whole 200 response came back; its body's size in *bytes.
    bool get(const std::string &path, std::size_t *bytes) {
        if (!ok_) return false;
        const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: serve_bench\r\n\r\n";
        if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) != ssize_t(request.size())) return false;
        std::size_t head_end;
        while ((head_end = buffer_.find("\r\n\r\n")) == std::string::npos) {
            if (!fill()) return false;
        }
        const std::string head = buffer_.substr(0, head_end);
        std::string lower(head);
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return char(std::tolower(c)); });
        const std::size_t at = lower.find("\r\ncontent-length:");
        if (head.compare(0, 12, "HTTP/1.1 200") != 0 || at == std::string::npos) return false;
        const std::size_t length = std::strtoul(head.c_str() + at + 17, nullptr, 10);
        while (buffer_.size() < head_end + 4 + length) {
            if (!fill()) return false;
        }
        buffer_.erase(0, head_end + 4 + length);
        *bytes = length;
        return true;
    }

private:
    bool fill() {
        char chunk[65536];
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        buffer_.append(chunk, std::size_t(n));
        return true;
    }

    int fd_ = -1;
    bool ok_ = false;
    std::string buffer_;
};

// One scrape of /metrics, on a connection of its own ("" when it fails).
std::string scrape(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(std::uint16_t(port));
    std::string all;
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
        const std::string request = "GET /metrics HTTP/1.0\r\n\r\n";
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
            char chunk[65536];
            ssize_t n;
            while ((n = ::recv(fd, chunk, sizeof chunk, 0)) > 0) all.append(chunk, std::size_t(n));
        }
    }
    if (fd >= 0) ::close(fd);
    return all;
}

// Monitors with a vantorel_uptime_monitor_up sample: checked at least once.
int monitors_with_a_result(const std::string &metrics) {
    int count = 0;
    for (std::size_t at = 0; (at = metrics.find("\nvantorel_uptime_monitor_up{", at)) != std::string::npos; ++at) ++count;
    return count;
}

// Checks the service made since it started: the sum of
// vantorel_uptime_checks_total.
double checks_made(const std::string &metrics) {
    double sum = 0;
    const std::string family = "\nvantorel_uptime_checks_total{";
    for (std::size_t at = 0; (at = metrics.find(family, at)) != std::string::npos; ++at) {
        const std::size_t end = metrics.find('\n', at + 1);
        const std::size_t space = metrics.rfind(' ', end);
        sum += std::strtod(metrics.c_str() + space + 1, nullptr);
    }
    return sum;
}

struct round_result {
    double seconds = 0;
    std::vector<double> latencies_ms;
    std::size_t failures = 0;
    std::size_t bytes = 0;
};

round_result load(int port, const std::string &path, const options &o) {
    std::vector<std::vector<double>> per_client(std::size_t(o.clients));
    std::atomic<std::size_t> failures{0}, bytes{0};
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int c = 0; c < o.clients; ++c) {
        threads.emplace_back([&, c] {
            client connection(port);
            std::vector<double> &mine = per_client[std::size_t(c)];
            mine.reserve(std::size_t(o.requests));
            ++ready;
            while (!go.load()) std::this_thread::yield();
            for (int r = 0; r < o.requests; ++r) {
                std::size_t size = 0;
                const steady::time_point began = steady::now();
                if (!connection.get(path, &size)) {
                    failures += std::size_t(o.requests - r);
                    return;
                }
                mine.push_back(std::chrono::duration<double, std::milli>(steady::now() - began).count());
                bytes += size;
            }
        });
    }
    while (ready.load() < o.clients) std::this_thread::yield();
    const steady::time_point began = steady::now();
    go = true;
    for (std::thread &t : threads) t.join();
    round_result result;
    result.seconds = std::chrono::duration<double>(steady::now() - began).count();
    for (const std::vector<double> &l : per_client) result.latencies_ms.insert(result.latencies_ms.end(), l.begin(), l.end());
    result.failures = failures;
    result.bytes = bytes;
    return result;
}

double percentile(std::vector<double> sorted, double p) {
    if (sorted.empty()) return 0;
    const std::size_t at = std::min(sorted.size() - 1, std::size_t(p / 100.0 * double(sorted.size())));
    return sorted[at];
}

int int_option(const char *name, const char *text) {
    char *end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || value < 1 || value > 100000) die(std::string(name) + " wants a number from 1");
    return int(value);
}

}  // namespace

int main(int argc, char **argv) {
    options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) die("usage: serve_bench [--monitors N] [--clients N] [--requests N] [--interval S] [--cli PATH]");
        const char *value = argv[++i];
        if (arg == "--monitors") o.monitors = int_option("--monitors", value);
        else if (arg == "--clients") o.clients = int_option("--clients", value);
        else if (arg == "--requests") o.requests = int_option("--requests", value);
        else if (arg == "--interval") o.interval = int_option("--interval", value);
        else if (arg == "--cli") o.cli = value;
        else die("unknown option " + arg);
    }
    ::signal(SIGPIPE, SIG_IGN);

    char pattern[] = "/tmp/vue-serve-bench-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) die("no temporary directory");
    const std::string store = std::string(pattern) + "/store";
    accepting_port up_target;
    const int down_port = closed_port();
    for (int m = 0; m < o.monitors; ++m) {
        const bool up = m % 2 == 0;
        const std::string target = "127.0.0.1:" + std::to_string(up ? up_target.port() : down_port);
        if (run_quietly({o.cli, "--dir", store, "--color", "never", "add", "monitor " + std::to_string(m), "tcp", target,
                         "--interval", std::to_string(o.interval)}) != 0) {
            die("cannot add monitors with " + o.cli);
        }
    }

    const std::string log = std::string(pattern) + "/serve.log";
    const pid_t serve = ::fork();
    if (serve == 0) {
        if (std::freopen(log.c_str(), "w", stderr) == nullptr) _exit(127);
        ::execl(o.cli.c_str(), o.cli.c_str(), "--dir", store.c_str(), "serve", "--listen", "127.0.0.1:0", nullptr);
        _exit(127);
    }
    // The port serve took, from the file it writes in the store.
    int port = 0;
    for (int tries = 0; tries < 300 && port == 0; ++tries) {
        std::ifstream file(store + "/service.json");
        std::stringstream text;
        text << file.rdbuf();
        const std::string json = text.str();
        const std::size_t at = json.find("\"url\":\"http://127.0.0.1:");
        if (at != std::string::npos) port = std::atoi(json.c_str() + at + 24);
        if (port == 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (port == 0) die("serve did not start; see " + log);

    // Every monitor checked once (the first checks are spread over up to
    // 15 s) before the clients come.
    const steady::time_point waiting = steady::now();
    for (;;) {
        const int checked = monitors_with_a_result(scrape(port));
        if (checked >= o.monitors) break;
        if (steady::now() - waiting > std::chrono::seconds(60)) die("monitors not all checked after 60 s; see " + log);
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
    }

    std::printf("serve_bench: %d monitors (TCP on loopback, every %d s), %d clients x %d requests per path, "
                "keep-alive; %u CPUs\n",
                o.monitors, o.interval, o.clients, o.requests, std::thread::hardware_concurrency());
    std::printf("%-10s %9s %10s %9s %9s %9s %9s %9s\n", "path", "requests", "req/s", "p50 ms", "p90 ms", "p99 ms",
                "max ms", "KiB/resp");
    bool failed = false;
    const double checks_before = checks_made(scrape(port));
    const steady::time_point load_began = steady::now();
    for (const std::string path : {"/metrics", "/"}) {
        round_result r = load(port, path, o);
        std::sort(r.latencies_ms.begin(), r.latencies_ms.end());
        const double done = double(r.latencies_ms.size());
        std::printf("%-10s %9zu %10.0f %9.2f %9.2f %9.2f %9.2f %9.1f\n", path.c_str(), r.latencies_ms.size(),
                    done / r.seconds, percentile(r.latencies_ms, 50), percentile(r.latencies_ms, 90),
                    percentile(r.latencies_ms, 99), r.latencies_ms.empty() ? 0.0 : r.latencies_ms.back(),
                    done > 0 ? double(r.bytes) / done / 1024.0 : 0.0);
        if (r.failures > 0) {
            std::printf("%-10s %zu requests failed\n", path.c_str(), r.failures);
            failed = true;
        }
    }
    // Whether the checks kept their schedule while the clients were served.
    const double load_seconds = std::chrono::duration<double>(steady::now() - load_began).count();
    const double checks = checks_made(scrape(port)) - checks_before;
    std::printf("checks during the load: %.0f in %.1f s, %.1f per s (the schedule asks %.1f per s)\n", checks,
                load_seconds, checks / load_seconds, double(o.monitors) / o.interval);
    std::fflush(stdout);

    ::kill(serve, SIGTERM);
    int status = 0;
    ::waitpid(serve, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::printf("serve did not stop cleanly (status %d); see %s\n", status, log.c_str());
        return 1;
    }
    std::filesystem::remove_all(pattern);
    return failed ? 1 : 0;
}

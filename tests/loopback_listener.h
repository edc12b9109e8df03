// A TCP listener on 127.0.0.1 for TCP checks that must find their target up,
// and a port on 127.0.0.1 that refuses every connection. POSIX only: used by
// the programs that are built on POSIX hosts alone.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <thread>

namespace vue::test {

class loopback_listener {
public:
    loopback_listener() {
        listen_fd_ = bound_socket(listen_port_);
        // Every connection is accepted and closed at once, so the backlog never
        // fills and a check never waits for its connect timeout.
        if (::listen(listen_fd_, 128) != 0) throw std::runtime_error("listen on 127.0.0.1 failed");
        // Bound but never listening: a connect is refused at once, and no
        // other program can take the port while the test runs.
        refuse_fd_ = bound_socket(refusing_port_);
        acceptor_ = std::thread([this] {
            while (!stop_.load()) {
                pollfd p{listen_fd_, POLLIN, 0};
                if (::poll(&p, 1, 50) <= 0) continue;
                const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    ::close(fd);
                    accepted_.fetch_add(1);
                }
            }
        });
    }
    ~loopback_listener() {
        stop_.store(true);
        acceptor_.join();
        ::close(listen_fd_);
        ::close(refuse_fd_);
    }
    loopback_listener(const loopback_listener &) = delete;
    loopback_listener &operator=(const loopback_listener &) = delete;

    int port() const { return listen_port_; }
    int refusing_port() const { return refusing_port_; }
    long accepted() const { return accepted_.load(); }

private:
    static int bound_socket(int &port) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) throw std::runtime_error("no socket");
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        socklen_t size = sizeof address;
        if (::bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) != 0) {
            ::close(fd);
            throw std::runtime_error("bind to 127.0.0.1 failed");
        }
        port = ntohs(address.sin_port);
        return fd;
    }

    int listen_fd_ = -1;
    int refuse_fd_ = -1;
    int listen_port_ = 0;
    int refusing_port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<long> accepted_{0};
    std::thread acceptor_;
};

}  // namespace vue::test

#include "service_test_support.h"

#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <filesystem>
#include <stdexcept>
#include <utility>

#include <rapidjson/document.h>

namespace service_test {

using cli_test::read_file;
using cli_test::wait_until;

namespace {

int connect_loopback(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) throw std::runtime_error("no socket");
    // Nothing here may hang a test: every read gives up after 20 s.
    timeval limit{20, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(std::uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string lower(std::string text) {
    for (char &c : text) c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

http_reply parse_first_reply(const std::string &raw) {
    http_reply reply;
    reply.raw = raw;
    if (raw.rfind("HTTP/1.", 0) != 0 || raw.size() < 12) return reply;
    reply.status = std::atoi(raw.substr(9, 3).c_str());
    const std::size_t head_end = raw.find("\r\n\r\n");
    if (head_end == std::string::npos) return reply;
    std::size_t line = raw.find("\r\n") + 2;
    while (line < head_end) {
        const std::size_t end = raw.find("\r\n", line);
        const std::string header = raw.substr(line, end - line);
        const std::size_t colon = header.find(':');
        if (colon != std::string::npos) {
            std::string value = header.substr(colon + 1);
            while (!value.empty() && value.front() == ' ') value.erase(0, 1);
            reply.headers[lower(header.substr(0, colon))] = value;
        }
        line = end + 2;
    }
    std::string body = raw.substr(head_end + 4);
    if (const auto it = reply.headers.find("content-length"); it != reply.headers.end()) {
        const std::size_t length = std::stoul(it->second);
        if (body.size() > length) body.resize(length);
    }
    reply.body = body;
    return reply;
}

}  // namespace

http_reply send_raw(int port, const std::string &bytes, bool half_close) {
    const int fd = connect_loopback(port);
    if (fd < 0) return {};
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;  // the server may close on what it has seen so far
        sent += std::size_t(n);
    }
    if (half_close) ::shutdown(fd, SHUT_WR);
    std::string raw;
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        raw.append(buffer, std::size_t(n));
    }
    ::close(fd);
    return parse_first_reply(raw);
}

http_reply request(int port, const std::string &method, const std::string &path, const std::string &body,
                   const std::string &token, const std::vector<std::string> &extra_headers) {
    std::string text = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                       "\r\nConnection: close\r\n";
    if (!token.empty()) text += "Authorization: Bearer " + token + "\r\n";
    for (const std::string &h : extra_headers) text += h + "\r\n";
    if (!body.empty() || method == "POST" || method == "PUT") {
        text += "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
    }
    return send_raw(port, text + "\r\n" + body);
}

std::string json_string(const std::string &json, const char *member) {
    rapidjson::Document doc;
    doc.Parse(json.c_str());
    if (doc.HasParseError() || !doc.IsObject()) return {};
    const auto it = std::as_const(doc).FindMember(member);
    return it != std::as_const(doc).MemberEnd() && it->value.IsString() ? it->value.GetString() : std::string();
}

served_store::served_store() : dir_(scratch_.path() + "/store") {}

served_store::~served_store() {
    if (process_ && !stopped_) {
        process_->send(SIGKILL);
        process_->wait(std::chrono::seconds(10));
    }
}

bool served_store::start(const std::vector<std::string> &options, std::string &why, int file_limit_kib) {
    std::vector<std::string> args = {"--dir", dir_, "serve", "--listen", "127.0.0.1:0"};
    args.insert(args.end(), options.begin(), options.end());
    // The limit is inherited by the program started here, and so is the
    // ignored SIGXFSZ: a write past it fails with EFBIG, as on a full disk.
    rlimit before{};
    if (file_limit_kib > 0) {
        ::getrlimit(RLIMIT_FSIZE, &before);
        rlimit limited = before;
        limited.rlim_cur = rlim_t(file_limit_kib) * 1024;
        ::signal(SIGXFSZ, SIG_IGN);
        ::setrlimit(RLIMIT_FSIZE, &limited);
    }
    process_ = std::make_unique<cli_test::background_cli>(args, scratch_.path());
    stopped_ = false;
    if (file_limit_kib > 0) ::setrlimit(RLIMIT_FSIZE, &before);

    const std::string service_file = dir_ + "/service.json";
    std::string url;
    const bool listening = wait_until(
        [&] {
            url = json_string(read_file(service_file), "url");
            return !url.empty();
        },
        std::chrono::seconds(20));
    if (!listening) {
        why = "serve did not write service.json; its log:\n" + log();
        return false;
    }
    port_ = std::stoi(url.substr(url.rfind(':') + 1));
    if (request(port_, "GET", "/healthz").status != 200) {
        why = "serve does not answer /healthz at " + url + "; its log:\n" + log();
        return false;
    }
    return true;
}

std::string served_store::token() const {
    std::string text = read_file(dir_ + "/service.token");
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

std::string served_store::log() const {
    return process_ ? process_->err() : std::string();
}

void served_store::send(int signal_number) {
    if (process_) process_->send(signal_number);
}

int served_store::stop(int signal_number) {
    if (!process_ || stopped_) return -1;
    process_->send(signal_number);
    stopped_ = true;
    return process_->wait(std::chrono::seconds(30));
}

}  // namespace service_test

#include "net_support.h"

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include <rapidjson/document.h>

namespace vue::test {
namespace {

struct server_entry {
    int port = 0;
    std::string log;
    std::streamoff mark = 0;
};

std::map<std::string, server_entry> &servers() {
    static std::map<std::string, server_entry> table = [] {
        std::map<std::string, server_entry> t;
        const char *file = std::getenv("VUE_TEST_SERVERS");
        if (file == nullptr) return t;
        std::ifstream in(file);
        std::string name, log;
        int port;
        while (in >> name >> port >> log) t[name] = server_entry{port, log, 0};
        return t;
    }();
    return table;
}

std::string json_text(const rapidjson::Value &object, const char *key) {
    auto it = object.FindMember(key);
    if (it == object.MemberEnd() || !it->value.IsString()) return "";
    return std::string(it->value.GetString(), it->value.GetStringLength());
}

}  // namespace

std::string logged_request::header(const std::string &name) const {
    for (const auto &[k, v] : headers)
        if (k == name) return v;
    return "";
}

bool logged_request::has_header(const std::string &name) const {
    for (const auto &[k, v] : headers)
        if (k == name) return true;
    return false;
}

int loopback_servers::port(const std::string &name) {
    auto it = servers().find(name);
    return it == servers().end() ? 0 : it->second.port;
}

std::string loopback_servers::url(const std::string &name, const std::string &path) {
    const std::string p = std::to_string(port(name));
    if (name == "http6") return "http://[::1]:" + p + path;
    if (name.rfind("https_", 0) == 0 || name == "nginx_tls") return "https://127.0.0.1:" + p + path;
    return "http://127.0.0.1:" + p + path;
}

void loopback_servers::mark(const std::string &name) {
    server_entry &s = servers()[name];
    std::ifstream in(s.log, std::ios::binary | std::ios::ate);
    s.mark = in ? static_cast<std::streamoff>(in.tellg()) : 0;
}

std::vector<logged_request> loopback_servers::since_mark(const std::string &name) {
    std::vector<logged_request> out;
    const server_entry &s = servers()[name];
    std::ifstream in(s.log, std::ios::binary);
    if (!in) return out;
    in.seekg(s.mark);
    std::string line;
    while (std::getline(in, line)) {
        rapidjson::Document doc;
        if (doc.Parse(line.c_str()).HasParseError() || !doc.IsObject()) continue;
        logged_request r;
        r.method = json_text(doc, "method");
        r.target = json_text(doc, "target");
        r.path = json_text(doc, "path");
        r.body = json_text(doc, "body");
        const rapidjson::Value &root = doc;
        const auto headers = root.FindMember("headers");
        if (headers != root.MemberEnd() && headers->value.IsObject()) {
            for (auto m = headers->value.MemberBegin(); m != headers->value.MemberEnd(); ++m) {
                r.headers.emplace_back(m->name.GetString(), m->value.IsString() ? m->value.GetString() : "");
            }
        }
        out.push_back(std::move(r));
    }
    return out;
}

bool loopback_servers::available() { return !servers().empty(); }

bool loopback_servers::private_network() { return std::getenv("VUE_PRIVATE_NETNS") != nullptr; }

bool loopback_servers::test_hosts() { return std::getenv("VUE_TEST_HOSTS") != nullptr; }

bool loopback_servers::no_trust_store() { return std::getenv("VUE_NO_TRUST_STORE") != nullptr; }

network_test::outcome network_test::check_target(int type, const std::string &target) {
    return check(add("probe", type, target));
}

network_test::outcome network_test::check(const std::string &id) {
    outcome o;
    EXPECT_EQ(uptime_check_now(id.c_str(), &o.up, &o.latency_ms), 0) << uptime_last_error();
    return o;
}

}  // namespace vue::test

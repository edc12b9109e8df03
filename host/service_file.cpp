#include "service_file.h"

#include <fstream>
#include <sstream>

#include <rapidjson/document.h>

#include "json_input.h"
#include "json_output.h"

namespace host {

namespace {

std::optional<std::string> read_whole(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

std::string service_file_path(const std::string &dir) {
    return dir + "/service.json";
}

std::string service_token_path(const std::string &dir) {
    return dir + "/service.token";
}

std::optional<service_info> read_service_file(const std::string &dir) {
    const std::optional<std::string> text = read_whole(service_file_path(dir));
    if (!text) return std::nullopt;
    rapidjson::Document doc;
    if (!parse_json(*text, doc) || !doc.IsObject()) return std::nullopt;
    const rapidjson::Value &root = doc;
    const auto pid = root.FindMember("pid");
    const auto url = root.FindMember("url");
    if (pid == root.MemberEnd() || !pid->value.IsInt64() || url == root.MemberEnd() || !url->value.IsString()) {
        return std::nullopt;
    }
    service_info info;
    info.pid = long(pid->value.GetInt64());
    info.url = url->value.GetString();
    if (info.url.rfind("http://", 0) != 0) return std::nullopt;
    return info;
}

std::optional<std::string> read_service_token(const std::string &dir) {
    std::optional<std::string> text = read_whole(service_token_path(dir));
    if (!text) return std::nullopt;
    while (!text->empty() && (text->back() == '\n' || text->back() == '\r')) text->pop_back();
    if (text->empty()) return std::nullopt;
    return text;
}

long read_lock_holder(const std::string &dir) {
    const std::optional<std::string> text = read_whole(dir + "/.lock");
    if (!text) return 0;
    try {
        return std::stol(*text);
    } catch (const std::exception &) {
        return 0;
    }
}

std::string service_file_text(long pid, const std::string &url) {
    return json_object().add("pid", std::int64_t(pid)).add("url", url).text() + "\n";
}

}  // namespace host

#include "store_client.h"

#include <chrono>
#include <cmath>
#include <utility>

#include <rapidjson/document.h>

#include "json_input.h"
#include "json_output.h"
#include "service_client.h"
#include "service_file.h"
#include "vantorel-uptime-engine.h"

namespace cli {

namespace {

std::string error_of(const http_result &r) {
    if (!r.reached) return r.error;
    rapidjson::Document doc;
    if (host::parse_json(r.body, doc) && doc.IsObject()) {
        const auto it = std::as_const(doc).FindMember("error");
        if (it != std::as_const(doc).MemberEnd() && it->value.IsString()) return it->value.GetString();
    }
    return "the service answered " + std::to_string(r.status);
}

// A body without its line end: the reports as the engine wrote them.
std::string report_text(std::string body) {
    while (!body.empty() && (body.back() == '\n' || body.back() == '\r')) body.pop_back();
    return body;
}

}  // namespace

bool store_client::open(const invocation &inv, store_use use) {
    dir_ = storage_dir(inv);
    bool served = false;
    if (engine_.start(inv, use, &served)) return true;
    if (!served) return false;
    service_ = serving_service(dir_);
    const std::optional<std::string> token = read_service_token(dir_);
    if (!service_ || !token) {
        command_error(inv.command, "the store '" + dir_ + "' is served by 'vantorel-uptime serve', but its token (" +
                                       service_token_path(dir_) + ") cannot be read");
        service_.reset();
        return false;
    }
    token_ = *token;
    return true;
}

std::string store_client::url(const std::string &path) const {
    return service_->url + path;
}

std::string store_client::list_json() {
    if (!served()) return list_report();
    const http_result r = service_request("GET", url("/api/v1/monitors"), token_, "");
    return r.reached && r.status == 200 ? report_text(r.body) : "[]";
}

std::vector<monitor_row> store_client::monitors() {
    if (!served()) return read_monitors();
    return parse_monitors(list_json().c_str());
}

std::string store_client::heartbeats_json(const std::string &id, int limit) {
    if (!served()) return heartbeats_report(id, limit);
    const http_result r =
        service_request("GET", url("/api/v1/monitors/" + id + "/heartbeats?limit=" + std::to_string(limit)), token_, "");
    return r.reached && r.status == 200 ? report_text(r.body) : "[]";
}

std::vector<heartbeat_row> store_client::heartbeats(const std::string &id, int limit) {
    return parse_heartbeats(heartbeats_json(id, limit).c_str());
}

std::optional<std::string> store_client::detail_json(const std::string &id, std::string &error) {
    if (!served()) return detail_report(id, &error);
    const http_result r = service_request("GET", url("/api/v1/monitors/" + id), token_, "");
    if (r.reached && r.status == 200) return report_text(r.body);
    error = error_of(r);
    return std::nullopt;
}

std::optional<detail_row> store_client::detail(const std::string &id) {
    std::string error;
    const std::optional<std::string> text = detail_json(id, error);
    return text ? parse_detail(text->c_str()) : std::nullopt;
}

namespace {

change_result answered(const http_result &r, int success) {
    change_result result;
    if (r.reached && r.status == success) {
        result.done = true;
        return result;
    }
    result.error = error_of(r);
    // Done, not saved: as when the engine here cannot save.
    result.save_failed = r.reached && r.status == 500;
    result.done = result.save_failed;
    return result;
}

}  // namespace

change_result store_client::add(const std::string &name, int type, const std::string &target, int interval_sec) {
    change_result result;
    if (!served()) {
        char id[UPTIME_ID_BUFFER_SIZE] = {};
        result.done = uptime_monitor_add(name.c_str(), type, target.c_str(), interval_sec, id) == 0;
        if (!result.done) result.error = uptime_last_error();
        result.id = id;
        return result;
    }
    const http_result r = service_request(
        "POST", url("/api/v1/monitors"), token_,
        json_object().add("name", name).add("type", type).add("target", target).add("interval_sec", interval_sec).text());
    result = answered(r, 201);
    rapidjson::Document doc;
    if (host::parse_json(r.body, doc) && doc.IsObject() && doc.HasMember("id") && doc["id"].IsString()) {
        result.id = doc["id"].GetString();
    }
    return result;
}

change_result store_client::remove(const std::string &id) {
    if (!served()) {
        change_result result;
        result.done = uptime_monitor_delete(id.c_str()) == 0;
        if (!result.done) result.error = uptime_last_error();
        return result;
    }
    return answered(service_request("DELETE", url("/api/v1/monitors/" + id), token_, ""), 204);
}

change_result store_client::record(const std::string &id, int status, double latency_ms, std::int64_t time) {
    if (!served()) {
        change_result result;
        result.done = uptime_heartbeat_record(id.c_str(), status, latency_ms, time) == 0;
        if (!result.done) result.error = uptime_last_error();
        return result;
    }
    // JSON has no NaN or infinity: refused here as the engine refuses
    // them; its other refusals (beyond single precision) come back from the
    // service with its text.
    if (!std::isfinite(latency_ms)) return change_result{false, "Invalid latency", false, {}};
    const std::string body = json_object().add("status", status).add("latency_ms", latency_ms).add("time", time).text();
    return answered(service_request("POST", url("/api/v1/monitors/" + id + "/heartbeats"), token_, body), 201);
}

change_result store_client::set_webhook(const std::string &address) {
    if (!served()) {
        change_result result;
        result.done = uptime_set_webhook_url(address.c_str()) == 0;
        if (!result.done) result.error = uptime_last_error();
        return result;
    }
    json_object body;
    if (address.empty()) {
        body.add_raw("url", "null");
    } else {
        body.add("url", address);
    }
    return answered(service_request("PUT", url("/api/v1/webhook"), token_, body.text()), 204);
}

check_outcome store_client::check(const std::string &id) {
    if (!served()) return engine_check(id);
    check_outcome outcome;
    outcome.id = id;
    const http_result r = service_request("POST", url("/api/v1/monitors/" + id + "/check"), token_, "");
    rapidjson::Document doc;
    const bool parsed = bool(host::parse_json(r.body, doc));
    if (!r.reached || r.status != 200 || !parsed || !doc.IsObject() || !doc.HasMember("up") ||
        !doc["up"].IsBool()) {
        outcome.result = -1;
        outcome.error = error_of(r);
        return outcome;
    }
    outcome.up = doc["up"].GetBool() ? 1 : 0;
    if (doc.HasMember("latency_ms") && doc["latency_ms"].IsNumber()) outcome.latency_ms = doc["latency_ms"].GetDouble();
    if (doc.HasMember("time") && doc["time"].IsInt64()) outcome.finished_at = doc["time"].GetInt64();
    return outcome;
}

check_pool::check_function store_client::checker() {
    return [this](const std::string &id) { return check(id); };
}

bool store_client::save(const invocation &inv) {
    return served() || engine_.save(inv);
}

void store_client::close() {
    engine_.stop();
}

}  // namespace cli

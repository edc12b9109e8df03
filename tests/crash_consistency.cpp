// Crash consistency. A worker process loops over add, record, check (TCP
// against a listener this program opens on 127.0.0.1), delete, save and the
// webhook setting on a storage directory on a disk file system, and is
// killed with SIGKILL at a random moment. It journals every call before it
// makes it and again once it has returned, in an append-only file; SIGKILL
// keeps the page cache, so whatever the worker had written is there. After
// every kill this program reads the files the worker left and a fresh
// process starts the engine on them, and both must show a state that the
// journal allows:
//   - every monitor whose add had returned is there unless its delete had
//     returned, in table order, with the fields it was added with, and no
//     other (an add or delete cut short may or may not have happened);
//   - every heartbeats.dat is 54712 bytes with its magic, capacity, head
//     0..4095 and count 0..4096, and is the whole image (ring and daily
//     counters) of the history as of one of the writes the journal allows:
//     the last returned call that writes the file, or the call cut short
//     (the bytes of ring slots beyond the count, which nothing reads, aside);
//   - monitors.json and config.json are strict JSON, config.json holds the
//     last webhook URL set (or the one being set);
//   - nothing is set aside as unreadable, before or after the next start:
//     the engine only ever writes files it can read.
// The checks judge what a start finds, not how the engine writes: other
// files named "heartbeats.dat.*" beside a heartbeat file are allowed as
// spares, need not be valid, must not change what a start loads, and must
// not pile up (at most two per monitor directory after a start).
//
//   crash_consistency [--kills N] [--seed S] [--dir DIR]
//   crash_consistency worker DIR JOURNAL PORT REFUSING_PORT SEED TAG   (started by the above)
//   crash_consistency view DIR OUT                                     (started by the above)
//
// VUE_CRASH_KILLS sets the number of kills, over --kills (default 200).
// POSIX only.
#include <fcntl.h>
#include <signal.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "loopback_listener.h"
#include "store/json_text.h"
#include "vantorel-uptime-engine.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kDatSize = 54712;
constexpr size_t kRingOffset = 24;
constexpr size_t kDailyOffset = 24 + 13 * 4096;
constexpr int kCapacity = 4096;
constexpr int kDays = 90;

[[noreturn]] void fail(const std::string &why) {
    std::fprintf(stderr, "crash_consistency: FAILED: %s\n", why.c_str());
    std::exit(1);
}

std::string read_all(const fs::path &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

uint64_t le(const std::string &b, size_t at, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(static_cast<unsigned char>(b[at + i])) << (8 * i);
    return v;
}

float as_float(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

uint32_t float_bits(double latency) {
    const auto f = static_cast<float>(latency);
    uint32_t bits;
    std::memcpy(&bits, &f, sizeof bits);
    return bits;
}

std::string hex_double(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%a", v);
    return text;
}

// --- the worker ------------------------------------------------------------------

class journal_writer {
public:
    explicit journal_writer(const char *path) {
        fd_ = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (fd_ < 0) std::exit(4);
    }
    // One write per line: a kill never leaves half a line behind a whole one.
    void line(const std::string &text) {
        const std::string l = text + "\n";
        if (::write(fd_, l.data(), l.size()) != static_cast<ssize_t>(l.size())) std::exit(4);
    }

private:
    int fd_;
};

std::vector<std::string> list_ids() {
    rapidjson::Document doc;
    if (!vue::json_parse_strict(uptime_monitors_list_json(), doc) || !doc.IsArray()) return {};
    std::vector<std::string> ids;
    for (const auto &m : doc.GetArray()) ids.emplace_back(m["id"].GetString());
    return ids;
}

int run_worker(char **argv) {
    const char *dir = argv[2];
    journal_writer journal(argv[3]);
    const int port = std::atoi(argv[4]);
    const int refusing = std::atoi(argv[5]);
    std::mt19937_64 rng(std::strtoull(argv[6], nullptr, 10));
    const std::string tag = argv[7];
    auto pick = [&rng](size_t n) { return static_cast<size_t>(rng() % n); };
    auto stop = [&journal](const std::string &why) {
        journal.line("X " + why + " (last error: " + uptime_last_error() + ")");
        std::exit(3);
    };

    if (uptime_engine_init(dir) != 0) stop("init failed");
    std::vector<std::string> ids = list_ids();
    journal.line("R");
    const char ready = 'R';
    if (::write(3, &ready, 1) != 1) std::exit(4);

    const int statuses[] = {0, 1, 1, 1, 257, 2};
    const double latencies[] = {0.0, 0.25, 1.5, 12.345678, 3.4e38, 1e-30, 5e-324, -0.0, 999.999};
    for (long seq = 0;; ++seq) {
        const int64_t now = static_cast<int64_t>(::time(nullptr));
        const int roll = static_cast<int>(pick(100));
        if (ids.size() < 3 || (roll < 5 && ids.size() < 24)) {
            const std::string name = "m" + tag + "-" + std::to_string(seq);
            const int type = pick(10) < 8 ? UPTIME_MONITOR_TCP_PORT : 7;  // 7: down without a probe
            const std::string target = "127.0.0.1:" + std::to_string(pick(5) == 0 ? refusing : port);
            const int interval = static_cast<int>(pick(300)) + 1;
            journal.line("B add " + name + " " + std::to_string(type) + " " + target + " " + std::to_string(interval));
            char id[UPTIME_ID_BUFFER_SIZE] = {};
            const int rc = uptime_monitor_add(name.c_str(), type, target.c_str(), interval, id);
            journal.line("E " + std::to_string(rc) + " " + id);
            if (rc != 0) stop("add failed");
            ids.emplace_back(id);
        } else if (roll < 7 && ids.size() > 3) {
            const size_t k = pick(ids.size());
            journal.line("B delete " + ids[k]);
            const int rc = uptime_monitor_delete(ids[k].c_str());
            journal.line("E " + std::to_string(rc));
            if (rc != 0) stop("delete failed");
            ids.erase(ids.begin() + static_cast<long>(k));
        } else if (roll < 40) {
            const std::string &id = ids[pick(ids.size())];
            const int status = statuses[pick(std::size(statuses))];
            const double latency = latencies[pick(std::size(latencies))];
            const int64_t when = now - static_cast<int64_t>(pick(5 * 86400));
            journal.line("B record " + id + " " + std::to_string(status) + " " + hex_double(latency) + " " +
                         std::to_string(when));
            const int rc = uptime_heartbeat_record(id.c_str(), status, latency, when);
            journal.line("E " + std::to_string(rc));
            if (rc != 0) stop("record failed");
        } else if (roll < 80) {
            const std::string &id = ids[pick(ids.size())];
            journal.line("B check " + id + " " + std::to_string(now));
            int up = -1;
            double latency = -1.0;
            const int rc = uptime_check_now(id.c_str(), &up, &latency);
            journal.line("E " + std::to_string(rc) + " " + std::to_string(up) + " " + hex_double(latency) + " " +
                         std::to_string(static_cast<int64_t>(::time(nullptr))));
            if (rc != 0) stop("check failed");
        } else if (roll < 86) {
            journal.line("B save");
            const int rc = uptime_save_state();
            journal.line("E " + std::to_string(rc));
            if (rc != 0) stop("save failed");
        } else if (roll < 88) {
            // A refusing port: a status change posts there and is refused at once.
            const std::string url =
                "http://127.0.0.1:" + std::to_string(refusing) + "/hook-" + tag + "-" + std::to_string(seq);
            journal.line("B webhook " + url);
            const int rc = uptime_set_webhook_url(url.c_str());
            journal.line("E " + std::to_string(rc));
            if (rc != 0) stop("webhook failed");
        } else if (roll < 92) {
            // A burst fills rings towards and past their 4096 slots, the
            // first monitor's most often.
            const std::string &id = ids[pick(4) == 0 ? pick(ids.size()) : 0];
            const int n = 500 + static_cast<int>(pick(1000));
            for (int i = 0; i < n; ++i) {
                const int status = statuses[pick(std::size(statuses))];
                const int64_t when = now - static_cast<int64_t>(pick(5 * 86400));
                journal.line("B record " + id + " " + std::to_string(status) + " " + hex_double(1.0 + i) + " " +
                             std::to_string(when));
                const int rc = uptime_heartbeat_record(id.c_str(), status, 1.0 + i, when);
                journal.line("E " + std::to_string(rc));
                if (rc != 0) stop("record failed");
            }
        } else {
            // Reports only read; they must keep working between writes.
            uptime_monitors_list_json();
            uptime_get_heartbeats_json(ids[pick(ids.size())].c_str(), 10);
        }
    }
}

// --- the fresh process that starts the engine on what the worker left --------------

int run_view(char **argv) {
    std::ofstream out(argv[3], std::ios::binary);
    const int rc = uptime_engine_init(argv[2]);
    out << "init " << rc << " " << uptime_last_error() << "\n";
    if (rc != 0) return 0;
    out << uptime_monitors_list_json() << "\n";
    for (const std::string &id : list_ids()) out << uptime_get_heartbeats_json(id.c_str(), 0) << "\n";
    out << "save " << uptime_save_state() << "\n";
    uptime_engine_cleanup();
    return 0;
}

// --- the model the journal allows --------------------------------------------------------

// One heartbeat as the journal knows it. A check's time is known only to
// lie between the times before and after the call; a check cut short is
// known only by its time bound.
struct beat {
    int64_t t_low = 0, t_high = 0;
    int status = 0;  // the whole value; -1: unknown (a check cut short: 0 or 1)
    double latency = 0.0;
    bool latency_known = true;
};

struct monitor_model {
    std::string id, name, target;
    int type = 0, interval = 0;
    std::vector<beat> history;  // every heartbeat the files hold, resolved
};

struct op {
    std::string kind;
    std::vector<std::string> args;
    bool returned = false;
    std::vector<std::string> result;
};

std::vector<std::string> words(const std::string &line) {
    std::istringstream in(line);
    std::vector<std::string> w;
    for (std::string s; in >> s;) w.push_back(s);
    return w;
}

std::vector<op> read_journal(const fs::path &path, bool &ready) {
    const std::string text = read_all(path);
    std::vector<op> ops;
    ready = false;
    // Only whole lines count: a kill may cut the last write short where it
    // crosses a page.
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = text.substr(start, end - start);
        if (line.empty()) continue;
        if (line[0] == 'X') fail("the worker stopped itself: " + line);
        if (line == "R") {
            ready = true;
            continue;
        }
        std::vector<std::string> w = words(line);
        if (w[0] == "B") {
            op o;
            o.kind = w[1];
            o.args.assign(w.begin() + 2, w.end());
            ops.push_back(o);
        } else if (w[0] == "E") {
            if (ops.empty() || ops.back().returned) fail("journal out of order: " + line);
            ops.back().returned = true;
            ops.back().result.assign(w.begin() + 1, w.end());
        }
    }
    for (size_t i = 0; i + 1 < ops.size(); ++i) {
        if (!ops[i].returned) fail("journal: a call before the last one never returned");
    }
    return ops;
}

// A heartbeat file, read as the engine reads it.
struct dat_file {
    std::string bytes;
    int count = 0, head = 0;
    int64_t t(int slot) const { return static_cast<int64_t>(le(bytes, kRingOffset + 13 * slot, 8)); }
    int status(int slot) const { return static_cast<unsigned char>(bytes[kRingOffset + 13 * slot + 8]); }
    uint32_t latency_bits(int slot) const {
        return static_cast<uint32_t>(le(bytes, kRingOffset + 13 * slot + 9, 4));
    }
};

std::string check_dat_header(const std::string &bytes) {
    if (bytes.size() != kDatSize) return "size " + std::to_string(bytes.size());
    if (bytes.compare(0, 8, "VNUPTIME") != 0) return "magic lost";
    const auto count = static_cast<int32_t>(le(bytes, 12, 4));
    const auto head = static_cast<int32_t>(le(bytes, 16, 4));
    const auto capacity = static_cast<int32_t>(le(bytes, 20, 4));
    if (capacity != kCapacity) return "capacity " + std::to_string(capacity);
    if (head < 0 || head >= kCapacity) return "head " + std::to_string(head);
    if (count < 0 || count > kCapacity) return "count " + std::to_string(count);
    return "";
}

// Whether `file` is the whole image of `history`; unknown parts of the
// newest beats are taken from the file into `resolved`. "" when it is.
std::string match_image(const dat_file &file, const std::vector<beat> &history, std::vector<beat> &resolved) {
    const auto n = static_cast<int64_t>(history.size());
    const int count = static_cast<int>(std::min<int64_t>(n, kCapacity));
    const int head = static_cast<int>(n % kCapacity);
    if (file.count != count || file.head != head) {
        return "count/head " + std::to_string(file.count) + "/" + std::to_string(file.head) + " for " +
               std::to_string(n) + " heartbeats";
    }
    resolved = history;
    for (int k = 0; k < count; ++k) {
        const int64_t index = n - count + k;
        const int slot = ((head - count + k) % kCapacity + kCapacity) % kCapacity;
        const beat &b = history[static_cast<size_t>(index)];
        const int64_t t = file.t(slot);
        const int status = file.status(slot);
        const uint32_t bits = file.latency_bits(slot);
        const bool ok = t >= b.t_low && t <= b.t_high &&
                        (b.status < 0 ? (status == 0 || status == 1) : status == (b.status & 0xFF)) &&
                        (!b.latency_known || bits == float_bits(b.latency));
        if (!ok) {
            return "heartbeat " + std::to_string(index) + " of " + std::to_string(n) + " (slot " +
                   std::to_string(slot) + ") holds time " + std::to_string(t) + " status " + std::to_string(status) +
                   " latency " + std::to_string(as_float(bits)) + ", the journal says time " +
                   std::to_string(b.t_low) + ".." + std::to_string(b.t_high) + " status " + std::to_string(b.status) +
                   " latency " + std::to_string(b.latency);
        }
        beat &r = resolved[static_cast<size_t>(index)];
        r.t_low = r.t_high = t;
        if (r.status < 0) r.status = status;
        if (!r.latency_known) {
            r.latency = static_cast<double>(as_float(bits));
            r.latency_known = true;
        }
    }
    // Slots beyond the count (a ring not yet full) are never read: a writer
    // may fill the next slot before the count that makes it part of the
    // history, so their bytes are not judged.
    // The daily counters: every heartbeat ever recorded counts on its day
    // (the runs span fewer than 90 days, so no day is ever pushed out).
    std::map<int64_t, std::pair<uint32_t, uint32_t>> days;  // day -> up, total
    for (const beat &b : resolved) {
        auto &d = days[b.t_low / 86400];
        d.first += b.status == 1 ? 1 : 0;
        d.second += 1;
    }
    std::map<int64_t, std::pair<uint32_t, uint32_t>> found;
    for (int i = 0; i < kDays; ++i) {
        const size_t at = kDailyOffset + 16 * static_cast<size_t>(i);
        const auto total = static_cast<uint32_t>(le(file.bytes, at + 12, 4));
        if (total == 0) continue;
        const auto day = static_cast<int64_t>(le(file.bytes, at, 8));
        if (found.count(day) != 0) return "day " + std::to_string(day) + " has two counters";
        found[day] = {static_cast<uint32_t>(le(file.bytes, at + 8, 4)), total};
    }
    if (found != days) return "daily counters do not add up to the heartbeats";
    return "";
}

struct figures {
    long returned = 0;
    std::map<std::string, long> cut_short;  // by kind of call
    long killed_before_ready = 0;
    long spares_seen = 0;
    long leftovers_seen = 0;
    size_t longest_history = 0;
};

class driver {
public:
    driver(fs::path dir, int kills, uint64_t seed) : dir_(std::move(dir)), kills_(kills), rng_(seed), seed_(seed) {}

    void run() {
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        state_ = dir_ / "state";
        struct statfs info{};
        if (::statfs(dir_.c_str(), &info) != 0) fail("statfs failed");
        const std::string type = file_system_name(static_cast<unsigned long>(info.f_type));
        std::printf("crash_consistency: storage directory %s on %s; %d kills, seed %" PRIu64 "\n", state_.c_str(),
                    type.c_str(), kills_, seed_);
        if (type == "tmpfs" || type == "ramfs") {
            std::printf("crash_consistency: warning: %s is no disk file system\n", type.c_str());
        }
        std::fflush(stdout);
        const auto began = std::chrono::steady_clock::now();
        for (int i = 0; i < kills_; ++i) {
            iteration_ = i;
            kill_one_worker();
            check_files_after_kill();
            check_fresh_start();
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
        long cut = 0;
        std::string by_kind;
        for (const auto &[kind, n] : figures_.cut_short) {
            cut += n;
            by_kind += " " + kind + " " + std::to_string(n);
        }
        std::printf("crash_consistency: %d kills in %.1f s on %s: %ld calls returned, %ld cut short (%s), "
                    "%ld killed during start; %zu monitors at the end, longest history %zu heartbeats; "
                    "leftover temporary files seen %ld, spares %ld; %ld connections to the listener\n",
                    kills_, seconds, type.c_str(), figures_.returned, cut, by_kind.empty() ? "" : by_kind.c_str() + 1,
                    figures_.killed_before_ready, model_.size(), figures_.longest_history, figures_.leftovers_seen,
                    figures_.spares_seen, listener_.accepted());
    }

private:
    static std::string file_system_name(unsigned long magic) {
        switch (magic) {
            case 0xEF53: return "ext4";
            case 0x58465342: return "xfs";
            case 0x9123683E: return "btrfs";
            case 0x01021994: return "tmpfs";
            case 0x858458F6: return "ramfs";
            case 0x794C7630: return "overlayfs";
            case 0x2FC12FC1: return "zfs";
            case 0xF2F52010: return "f2fs";
            default: {
                char text[48];
                std::snprintf(text, sizeof text, "file system 0x%lx", magic);
                return text;
            }
        }
    }

    std::string where() const { return "after kill " + std::to_string(iteration_ + 1) + ": "; }

    pid_t spawn(std::vector<std::string> args, int ready_fd) {
        std::vector<char *> argv;
        static const std::string self = fs::read_symlink("/proc/self/exe").string();
        argv.push_back(const_cast<char *>(self.c_str()));
        for (std::string &a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const pid_t pid = ::fork();
        if (pid < 0) fail("fork failed");
        if (pid == 0) {
            if (ready_fd >= 0 && ::dup2(ready_fd, 3) < 0) _exit(5);
            ::execv(argv[0], argv.data());
            _exit(6);
        }
        return pid;
    }

    void kill_one_worker() {
        journal_ = dir_ / "journal";
        fs::remove(journal_);
        int ready_pipe[2];
        if (::pipe2(ready_pipe, O_CLOEXEC) != 0) fail("pipe failed");
        const pid_t pid = spawn({"worker", state_.string(), journal_.string(), std::to_string(listener_.port()),
                                 std::to_string(listener_.refusing_port()), std::to_string(rng_()),
                                 std::to_string(iteration_)},
                                ready_pipe[1]);
        ::close(ready_pipe[1]);
        // Mostly once the worker is busy, at any moment of its next 30 ms;
        // now and then while it starts.
        if (rng_() % 10 == 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(rng_() % 5000));
        } else {
            pollfd p{ready_pipe[0], POLLIN, 0};
            if (::poll(&p, 1, 20000) != 1) fail(where() + "the worker did not start");
            std::this_thread::sleep_for(std::chrono::microseconds(rng_() % 30000));
        }
        ::close(ready_pipe[0]);
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)) {
            bool ready;
            read_journal(journal_, ready);  // reports what the worker said
            fail(where() + "the worker ended by itself, status " + std::to_string(status));
        }
    }

    // --- the files as the kill left them ---------------------------------------------

    void check_files_after_kill() {
        bool ready = false;
        const std::vector<op> ops = read_journal(journal_, ready);
        if (!ready) ++figures_.killed_before_ready;
        const op *cut = nullptr;
        for (const op &o : ops) {
            if (o.returned) {
                ++figures_.returned;
            } else {
                cut = &o;
                ++figures_.cut_short[o.kind];
            }
        }
        check_tree(true);

        // config.json: the last URL set, or the one being set.
        std::vector<std::string> urls = {webhook_};
        for (const op &o : ops) {
            if (o.kind != "webhook") continue;
            if (o.returned) {
                urls = {o.args[0]};
                config_written_ = true;
            } else {
                urls.push_back(o.args[0]);
            }
        }
        for (const op &o : ops) {
            if (o.kind == "save" && o.returned) config_written_ = true;
        }
        const fs::path config = state_ / "config.json";
        if (fs::exists(config)) {
            rapidjson::Document doc;
            const std::string text = read_all(config);
            if (!vue::json_parse_strict(text, doc) || !doc.IsObject()) fail(where() + "config.json is not JSON: " + text);
            const rapidjson::Value *url = vue::find_member(doc, "webhook_url");
            if (url == nullptr || !url->IsString()) fail(where() + "config.json has no webhook_url: " + text);
            if (std::find(urls.begin(), urls.end(), url->GetString()) == urls.end()) {
                fail(where() + "config.json holds " + url->GetString() + ", the journal allows " + urls[0] +
                     (urls.size() > 1 ? " or " + urls[1] : ""));
            }
            webhook_ = url->GetString();
        } else if (config_written_) {
            fail(where() + "config.json is gone");
        }

        // monitors.json: the table after the last add or delete that
        // returned, or after the one cut short.
        std::vector<monitor_model> table = model_;
        std::optional<std::vector<monitor_model>> alternative;
        for (const op &o : ops) {
            if (o.kind == "add") {
                monitor_model m;
                m.name = o.args[0];
                m.type = std::stoi(o.args[1]);
                m.target = o.args[2];
                m.interval = std::stoi(o.args[3]);
                if (o.returned) {
                    m.id = o.result.at(1);
                    table.push_back(m);
                    monitors_written_ = true;
                } else {
                    alternative = table;
                    alternative->push_back(m);  // id unknown: found by its name
                }
            } else if (o.kind == "delete") {
                auto without = table;
                std::erase_if(without, [&](const monitor_model &m) { return m.id == o.args[0]; });
                if (o.returned) {
                    table = without;
                } else {
                    alternative = without;
                }
            }
        }
        const fs::path monitors = state_ / "monitors.json";
        std::vector<monitor_model> on_disk;
        if (fs::exists(monitors)) {
            on_disk = read_monitors_json(read_all(monitors));
        } else if (monitors_written_) {
            fail(where() + "monitors.json is gone");
        }
        auto same_table = [&on_disk](const std::vector<monitor_model> &expected) {
            if (expected.size() != on_disk.size()) return false;
            for (size_t i = 0; i < expected.size(); ++i) {
                const monitor_model &e = expected[i], &d = on_disk[i];
                if ((!e.id.empty() && e.id != d.id) || e.name != d.name || e.type != d.type || e.target != d.target ||
                    e.interval != d.interval) {
                    return false;
                }
            }
            return true;
        };
        std::vector<monitor_model> now;
        if (same_table(table)) {
            now = table;
        } else if (alternative && same_table(*alternative)) {
            now = *alternative;
            for (size_t i = 0; i < now.size(); ++i) now[i].id = on_disk[i].id;
        } else {
            std::string names;
            for (const monitor_model &m : on_disk) names += " " + m.name;
            std::string want;
            for (const monitor_model &m : table) want += " " + m.name;
            fail(where() + "monitors.json lists" + names + "; the journal allows" + want +
                 (alternative ? " (or the call cut short: " + cut->kind + ")" : ""));
        }

        // Each listed monitor's history.
        for (monitor_model &m : now) {
            const bool added_here = std::none_of(model_.begin(), model_.end(),
                                                 [&m](const monitor_model &old) { return old.id == m.id; });
            std::vector<std::vector<beat>> candidates = allowed_histories(m, added_here, ops);
            const fs::path path = state_ / "data" / m.id / "heartbeats.dat";
            if (!fs::exists(path)) fail(where() + "monitor " + m.name + " has no heartbeats.dat");
            dat_file file;
            file.bytes = read_all(path);
            file.count = static_cast<int>(le(file.bytes, 12, 4));
            file.head = static_cast<int>(le(file.bytes, 16, 4));
            std::string why;
            bool matched = false;
            for (const auto &candidate : candidates) {
                std::vector<beat> resolved;
                const std::string mismatch = match_image(file, candidate, resolved);
                if (mismatch.empty()) {
                    m.history = resolved;
                    matched = true;
                    break;
                }
                why += (why.empty() ? "" : "; or ") + mismatch;
            }
            if (!matched) fail(where() + "heartbeats.dat of " + m.name + " is no history the journal allows: " + why);
            figures_.longest_history = std::max(figures_.longest_history, m.history.size());
        }
        model_ = now;
    }

    // The histories a monitor's heartbeats.dat may hold: as of the last
    // returned call that wrote it, or as of the call cut short if that one
    // writes it.
    std::vector<std::vector<beat>> allowed_histories(const monitor_model &m, bool added_here,
                                                     const std::vector<op> &ops) const {
        std::vector<beat> history;
        if (!added_here) {
            for (const monitor_model &old : model_) {
                if (old.id == m.id) history = old.history;
            }
        }
        std::vector<beat> written = history;
        std::optional<std::vector<beat>> cut_write;
        for (const op &o : ops) {
            const bool mine = !o.args.empty() && o.args[0] == m.id;
            if (o.kind == "record" && mine && o.returned) {
                beat b;
                b.status = std::stoi(o.args[1]);
                b.latency = std::strtod(o.args[2].c_str(), nullptr);
                b.t_low = b.t_high = std::stoll(o.args[3]);
                history.push_back(b);
            } else if (o.kind == "check" && mine) {
                beat b;
                b.t_low = std::stoll(o.args[1]);
                if (o.returned) {
                    b.status = std::stoi(o.result.at(1));
                    b.latency = std::strtod(o.result.at(2).c_str(), nullptr);
                    b.t_high = std::stoll(o.result.at(3));
                    history.push_back(b);
                    written = history;
                } else {
                    b.status = -1;
                    b.latency_known = false;
                    b.t_high = b.t_low + 3600;
                    cut_write = history;
                    cut_write->push_back(b);
                }
            } else if (o.kind == "save" || o.kind == "add" || o.kind == "delete") {
                // Each writes every heartbeat file whose history changed.
                if (o.returned) {
                    written = history;
                } else {
                    cut_write = history;
                }
            }
        }
        std::vector<std::vector<beat>> candidates = {written};
        if (cut_write) candidates.push_back(*cut_write);
        return candidates;
    }

    std::vector<monitor_model> read_monitors_json(const std::string &text) const {
        rapidjson::Document doc;
        if (!vue::json_parse_strict(text, doc) || !doc.IsArray()) fail(where() + "monitors.json is not JSON: " + text);
        std::vector<monitor_model> table;
        for (const auto &e : doc.GetArray()) {
            monitor_model m;
            auto text_of = [&e](const char *key) {
                const rapidjson::Value *v = vue::find_member(e, key);
                return v != nullptr && v->IsString() ? std::string(v->GetString()) : std::string("?");
            };
            auto int_of = [&e](const char *key) {
                const rapidjson::Value *v = vue::find_member(e, key);
                return v != nullptr && v->IsInt() ? v->GetInt() : -999;
            };
            m.id = text_of("id");
            m.name = text_of("name");
            m.target = text_of("target");
            m.type = int_of("type");
            m.interval = int_of("interval_sec");
            table.push_back(m);
        }
        return table;
    }

    // Every file in the storage directory: the engine's files, leftovers a
    // start must remove, spares beside heartbeat files, and never a file
    // set aside as unreadable.
    void check_tree(bool after_kill) {
        if (!fs::exists(state_)) {
            // Only a worker killed before its start made it leaves none.
            if (monitors_written_ || config_written_) fail(where() + "the storage directory is gone");
            return;
        }
        for (const auto &entry : fs::directory_iterator(state_)) {
            const std::string name = entry.path().filename().string();
            if (name.find(".unreadable-") != std::string::npos) fail(where() + "set aside: " + name);
            if (name == "config.json" || name == "monitors.json" || name == ".lock" || name == "data") continue;
            if (after_kill && (name == "config.json.tmp" || name == "monitors.json.tmp")) {
                ++figures_.leftovers_seen;
                continue;
            }
            fail(where() + "unexpected file in the storage directory: " + name);
        }
        if (!fs::exists(state_ / "data")) return;
        for (const auto &monitor_dir : fs::directory_iterator(state_ / "data")) {
            if (!monitor_dir.is_directory()) fail(where() + "unexpected file in data: " + monitor_dir.path().string());
            int spares = 0;
            for (const auto &entry : fs::directory_iterator(monitor_dir.path())) {
                const std::string name = entry.path().filename().string();
                if (name.find(".unreadable-") != std::string::npos) fail(where() + "set aside: " + entry.path().string());
                if (name == "heartbeats.dat") {
                    const std::string problem = check_dat_header(read_all(entry.path()));
                    if (!problem.empty()) fail(where() + entry.path().string() + ": " + problem);
                } else if (name.rfind("heartbeats.dat.", 0) == 0) {
                    ++spares;
                    if (after_kill) {
                        if (name == "heartbeats.dat.tmp") {
                            ++figures_.leftovers_seen;
                        } else {
                            ++figures_.spares_seen;
                        }
                    }
                } else {
                    fail(where() + "unexpected file: " + entry.path().string());
                }
            }
            if (!after_kill && spares > 2) {
                fail(where() + std::to_string(spares) + " spare files pile up in " + monitor_dir.path().string());
            }
        }
    }

    // --- what a fresh process finds ---------------------------------------------------

    void check_fresh_start() {
        const fs::path out = dir_ / "view.txt";
        const pid_t pid = spawn({"view", state_.string(), out.string()}, -1);
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
            fail(where() + "the fresh process ended with status " + std::to_string(status));
        }
        std::ifstream in(out);
        std::string line;
        std::getline(in, line);
        if (line != "init 0 ") fail(where() + "the fresh start failed: " + line);
        std::getline(in, line);
        rapidjson::Document list;
        if (!vue::json_parse_strict(line, list) || !list.IsArray()) fail(where() + "list report: " + line);
        if (list.Size() != model_.size()) fail(where() + "the fresh start lists another number of monitors: " + line);
        for (size_t i = 0; i < model_.size(); ++i) {
            const monitor_model &m = model_[i];
            const auto &e = list[static_cast<rapidjson::SizeType>(i)];
            if (m.id != e["id"].GetString() || m.name != e["name"].GetString() || m.type != e["type"].GetInt() ||
                m.target != e["target"].GetString() || m.interval != e["interval_sec"].GetInt()) {
                fail(where() + "the fresh start lists " + line);
            }
            std::getline(in, line);
            rapidjson::Document beats;
            if (!vue::json_parse_strict(line, beats) || !beats.IsArray()) fail(where() + "heartbeat report: " + line);
            const size_t n = m.history.size(), shown = std::min<size_t>(n, kCapacity);
            bool same = beats.Size() == shown;
            for (size_t k = 0; same && k < shown; ++k) {
                const beat &b = m.history[n - shown + k];
                const auto &r = beats[static_cast<rapidjson::SizeType>(k)];
                same = r["time"].GetInt64() == b.t_low && r["status"].GetInt() == (b.status & 0xFF) &&
                       r["latency_ms"].GetDouble() == static_cast<double>(static_cast<float>(b.latency));
            }
            if (!same) fail(where() + "the fresh start loaded another history for " + m.name);
        }
        std::getline(in, line);
        if (line != "save 0") fail(where() + "the fresh process's save: " + line);
        // The start handled every leftover, and its save set nothing aside.
        check_tree(false);
        // That save wrote both files: from now on they must stay.
        config_written_ = monitors_written_ = true;
    }

    fs::path dir_, state_, journal_;
    int kills_;
    std::mt19937_64 rng_;
    uint64_t seed_;
    int iteration_ = 0;
    vue::test::loopback_listener listener_;
    std::vector<monitor_model> model_;
    std::string webhook_;
    bool config_written_ = false;
    bool monitors_written_ = false;
    figures figures_;
};

}  // namespace

int main(int argc, char **argv) {
    if (argc >= 8 && std::strcmp(argv[1], "worker") == 0) return run_worker(argv);
    if (argc >= 4 && std::strcmp(argv[1], "view") == 0) return run_view(argv);

    int kills = 200;
    uint64_t seed = std::random_device{}();
    fs::path dir = fs::current_path() / "crash-consistency";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--kills") {
            kills = std::atoi(argv[i + 1]);
        } else if (option == "--seed") {
            seed = std::strtoull(argv[i + 1], nullptr, 10);
        } else if (option == "--dir") {
            dir = argv[i + 1];
        } else {
            std::fprintf(stderr, "usage: crash_consistency [--kills N] [--seed S] [--dir DIR]\n");
            return 64;
        }
    }
    if (const char *env = std::getenv("VUE_CRASH_KILLS"); env != nullptr && *env != '\0') kills = std::atoi(env);
    // A worker killed while a write to the journal pipe is under way must
    // not take this process with it.
    ::signal(SIGPIPE, SIG_IGN);
    driver(dir, kills, seed).run();
    std::printf("crash_consistency: passed\n");
    return 0;
}

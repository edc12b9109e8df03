#include "scheduler.h"

#include <algorithm>
#include <memory>

namespace host {

namespace {

check_outcome refused(const std::string &id, const std::string &error) {
    check_outcome outcome;
    outcome.id = id;
    outcome.result = -1;
    outcome.error = error;
    return outcome;
}

}  // namespace

scheduler::scheduler(scheduler_options options, check_pool::check_function check)
    : options_(options), pool_(std::max<std::size_t>(1, options.threads), std::move(check)) {}

scheduler::~scheduler() {
    shut_down();
}

std::chrono::seconds scheduler::interval_of(const monitor_row &m) const {
    return options_.interval_override.value_or(std::chrono::seconds(std::max(1, m.interval_sec)));
}

void scheduler::set_monitors(const std::vector<monitor_row> &monitors) {
    std::lock_guard<std::mutex> guard(lock_);
    const steady::time_point now = steady::now();
    const bool first = !given_monitors_;
    given_monitors_ = true;
    std::size_t added = 0;
    for (const monitor_row &m : monitors) {
        auto [it, is_new] = slots_.try_emplace(m.id);
        it->second.interval = interval_of(m);
        if (!is_new) continue;
        // The first monitors of a store are started evenly over the spread
        // (within their interval): a restart with 128 monitors does not
        // fire 128 probes, and a burst of webhook posts, at once.
        std::chrono::milliseconds offset{0};
        if (first && !options_.once && monitors.size() > 1) {
            const auto window = std::min<std::chrono::milliseconds>(options_.spread, it->second.interval);
            offset = window * std::int64_t(added) / std::int64_t(monitors.size());
        }
        it->second.next_due = now + offset;
        ++added;
    }
    for (auto it = slots_.begin(); it != slots_.end();) {
        const bool kept = std::any_of(monitors.begin(), monitors.end(), [&](const monitor_row &m) { return m.id == it->first; });
        if (kept) {
            ++it;
        } else if (it->second.running) {
            // A running check ends by itself; then the slot goes.
            it->second.gone = true;
            ++it;
        } else {
            it = slots_.erase(it);
        }
    }
}

void scheduler::remove(const std::string &id) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = slots_.find(id);
    if (it == slots_.end()) return;
    if (it->second.running) {
        it->second.gone = true;
    } else {
        slots_.erase(it);
    }
}

void scheduler::start_locked(const std::string &id, slot &s, steady::time_point now) {
    s.running = true;
    // Counted from the start of a check, so a slow target keeps its pace.
    s.next_due = options_.once ? steady::time_point::max() : now + s.interval;
    pool_.submit(0, id);
}

std::vector<check_outcome> scheduler::poll(std::chrono::milliseconds max_wait) {
    steady::duration wait = max_wait;
    {
        std::lock_guard<std::mutex> guard(lock_);
        const steady::time_point now = steady::now();
        for (auto &[id, s] : slots_) {
            if (stopping_ || s.running) continue;
            if (now >= s.next_due) start_locked(id, s, now);
        }
        for (const auto &[id, s] : slots_) {
            if (!s.running && s.next_due != steady::time_point::max()) wait = std::min(wait, s.next_due - now);
        }
    }
    wait = std::max<steady::duration>(wait, std::chrono::milliseconds(1));
    std::vector<check_outcome> outcomes =
        pool_.collect(std::chrono::duration_cast<std::chrono::milliseconds>(wait) + std::chrono::milliseconds(1));
    std::vector<answer> answers;
    {
        std::lock_guard<std::mutex> guard(lock_);
        absorb_locked(outcomes, answers);
        if (!leftover_.empty()) {
            outcomes.insert(outcomes.begin(), leftover_.begin(), leftover_.end());
            leftover_.clear();
        }
    }
    for (answer &a : answers) a.first(a.second);
    return outcomes;
}

void scheduler::absorb_locked(const std::vector<check_outcome> &outcomes, std::vector<answer> &answers) {
    for (const check_outcome &o : outcomes) {
        auto it = slots_.find(o.id);
        if (it == slots_.end()) continue;
        slot &s = it->second;
        s.running = false;
        s.checked = true;
        for (check_done &d : s.waiting) answers.emplace_back(std::move(d), o);
        s.waiting.clear();
        if (s.rerun) {
            s.rerun = false;
            s.waiting.swap(s.waiting_next);
            if (stopping_ || s.gone) {
                for (check_done &d : s.waiting) {
                    answers.emplace_back(std::move(d), refused(o.id, stopping_ ? "stopping" : "Monitor not found"));
                }
                s.waiting.clear();
            } else {
                // The next scheduled check counts from this one.
                start_locked(it->first, s, steady::now());
            }
        }
        if (s.gone && !s.running) slots_.erase(it);
    }
}

void scheduler::check_now(const std::string &id, check_done done) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (!stopping_) {
            auto [it, is_new] = slots_.try_emplace(id);
            slot &s = it->second;
            if (is_new) s.next_due = steady::now();
            s.gone = false;
            if (s.running) {
                s.rerun = true;
                s.waiting_next.push_back(std::move(done));
            } else {
                s.waiting.push_back(std::move(done));
                start_locked(id, s, steady::now());
            }
            return;
        }
    }
    done(refused(id, "stopping"));
}

std::future<check_outcome> scheduler::check_now(const std::string &id) {
    auto promise = std::make_shared<std::promise<check_outcome>>();
    std::future<check_outcome> future = promise->get_future();
    check_now(id, [promise](const check_outcome &o) { promise->set_value(o); });
    return future;
}

void scheduler::stop_starting() {
    std::lock_guard<std::mutex> guard(lock_);
    stopping_ = true;
}

std::size_t scheduler::running() const {
    return pool_.running();
}

std::size_t scheduler::never_checked() const {
    std::lock_guard<std::mutex> guard(lock_);
    return std::size_t(std::count_if(slots_.begin(), slots_.end(), [](const auto &entry) { return !entry.second.checked; }));
}

std::size_t scheduler::size() const {
    std::lock_guard<std::mutex> guard(lock_);
    return slots_.size();
}

void scheduler::shut_down() {
    stop_starting();
    pool_.shut_down();
    std::vector<check_outcome> last = pool_.collect(std::chrono::milliseconds(0));
    std::vector<answer> answers;
    {
        std::lock_guard<std::mutex> guard(lock_);
        // Who waits for a check that ended gets its outcome; the poll after
        // this returns them too.
        absorb_locked(last, answers);
        leftover_.insert(leftover_.end(), last.begin(), last.end());
        for (auto &[id, s] : slots_) {
            // Their checks were dropped before they started.
            for (auto *list : {&s.waiting, &s.waiting_next}) {
                for (check_done &d : *list) answers.emplace_back(std::move(d), refused(id, "stopping"));
                list->clear();
            }
        }
    }
    for (answer &a : answers) a.first(a.second);
}

}  // namespace host

#include "check_pool.h"

#include <chrono>

#include "vantorel-uptime-engine.h"

namespace host {

check_outcome engine_check(const std::string &monitor_id) {
    check_outcome outcome;
    outcome.id = monitor_id;
    // The probe runs without any lock of ours: other threads keep checking.
    outcome.result = uptime_check_now(monitor_id.c_str(), &outcome.up, &outcome.latency_ms);
    if (outcome.result != 0) outcome.error = uptime_last_error();
    outcome.finished_at =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    return outcome;
}

check_pool::check_pool(std::size_t threads, check_function check) : check_(std::move(check)) {
    if (threads == 0) threads = 1;
    threads_.reserve(threads);
    for (std::size_t i = 0; i < threads; ++i) threads_.emplace_back(&check_pool::work, this);
}

check_pool::~check_pool() {
    shut_down();
}

void check_pool::submit(std::size_t index, std::string monitor_id) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        jobs_.push_back({index, std::move(monitor_id)});
    }
    job_ready_.notify_one();
}

std::vector<check_outcome> check_pool::collect(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> guard(lock_);
    outcome_ready_.wait_for(guard, timeout, [this] { return !outcomes_.empty(); });
    std::vector<check_outcome> collected;
    collected.swap(outcomes_);
    return collected;
}

void check_pool::shut_down() {
    {
        std::lock_guard<std::mutex> guard(lock_);
        stopping_ = true;
        jobs_.clear();
    }
    job_ready_.notify_all();
    for (std::thread &t : threads_) {
        if (t.joinable()) t.join();
    }
}

std::size_t check_pool::running() const {
    std::lock_guard<std::mutex> guard(lock_);
    return running_;
}

void check_pool::work() {
    for (;;) {
        job next{};
        {
            std::unique_lock<std::mutex> guard(lock_);
            job_ready_.wait(guard, [this] { return stopping_ || !jobs_.empty(); });
            if (stopping_) return;
            next = std::move(jobs_.front());
            jobs_.pop_front();
            ++running_;
        }
        // The check runs without our lock: other threads keep checking.
        check_outcome outcome = check_(next.monitor_id);
        outcome.index = next.index;
        outcome.id = next.monitor_id;
        {
            std::lock_guard<std::mutex> guard(lock_);
            --running_;
            outcomes_.push_back(std::move(outcome));
        }
        outcome_ready_.notify_all();
    }
}

}  // namespace host

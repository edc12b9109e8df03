// A small pool of threads that run checks, so that a slow or silent target
// only ever holds up its own thread. A check is any function that gives an
// outcome: the engine's uptime_check_now in this process (engine_check), or
// a request to the service that owns the store (the command line's client).
#ifndef VANTOREL_UPTIME_HOST_CHECK_POOL_H
#define VANTOREL_UPTIME_HOST_CHECK_POOL_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace host {

struct check_outcome {
    std::size_t index = 0;         // as given to submit()
    std::string id;                // the monitor checked
    int result = 0;                // 0, or -1 when the check could not be made
    int up = 0;
    double latency_ms = 0.0;
    std::int64_t finished_at = 0;  // Unix seconds
    std::string error;             // why, when result != 0
};

// uptime_check_now of one monitor in this process.
check_outcome engine_check(const std::string &monitor_id);

// Threads are started up front; at most this many checks run at once.
constexpr std::size_t k_max_check_threads = 32;

class check_pool {
public:
    using check_function = std::function<check_outcome(const std::string &monitor_id)>;

    explicit check_pool(std::size_t threads, check_function check = engine_check);
    check_pool(const check_pool &) = delete;
    check_pool &operator=(const check_pool &) = delete;
    ~check_pool();  // as shut_down()

    void submit(std::size_t index, std::string monitor_id);

    // Waits until a check has finished or the timeout passes, and returns
    // the outcomes not yet collected.
    std::vector<check_outcome> collect(std::chrono::milliseconds timeout);

    // Drops the checks that have not started, waits for the running ones
    // and joins the threads. Their outcomes can still be collected. After
    // this no thread of the pool calls the engine, so it may be stopped.
    void shut_down();

    std::size_t running() const;

private:
    struct job {
        std::size_t index;
        std::string monitor_id;
    };
    void work();

    check_function check_;
    mutable std::mutex lock_;
    std::condition_variable job_ready_;
    std::condition_variable outcome_ready_;
    std::deque<job> jobs_;
    std::vector<check_outcome> outcomes_;
    std::size_t running_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace host

#endif

// A small pool of threads that run uptime_check_now, so that a slow or
// silent target only ever holds up its own thread.
#ifndef VANTOREL_UPTIME_CLI_CHECK_POOL_H
#define VANTOREL_UPTIME_CLI_CHECK_POOL_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace cli {

struct check_outcome {
    std::size_t index = 0;       // as given to submit()
    int result = 0;              // uptime_check_now's return value
    int up = 0;
    double latency_ms = 0.0;
    std::int64_t finished_at = 0;  // Unix seconds
    std::string error;           // the engine's text when result != 0
};

// Threads are started up front; at most this many checks run at once.
constexpr std::size_t k_max_check_threads = 32;

class check_pool {
public:
    explicit check_pool(std::size_t threads);
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

    mutable std::mutex lock_;
    std::condition_variable job_ready_;
    std::condition_variable outcome_ready_;
    std::deque<job> jobs_;
    std::vector<check_outcome> outcomes_;
    std::size_t running_ = 0;
    bool stopping_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace cli

#endif

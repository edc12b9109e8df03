// The scheduler the engine leaves to its host, shared by watch and serve:
// every monitor checked at its own interval by a check_pool, never two checks
// of one monitor at once, the first checks of a store spread out so that
// 128 monitors do not fire together, and checks asked for now (the
// service's API) run through the same slots.
//
// One thread drives it by calling poll() in a loop; any thread may call
// check_now(), set_monitors(), remove() and stop_starting().
#ifndef VANTOREL_UPTIME_HOST_SCHEDULER_H
#define VANTOREL_UPTIME_HOST_SCHEDULER_H

#include <chrono>
#include <cstddef>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "check_pool.h"
#include "rows.h"

namespace host {

struct scheduler_options {
    // Checks that run at once (each on its own thread).
    std::size_t threads = k_max_check_threads;
    // One interval for every monitor instead of each one's own.
    std::optional<std::chrono::seconds> interval_override;
    // Check every monitor once, all at the same time, and no more.
    bool once = false;
    // The monitors given first are started over at most this long (and at
    // most their interval), evenly; monitors added later start at once.
    std::chrono::milliseconds spread = std::chrono::seconds(15);
};

class scheduler {
public:
    using steady = std::chrono::steady_clock;

    explicit scheduler(scheduler_options options, check_pool::check_function check = engine_check);
    scheduler(const scheduler &) = delete;
    scheduler &operator=(const scheduler &) = delete;
    ~scheduler();  // as shut_down()

    // Takes the store's monitors: new ones get a slot (spread out the first
    // time, due at once later), gone ones lose theirs, intervals follow.
    void set_monitors(const std::vector<monitor_row> &monitors);
    void remove(const std::string &id);

    // Starts the checks that are due, then waits up to max_wait (less when a
    // check falls due sooner) for checks to finish, and returns the outcomes
    // of every check that finished, scheduled or asked for.
    std::vector<check_outcome> poll(std::chrono::milliseconds max_wait);

    // A check of this monitor now: started at once when none runs, else
    // right after the running one, so two never overlap. `done` is called
    // by poll() (or shut_down()) once it ends, with the scheduler's lock not
    // held. A monitor without a slot gets one.
    using check_done = std::function<void(const check_outcome &)>;
    void check_now(const std::string &id, check_done done);
    std::future<check_outcome> check_now(const std::string &id);

    // No check starts from now on; checks asked for with check_now are
    // answered with the error "stopping".
    void stop_starting();
    // Checks running now.
    std::size_t running() const;
    // Monitors not yet checked once since they got their slot.
    std::size_t never_checked() const;
    std::size_t size() const;
    // Waits for the running checks, joins the threads and answers what is
    // still asked for. The outcomes of the last checks can still be polled.
    void shut_down();

private:
    struct slot {
        std::chrono::seconds interval{60};
        steady::time_point next_due{};
        bool running = false;
        bool checked = false;
        bool rerun = false;  // asked for while running: once more at its end
        bool gone = false;   // the monitor went while its check ran: no more checks
        std::vector<check_done> waiting;       // for the running check
        std::vector<check_done> waiting_next;  // for the rerun
    };
    void start_locked(const std::string &id, slot &s, steady::time_point now);
    // Ends the checks of these outcomes and starts reruns; who waits is
    // added to `answers`, to be called once the lock is released.
    using answer = std::pair<check_done, check_outcome>;
    void absorb_locked(const std::vector<check_outcome> &outcomes, std::vector<answer> &answers);
    std::chrono::seconds interval_of(const monitor_row &m) const;

    scheduler_options options_;
    check_pool pool_;
    mutable std::mutex lock_;
    std::map<std::string, slot> slots_;
    std::vector<check_outcome> leftover_;  // absorbed by shut_down, for the next poll
    bool given_monitors_ = false;
    bool stopping_ = false;
};

}  // namespace host

#endif

#include "platform/fault.h"

#include <atomic>

namespace vue::platform {
namespace {

struct fault_slot {
    std::atomic<int> countdown{0};   // 0: unarmed; fires when it drops to 0 from 1
    std::atomic<bool> persistent{false};
    std::atomic<bool> firing{false};  // persistent and already fired
    std::atomic<int> calls{0};
};

fault_slot s_faults[static_cast<int>(fault_point::count_)];
std::atomic<bool> s_any_armed{false};

}  // namespace

void fault_arm(fault_point point, int nth, bool persistent) {
    fault_slot &slot = s_faults[static_cast<int>(point)];
    slot.persistent.store(persistent);
    slot.firing.store(false);
    slot.countdown.store(nth < 1 ? 1 : nth);
    s_any_armed.store(true);
}

void fault_disarm_all() {
    for (fault_slot &slot : s_faults) {
        slot.countdown.store(0);
        slot.persistent.store(false);
        slot.firing.store(false);
        slot.calls.store(0);
    }
    s_any_armed.store(false);
}

int fault_calls(fault_point point) { return s_faults[static_cast<int>(point)].calls.load(); }

bool fault_fires(fault_point point) {
    fault_slot &slot = s_faults[static_cast<int>(point)];
    slot.calls.fetch_add(1, std::memory_order_relaxed);
    if (!s_any_armed.load(std::memory_order_relaxed)) return false;
    if (slot.firing.load()) return true;
    int left = slot.countdown.load();
    while (left > 0) {
        if (slot.countdown.compare_exchange_weak(left, left - 1)) {
            if (left - 1 == 0) {
                if (slot.persistent.load()) slot.firing.store(true);
                return true;
            }
            return false;
        }
    }
    return false;
}

}  // namespace vue::platform

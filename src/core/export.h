// Every exported function runs its body through guarded(): nothing may
// throw across the C boundary, so an exception (only std::bad_alloc can
// arise) becomes the function's failure value.
#pragma once

#define UPTIME_BUILDING_LIBRARY 1
#include "vantorel-uptime-engine.h"

namespace vue {

template <typename R, typename F>
R guarded(R on_exception, F &&body) noexcept {
    try {
        return body();
    } catch (...) {
        return on_exception;
    }
}

}  // namespace vue

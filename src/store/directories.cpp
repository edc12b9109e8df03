#include "core/engine_state.h"
#include "platform/platform.h"
#include "store/state_store.h"

namespace vue {

void ensure_dir(const char *path) {
    char work[1024];
    copy_bounded(work, sizeof work, path);
    // Index 0 is never a separator, so "/srv/x" never asks for "".
    for (size_t i = 1; work[i] != '\0'; ++i) {
        if (work[i] == '/' || work[i] == '\\') {
            char separator = work[i];
            work[i] = '\0';
            platform::make_directory(work);
            work[i] = separator;
        }
    }
    platform::make_directory(work);
}

}  // namespace vue

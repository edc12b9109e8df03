// serve where the service is not built (Windows): the command exists, so
// that help and scripts see the same program, and says why it cannot run.
#include "serve.h"

namespace service {

int run_serve(const host::invocation &inv) {
    return host::command_error(inv.command, "not available on this system: the service runs on Linux; "
                                            "use 'vantorel-uptime watch' to check on a schedule here");
}

}  // namespace service

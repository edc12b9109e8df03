// vantorel-uptime serve: the service. On a system without it the same
// command says that it is not available there.
#ifndef VANTOREL_UPTIME_SERVICE_SERVE_H
#define VANTOREL_UPTIME_SERVICE_SERVE_H

#include "command.h"

namespace service {

int run_serve(const host::invocation &inv);

}  // namespace service

#endif

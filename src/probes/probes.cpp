// Placeholder probes: every target is down until the network probes land.
#include "probes/probes.h"

namespace vue {

void check_http(const char *, probe_result &) {}
void check_tcp_port(const char *, probe_result &) {}
void check_dns(const char *, probe_result &) {}
void check_ping(const char *, probe_result &) {}
void send_webhook(const char *, const char *, const char *, int, double, int64_t) {}

}  // namespace vue

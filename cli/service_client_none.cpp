// service_client.h where the service is not built (Windows): no service can
// own a store here, so a request reaches nothing.
#include "service_client.h"

namespace cli {

http_result service_request(const std::string &, const std::string &, const std::string &, const std::string &) {
    http_result result;
    result.error = "the service is not available on this system";
    return result;
}

}  // namespace cli

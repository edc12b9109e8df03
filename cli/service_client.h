// The command line's HTTP requests to a running service (cli/store_client.h
// decides when). service_client_curl.cpp makes them with libcurl; a system
// without the service gets service_client_none.cpp, whose requests never
// reach anything. Both chosen by cli/CMakeLists.txt.
#ifndef VANTOREL_UPTIME_CLI_SERVICE_CLIENT_H
#define VANTOREL_UPTIME_CLI_SERVICE_CLIENT_H

#include <string>

namespace cli {

struct http_result {
    bool reached = false;  // an HTTP response came back
    int status = 0;
    std::string body;
    std::string error;  // why nothing came back
};

// One request with "Authorization: Bearer <token>"; a JSON body when not
// empty. Any thread may call it.
http_result service_request(const std::string &method, const std::string &url, const std::string &token,
                            const std::string &body);

}  // namespace cli

#endif

#include "command.h"

#include <cstdio>

namespace host {

int command_error(std::string_view command, std::string_view message) {
    std::fprintf(stderr, "%.*s: %.*s\n", int(command.size()), command.data(), int(message.size()),
                 message.data());
    return exit_failed;
}

}  // namespace host

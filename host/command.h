// What both front ends of vantorel-uptime share about a command: the parsed
// command line, the exit statuses and how a failure is told. The command
// line (cli/) and the service (service/) are commands of one program.
#ifndef VANTOREL_UPTIME_HOST_COMMAND_H
#define VANTOREL_UPTIME_HOST_COMMAND_H

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace host {

// Scripts branch on these, so they are part of the interface (cli/README.md).
enum exit_status : int {
    exit_ok = 0,           // done; for check and watch --once: every monitor is up
    exit_not_all_up = 1,   // check / watch --once: at least one monitor is not up
    exit_usage = 2,        // the command line is wrong; the usage was printed
    exit_failed = 3,       // no store, the store could not be used or saved, the engine
                           // refused, an id matched no or several monitors
};

struct invocation {
    std::string command;
    std::string dir = ".";
    std::vector<std::string> args;  // positional arguments after the command
    // Options given to the command, by name without dashes; flags map to "".
    std::map<std::string, std::string, std::less<>> options;

    bool has(std::string_view name) const { return options.find(name) != options.end(); }
    const std::string *value(std::string_view name) const {
        auto it = options.find(name);
        return it == options.end() ? nullptr : &it->second;
    }
};

// Print "<command>: <message>" and the command's usage on stderr; returns
// exit_usage. Defined with the program's table of commands (cli/main.cpp).
int usage_error(std::string_view command, std::string_view message);
// Print "<command>: <message>" on stderr; returns exit_failed.
int command_error(std::string_view command, std::string_view message);

}  // namespace host

#endif

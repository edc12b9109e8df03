// Helpers for the end-to-end tests of vantorel-uptime: running the built
// executable (through pipes or a pseudo-terminal), a temporary storage
// directory and the loopback HTTP fixture of tests/servers. POSIX only.
#ifndef VANTOREL_UPTIME_CLI_TEST_SUPPORT_H
#define VANTOREL_UPTIME_CLI_TEST_SUPPORT_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace cli_test {

struct run_result {
    int status = -1;  // exit status; 128 + n when ended by signal n
    std::string out;
    std::string err;
};

// Environment changes for a child: "NAME=value" sets, "NAME" removes.
using env_changes = std::vector<std::string>;

class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;
    const std::string &path() const { return path_; }

private:
    std::string path_;
};

std::string read_file(const std::string &path);
void write_file(const std::string &path, const std::string &text);
bool wait_until(const std::function<bool()> &condition, std::chrono::milliseconds timeout);

// Runs vantorel-uptime with these arguments to the end (killed after 60 s).
run_result run_cli(const std::vector<std::string> &args, const env_changes &env = {});

// The same, with files it writes limited to max_kib KiB (RLIMIT_FSIZE, the
// signal ignored): writes beyond fail with EFBIG, as on a full disk, and
// even root cannot write past it.
run_result run_cli_with_file_limit(const std::vector<std::string> &args, int max_kib);

// vantorel-uptime running in the background, output into files.
class background_cli {
public:
    background_cli(const std::vector<std::string> &args, const std::string &scratch_dir);
    ~background_cli();  // kills it if still running
    background_cli(const background_cli &) = delete;
    background_cli &operator=(const background_cli &) = delete;
    background_cli(const std::vector<std::string> &args, const std::string &scratch_dir, const env_changes &env);
    std::string out() const;
    std::string err() const;
    void send(int signal_number);
    // Exit status, or -1 when it did not end in time (then it is killed).
    int wait(std::chrono::milliseconds timeout);

private:
    pid_t pid_ = -1;
    std::string out_path_, err_path_;
};

// Runs vantorel-uptime on a pseudo-terminal of `columns` columns; sends
// SIGINT after `run_for` (zero: lets it end by itself). All output, raw.
run_result run_cli_on_terminal(const std::vector<std::string> &args, const env_changes &env, int columns,
                               std::chrono::milliseconds run_for);

// tests/servers/http_fixture.py on 127.0.0.1.
class http_fixture {
public:
    explicit http_fixture(const std::string &scratch_dir);
    ~http_fixture();
    http_fixture(const http_fixture &) = delete;
    http_fixture &operator=(const http_fixture &) = delete;
    int port() const { return port_; }
    std::string url(const std::string &path) const;
    void stop();
    void start_again();  // on the same port
    std::vector<std::string> log_lines() const;

private:
    void start(int port);
    std::string dir_;
    pid_t pid_ = -1;
    int port_ = 0;
    int starts_ = 0;
};

// A loopback TCP port with nobody listening (bound once, then released).
int closed_loopback_port();

}  // namespace cli_test

#endif

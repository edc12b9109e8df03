#include "cli_test_support.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace cli_test {

namespace {

std::vector<std::string> child_environment(const env_changes &changes) {
    std::vector<std::string> env;
    for (char **e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    for (const std::string &change : changes) {
        const std::string name = change.substr(0, change.find('='));
        std::erase_if(env, [&](const std::string &entry) { return entry.substr(0, entry.find('=')) == name; });
        if (change.find('=') != std::string::npos) env.push_back(change);
    }
    return env;
}

std::vector<char *> pointers(std::vector<std::string> &texts) {
    std::vector<char *> result;
    for (std::string &t : texts) result.push_back(t.data());
    result.push_back(nullptr);
    return result;
}

pid_t spawn(const std::string &program, std::vector<std::string> argv, const env_changes &env,
            const std::string &out_path, const std::string &err_path) {
    argv.insert(argv.begin(), program);
    std::vector<std::string> envp = child_environment(env);
    std::vector<char *> argv_ptrs = pointers(argv), envp_ptrs = pointers(envp);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv_ptrs.data(), envp_ptrs.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + program);
    return pid;
}

int decode_status(int raw) {
    if (WIFEXITED(raw)) return WEXITSTATUS(raw);
    if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
    return -1;
}

// Exit status, or -1 after killing it when it outlives the timeout.
int wait_for(pid_t pid, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int raw = 0;
        const pid_t done = waitpid(pid, &raw, WNOHANG);
        if (done == pid) return decode_status(raw);
        if (done < 0) return -1;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &raw, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

}  // namespace

temp_dir::temp_dir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vantorel-cli-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

temp_dir::~temp_dir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string read_file(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string &path, const std::string &text) {
    std::ofstream(path, std::ios::binary) << text;
}

bool wait_until(const std::function<bool()> &condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

run_result run_cli(const std::vector<std::string> &args, const env_changes &env) {
    temp_dir scratch;
    const std::string out = scratch.path() + "/out", err = scratch.path() + "/err";
    run_result result;
    result.status = wait_for(spawn(CLI_EXECUTABLE, args, env, out, err), std::chrono::seconds(60));
    result.out = read_file(out);
    result.err = read_file(err);
    return result;
}

run_result run_cli_with_file_limit(const std::vector<std::string> &args, int max_kib) {
    std::vector<std::string> shell_args = {
        "-c", "trap '' XFSZ; ulimit -f " + std::to_string(max_kib) + " && exec \"$0\" \"$@\"", CLI_EXECUTABLE};
    shell_args.insert(shell_args.end(), args.begin(), args.end());
    temp_dir scratch;
    const std::string out = scratch.path() + "/out", err = scratch.path() + "/err";
    run_result result;
    result.status = wait_for(spawn("/bin/bash", shell_args, {}, out, err), std::chrono::seconds(60));
    result.out = read_file(out);
    result.err = read_file(err);
    return result;
}

background_cli::background_cli(const std::vector<std::string> &args, const std::string &scratch_dir)
    : background_cli(args, scratch_dir, {}) {}

background_cli::background_cli(const std::vector<std::string> &args, const std::string &scratch_dir,
                               const env_changes &env)
    : out_path_(scratch_dir + "/background.out"), err_path_(scratch_dir + "/background.err") {
    pid_ = spawn(CLI_EXECUTABLE, args, env, out_path_, err_path_);
}

background_cli::~background_cli() {
    if (pid_ > 0) wait(std::chrono::milliseconds(0));
}

std::string background_cli::out() const {
    return read_file(out_path_);
}

std::string background_cli::err() const {
    return read_file(err_path_);
}

void background_cli::send(int signal_number) {
    if (pid_ > 0) kill(pid_, signal_number);
}

int background_cli::wait(std::chrono::milliseconds timeout) {
    const int status = wait_for(pid_, timeout);
    pid_ = -1;
    return status;
}

run_result run_cli_on_terminal(const std::vector<std::string> &args, const env_changes &env, int columns,
                               std::chrono::milliseconds run_for) {
    std::vector<std::string> argv = args;
    argv.insert(argv.begin(), CLI_EXECUTABLE);
    std::vector<std::string> envp = child_environment(env);
    std::vector<char *> argv_ptrs = pointers(argv), envp_ptrs = pointers(envp);
    struct winsize size {};
    size.ws_row = 40;
    size.ws_col = static_cast<unsigned short>(columns);
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, &size);
    if (pid < 0) throw std::runtime_error("forkpty failed");
    if (pid == 0) {
        execve(argv_ptrs[0], argv_ptrs.data(), envp_ptrs.data());
        _exit(127);
    }
    run_result result;
    const auto start = std::chrono::steady_clock::now();
    bool interrupted = run_for.count() == 0;
    for (;;) {
        if (!interrupted && std::chrono::steady_clock::now() - start >= run_for) {
            kill(pid, SIGINT);
            interrupted = true;
        }
        if (std::chrono::steady_clock::now() - start > std::chrono::seconds(60)) kill(pid, SIGKILL);
        struct pollfd p {master, POLLIN, 0};
        if (poll(&p, 1, 50) > 0) {
            char buffer[4096];
            const ssize_t n = read(master, buffer, sizeof buffer);
            if (n <= 0) break;  // EIO once the child and its terminal are gone
            result.out.append(buffer, std::size_t(n));
        }
    }
    close(master);
    int raw = 0;
    waitpid(pid, &raw, 0);
    result.status = decode_status(raw);
    return result;
}

http_fixture::http_fixture(const std::string &scratch_dir) : dir_(scratch_dir) {
    start(0);
}

http_fixture::~http_fixture() {
    stop();
}

std::string http_fixture::url(const std::string &path) const {
    return "http://127.0.0.1:" + std::to_string(port_) + path;
}

void http_fixture::start(int port) {
    const std::string port_file = dir_ + "/fixture.port." + std::to_string(++starts_);
    const std::vector<std::string> args = {CLI_HTTP_FIXTURE, "--bind", "127.0.0.1", "--port", std::to_string(port),
                                           "--port-file", port_file, "--log", dir_ + "/fixture.log",
                                           "--max-seconds", "90"};
    pid_ = spawn(CLI_PYTHON, args, {}, dir_ + "/fixture.out", dir_ + "/fixture.err");
    if (!wait_until([&] { return std::filesystem::exists(port_file); }, std::chrono::seconds(15))) {
        throw std::runtime_error("the HTTP fixture did not start: " + read_file(dir_ + "/fixture.err"));
    }
    port_ = std::stoi(read_file(port_file));
}

void http_fixture::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    wait_for(pid_, std::chrono::seconds(10));
    pid_ = -1;
}

void http_fixture::start_again() {
    stop();
    start(port_);
}

std::vector<std::string> http_fixture::log_lines() const {
    std::vector<std::string> lines;
    std::istringstream in(read_file(dir_ + "/fixture.log"));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty()) lines.push_back(line);
    }
    return lines;
}

int closed_loopback_port() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
        throw std::runtime_error("cannot find a free loopback port");
    }
    close(fd);
    return ntohs(address.sin_port);
}

}  // namespace cli_test

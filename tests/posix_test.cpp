// Cases that need POSIX process and file-mode calls; built on POSIX hosts only.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <clocale>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>

#include "core/engine_state.h"
#include "store/state_store.h"
#include "monitors/monitors.h"
#include "platform/fault.h"
#include "platform/platform.h"
#include "probes/probes.h"
#include "test_support.h"

#ifndef VUE_UNPRIVILEGED_START
#error "VUE_UNPRIVILEGED_START names the unprivileged_start program"
#endif

namespace vue::test {
namespace {

using platform::fault_point;

class PosixRegistry : public engine_test {};
class PosixFiles : public engine_test {};
class PosixEnsureDir : public engine_test {};
class PosixStorageLock : public engine_test {};
class PosixLocale : public engine_test {};

// Two processes whose OS random source fails must still not draw the same
// identifiers: they would share one data/<id>/ directory. The parent draws
// before it forks, so the child starts from the parent's generator state.
TEST_F(PosixRegistry, FallbackIdentifiersDifferBetweenProcesses) {
    auto draw = [] {
        platform::fault_arm(fault_point::random_source, 1, true);
        std::string ids;
        for (int i = 0; i < 4; ++i) {
            char id[ID_SIZE];
            generate_monitor_id(id);
            ids += id;
        }
        return ids;
    };
    const std::string before_fork = draw();
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::string ids = draw();
        ssize_t n = write(fds[1], ids.data(), ids.size());
        _exit(n == static_cast<ssize_t>(ids.size()) ? 0 : 1);
    }
    close(fds[1]);
    std::string theirs(4 * 36, '\0');
    size_t got = 0;
    while (got < theirs.size()) {
        ssize_t n = read(fds[0], theirs.data() + got, theirs.size() - got);
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(got, theirs.size());
    std::string ours = draw();
    EXPECT_NE(ours, before_fork);
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) EXPECT_NE(ours.substr(36 * i, 36), theirs.substr(36 * j, 36));
    }
}

// The lock belongs to the process: one killed without a chance to stop the
// engine leaves the directory free for the next.
TEST_F(PosixStorageLock, KilledOwnerLeavesTheDirectoryFree) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[0]);
        const char started = uptime_engine_init(utf8(storage_).c_str()) == 0 ? 'y' : 'n';
        if (write(fds[1], &started, 1) != 1) _exit(1);
        for (;;) pause();
    }
    close(fds[1]);
    char started = 0;
    ASSERT_EQ(read(fds[0], &started, 1), 1);
    close(fds[0]);
    ASSERT_EQ(started, 'y');
    EXPECT_EQ(uptime_engine_init(utf8(storage_).c_str()), -1);
    EXPECT_STREQ(uptime_last_error(), "Storage directory in use by another process");
    // The owner's process id is there for people to see.
    EXPECT_EQ(read_file_bytes(storage_ / ".lock"), std::to_string(child) + "\n");
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    start();
    EXPECT_EQ(read_file_bytes(storage_ / ".lock"), std::to_string(getpid()) + "\n");
}

// A directory the process may not write. Run as root, the case runs the
// engine as uid 65534 through setpriv, since root may write anywhere; run
// as another user, it runs the engine as that user.
TEST_F(PosixStorageLock, DirectoryItMayNotWrite) {
    const bool as_root = ::geteuid() == 0;
    if (as_root && std::system("command -v setpriv >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "running as root without setpriv: no way to start the engine as an unprivileged user";
    }
    // Every directory on the way must be open to the other user.
    fs::permissions(root_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                               fs::perms::others_read | fs::perms::others_exec);
    const fs::perms read_only = fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec;
    const std::string monitors = R"([{"id":"kept","name":"k","type":7}])";
    auto state_with_lock = [&monitors](const fs::path &dir, fs::perms lock_mode) {
        write_file_bytes(dir / "monitors.json", monitors);
        fs::permissions(dir / "monitors.json", fs::perms::owner_read | fs::perms::owner_write |
                                                   fs::perms::group_read | fs::perms::others_read);
        write_file_bytes(dir / ".lock", "");
        fs::permissions(dir / ".lock", lock_mode);
    };
    const struct {
        const char *label;
        std::function<fs::path(const fs::path &)> make;  // returns the storage directory, below `base`
        bool started;
    } cases[] = {
        {"an empty directory", [](const fs::path &base) { return base; }, false},
        {"a missing directory in one it may not write", [](const fs::path &base) { return base / "missing"; },
         false},
        {"state and a lock file it may not open",
         [&](const fs::path &base) {
             state_with_lock(base, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
             return base;
         },
         false},
        // The lock can be had, but no file can be written: the start works
        // on what is there, and the save says that it failed.
        {"state and a lock file it may open",
         [&](const fs::path &base) {
             state_with_lock(base, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                       fs::perms::group_write | fs::perms::others_read | fs::perms::others_write);
             return base;
         },
         true},
    };
    int n = 0;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        const fs::path base = root_ / ("case" + std::to_string(n++));
        fs::create_directories(base);
        const fs::path dir = c.make(base);
        fs::permissions(base, read_only);
        const auto before = list_tree(base);
        std::map<std::string, std::string> bytes_before;
        for (const std::string &name : before) {
            if (name != ".lock" && fs::is_regular_file(base / name)) bytes_before[name] = read_file_bytes(base / name);
        }
        const std::string command =
            std::string(as_root ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "") +
            VUE_UNPRIVILEGED_START + " " + utf8(dir) + " 2>&1";
        std::string output;
        if (FILE *pipe = ::popen(command.c_str(), "r")) {
            char buffer[4096];
            for (size_t got; (got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, got);
            ::pclose(pipe);
        }
        fs::permissions(base, fs::perms::owner_all, fs::perm_options::add);
        if (output.rfind("ready\n", 0) != 0) {
            GTEST_SKIP() << "cannot run the engine as " << (as_root ? "uid 65534" : "this user") << ": " << command
                         << " said: " << output;
        }
        if (c.started) {
            EXPECT_NE(output.find("init 0 \nlist [{\"id\":\"kept\""), std::string::npos) << output;
            EXPECT_NE(output.find("\nadd 0\n"), std::string::npos) << output;
            EXPECT_NE(output.find("\nsave -1 Failed to save state\n"), std::string::npos) << output;
        } else {
            EXPECT_EQ(output, "ready\ninit -1 Cannot lock storage directory\n");
        }
        // Nothing written, nothing set aside, nothing lost.
        EXPECT_EQ(list_tree(base), before);
        for (const auto &[name, bytes] : bytes_before) EXPECT_EQ(read_file_bytes(base / name), bytes) << name;
    }
}

// A host may switch LC_NUMERIC to a locale with a decimal comma; the event
// must stay JSON. The locale is made for the test from the system's locale
// sources, so it does not depend on which locales a machine has built.
TEST_F(PosixLocale, EventBodyIgnoresADecimalCommaLocale) {
    const fs::path locales = root_ / "locales";
    fs::create_directories(locales);
    const std::string make = "localedef -i de_DE -f UTF-8 " + (locales / "de_DE.UTF-8").string() + " >/dev/null 2>&1";
    if (std::system(make.c_str()) != 0) GTEST_SKIP() << "localedef or the de_DE locale source is not installed";
    const char *previous_path = std::getenv("LOCPATH");
    const std::string saved_path = previous_path != nullptr ? previous_path : "";
    setenv("LOCPATH", locales.c_str(), 1);
    const std::string saved_locale = std::setlocale(LC_NUMERIC, nullptr);
    ASSERT_NE(std::setlocale(LC_NUMERIC, "de_DE.UTF-8"), nullptr);
    char probe[16];
    std::snprintf(probe, sizeof probe, "%.2f", 0.04);
    const std::string body = status_change_body("id", "n", 0, 0.04, 1765360000);
    std::setlocale(LC_NUMERIC, saved_locale.c_str());
    if (previous_path != nullptr) {
        setenv("LOCPATH", saved_path.c_str(), 1);
    } else {
        unsetenv("LOCPATH");
    }
    ASSERT_STREQ(probe, "0,04");  // the locale really is in force
    EXPECT_EQ(body, R"({"event":"status_change","monitor_id":"id","name":"n","status":0,"status_text":"DOWN",)"
                    R"("latency_ms":0.04,"timestamp":1765360000})");
}

// Owner-only files and directories: config.json may hold a secret token.
TEST_F(PosixFiles, StateIsOwnerOnly) {
    const mode_t old_mask = ::umask(0);  // the modes must not depend on the host's umask
    start();
    std::string id = add();
    ASSERT_EQ(uptime_set_webhook_url("https://h/?token=secret"), 0);
    ::umask(old_mask);
    auto mode_of = [](const fs::path &p) {
        struct stat st{};
        EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
        return st.st_mode & 07777;
    };
    for (const fs::path &dir : {storage_, storage_ / "data", storage_ / "data" / id}) {
        SCOPED_TRACE(dir.string());
        EXPECT_EQ(mode_of(dir), 0700u);
    }
    for (const fs::path &f : {storage_ / "config.json", storage_ / "monitors.json", dat_path(id)}) {
        SCOPED_TRACE(f.string());
        EXPECT_EQ(mode_of(f), 0600u);
    }
}

// On POSIX a backslash is a name byte to the OS but a separator to the
// engine, and a leading '/' is an absolute path.
TEST_F(PosixEnsureDir, BackslashIsASeparatorAndATrailingSlashIsHarmless) {
    scoped_working_directory in(root_);
    ensure_dir("p\\q/");
    // Here a backslash is an ordinary name byte to the OS, so the attempts
    // "p", "p\q" and "p\q/" leave two directories behind.
    EXPECT_EQ(list_tree(root_), (std::vector<std::string>{"p", "p\\q"}));
}

TEST_F(PosixEnsureDir, LeadingSeparatorNeverAttemptsTheEmptyName) {
    // "/" alone: nothing to create and nothing to crash on.
    ensure_dir("/");
    ensure_dir("");
    fs::path target = root_ / "lead";
    ensure_dir(("/" + target.string().substr(1)).c_str());
    EXPECT_TRUE(fs::is_directory(target));
}

}  // namespace
}  // namespace vue::test

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
#include <string>

#include "core/engine_state.h"
#include "store/state_store.h"
#include "monitors/monitors.h"
#include "platform/fault.h"
#include "platform/platform.h"
#include "probes/probes.h"
#include "test_support.h"

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

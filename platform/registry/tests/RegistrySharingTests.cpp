// Several writers on one root at once, and data that outlives a connection.
// Other processes are this test binary run again on one worker test, with the
// root of the parent passed in the environment.

#include "winreg.h"

#include "TestHome.h"
#include "registry/RegistryValues.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using namespace trumik::platform;

constexpr const char* kHomeVar = "TRUMIK_REGISTRY_WORKER_HOME";
constexpr const char* kTaskVar = "TRUMIK_REGISTRY_WORKER_TASK";
const std::u16string kShared = u"Software\\TrumikTests\\Sharing";

std::u16string U16(const std::string& s)
{
    return std::u16string(s.begin(), s.end());
}

DWORD CountValues(const std::u16string& sub)
{
    auto key = OpenRegistryKey(HKEY_CURRENT_USER, sub);
    if (!key)
        return 0;
    DWORD values = 0;
    EXPECT_EQ(RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                               nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    return values;
}

// Starts this binary on the worker test with a task; returns its pid.
pid_t StartWorker(const std::string& task)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        env.emplace_back(*e);
    env.push_back(std::string(kHomeVar) + "=" + trumik::testing::TestHome().string());
    env.push_back(std::string(kTaskVar) + "=" + task);
    std::vector<char*> envp;
    for (auto& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    std::string filter = "--gtest_filter=RegistryWorker.DISABLED_Task";
    std::string disabled = "--gtest_also_run_disabled_tests";
    std::string brief = "--gtest_brief=1";
    char* argv[] = {self.data(), filter.data(), disabled.data(), brief.data(), nullptr};
    pid_t pid = -1;
    EXPECT_EQ(posix_spawn(&pid, self.c_str(), nullptr, nullptr, argv, envp.data()), 0);
    return pid;
}

int WaitWorker(pid_t pid)
{
    int status = 0;
    if (waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Writes values "<prefix><n>" for n below count.
void WriteValues(const std::u16string& sub, const std::u16string& prefix, int count)
{
    auto key = CreateRegistryKey(HKEY_CURRENT_USER, sub);
    ASSERT_TRUE(key);
    for (int n = 0; n < count; ++n) {
        std::u16string name = prefix + U16(std::to_string(n));
        DWORD data = static_cast<DWORD>(n);
        ASSERT_EQ(RegSetValueExW(key.get(), name.c_str(), 0, REG_DWORD, reinterpret_cast<BYTE*>(&data), 4),
                  ERROR_SUCCESS);
    }
}

// Run only as a worker process, on the parent's root.
TEST(RegistryWorker, DISABLED_Task)
{
    const char* home = std::getenv(kHomeVar);
    const char* task = std::getenv(kTaskVar);
    ASSERT_TRUE(home && task);
    setenv("TRUMIK_HOME", home, 1);
    std::string t = task;
    if (t.rfind("write:", 0) == 0) {
        // write:<prefix>
        WriteValues(kShared + u"\\Processes", U16(t.substr(6)), 150);
    } else if (t == "check") {
        EXPECT_EQ(ReadRegistryString(HKEY_LOCAL_MACHINE, kShared + u"\\Persist", u"FromParent"), u"parent");
        ASSERT_EQ(
            WriteRegistryString(HKEY_LOCAL_MACHINE, kShared + u"\\Persist\\Child", u"FromChild", u"child"),
            ERROR_SUCCESS);
    } else {
        FAIL() << "unknown task " << t;
    }
}

TEST(RegistrySharing, ThreadsWritingAtOnceLoseNothing)
{
    const std::u16string sub = kShared + u"\\Threads";
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            WriteValues(sub, u"t" + U16(std::to_string(t)) + u"_", 100);
            // Keys made and dropped meanwhile do not disturb the values.
            auto key = CreateRegistryKey(HKEY_CURRENT_USER, sub + u"\\Scratch" + U16(std::to_string(t)));
            EXPECT_TRUE(key);
            EXPECT_EQ(
                RegDeleteTreeW(HKEY_CURRENT_USER, (sub + u"\\Scratch" + U16(std::to_string(t))).c_str()),
                ERROR_SUCCESS);
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(CountValues(sub), 400u);
    auto key = OpenRegistryKey(HKEY_CURRENT_USER, sub);
    EXPECT_TRUE(EnumRegistrySubKeys(key.get()).empty());
    EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, sub.c_str()), ERROR_SUCCESS);
}

TEST(RegistrySharing, ReadersOnThreadsSeeWholeValuesInOrderWhileAWriterRewritesThem)
{
    // A value whose bytes all carry its version: a reader that sees mixed
    // bytes saw a half-written value, one that sees a version go back saw an
    // old state after a newer one.
    const std::u16string sub = kShared + u"\\Versions";
    constexpr int kVersions = 200;
    constexpr DWORD kSize = 8192;
    auto write = [&](int version) {
        std::vector<BYTE> data(kSize, static_cast<BYTE>(version));
        return WriteRegistryBinary(HKEY_CURRENT_USER, sub, u"Data", data);
    };
    ASSERT_EQ(write(0), ERROR_SUCCESS);
    std::atomic<bool> done{false};
    std::atomic<int> reads{0};
    std::vector<std::string> problems(3);
    std::vector<std::thread> readers;
    for (size_t t = 0; t < problems.size(); ++t)
        readers.emplace_back([&, t] {
            int last = 0;
            while (!done.load() && problems[t].empty()) {
                auto data = ReadRegistryBinary(HKEY_CURRENT_USER, sub, u"Data");
                reads.fetch_add(1);
                if (!data || data->size() != kSize)
                    problems[t] = "a read failed or came short";
                else if (std::count(data->begin(), data->end(), data->front()) != kSize)
                    problems[t] = "a value was half written";
                else if (data->front() < last)
                    problems[t] =
                        "version " + std::to_string(data->front()) + " after " + std::to_string(last);
                else
                    last = data->front();
            }
        });
    // The writes begin once every reader has read (counted, not timed).
    while (reads.load() < static_cast<int>(problems.size()))
        std::this_thread::yield();
    for (int version = 1; version < kVersions; ++version)
        ASSERT_EQ(write(version), ERROR_SUCCESS);
    done.store(true);
    for (auto& reader : readers)
        reader.join();
    for (const std::string& problem : problems)
        EXPECT_EQ(problem, "");
    auto last = ReadRegistryBinary(HKEY_CURRENT_USER, sub, u"Data");
    ASSERT_TRUE(last);
    EXPECT_EQ(last->front(), kVersions - 1);
    EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, sub.c_str()), ERROR_SUCCESS);
}

TEST(RegistrySharing, ProcessesWritingAtOnceLoseNothing)
{
    const std::u16string sub = kShared + u"\\Processes";
    ASSERT_TRUE(CreateRegistryKey(HKEY_CURRENT_USER, sub));
    pid_t a = StartWorker("write:a");
    pid_t b = StartWorker("write:b");
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);

    // Keep writing here for as long as the workers run.
    auto key = CreateRegistryKey(HKEY_CURRENT_USER, sub);
    int written = 0;
    int done = 0;
    int status[2] = {-1, -1};
    pid_t pids[2] = {a, b};
    while (done < 2 || written < 50) {
        std::u16string name = u"p" + U16(std::to_string(written));
        ASSERT_EQ(RegSetValueExW(key.get(), name.c_str(), 0, REG_BINARY, nullptr, 0), ERROR_SUCCESS);
        ++written;
        for (int i = 0; i < 2; ++i) {
            int st = 0;
            if (pids[i] > 0 && waitpid(pids[i], &st, WNOHANG) == pids[i]) {
                status[i] = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
                pids[i] = 0;
                ++done;
            }
        }
    }
    EXPECT_EQ(status[0], 0);
    EXPECT_EQ(status[1], 0);
    EXPECT_EQ(CountValues(sub), static_cast<DWORD>(300 + written));
    EXPECT_EQ(ReadRegistryDword(HKEY_CURRENT_USER, sub, u"A149"), 149u);
    EXPECT_EQ(ReadRegistryDword(HKEY_CURRENT_USER, sub, u"b0"), 0u);
    EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, sub.c_str()), ERROR_SUCCESS);
}

TEST(RegistrySharing, AnotherProcessSeesTheData)
{
    const std::u16string sub = kShared + u"\\Persist";
    ASSERT_EQ(WriteRegistryString(HKEY_LOCAL_MACHINE, sub, u"FromParent", u"parent"), ERROR_SUCCESS);
    EXPECT_EQ(WaitWorker(StartWorker("check")), 0);
    EXPECT_EQ(ReadRegistryString(HKEY_LOCAL_MACHINE, sub + u"\\child", u"fromchild"), u"child");
    EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, sub.c_str()), ERROR_SUCCESS);
}

TEST(RegistrySharing, AnotherRootIsAnotherRegistry)
{
    const std::u16string sub = kShared + u"\\Roots";
    ASSERT_EQ(WriteRegistryString(HKEY_CURRENT_USER, sub, u"Here", u"first"), ERROR_SUCCESS);
    auto key = OpenRegistryKey(HKEY_CURRENT_USER, sub);
    ASSERT_TRUE(key);

    const std::string home = trumik::testing::TestHome().string();
    const auto other = trumik::testing::MakeTempDir("other-root");
    setenv("TRUMIK_HOME", other.c_str(), 1);
    EXPECT_EQ(ReadRegistryString(HKEY_CURRENT_USER, sub, u"Here"), std::nullopt);
    DWORD size = 0;
    // The handle names a key of the registry it was opened in.
    EXPECT_EQ(RegQueryValueExW(key.get(), u"Here", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
    ASSERT_EQ(WriteRegistryString(HKEY_CURRENT_USER, sub, u"There", u"second"), ERROR_SUCCESS);
    EXPECT_TRUE(std::filesystem::exists(other / "registry.db"));

    // Back on the first root, reopened from its file.
    setenv("TRUMIK_HOME", home.c_str(), 1);
    EXPECT_EQ(ReadRegistryString(HKEY_CURRENT_USER, sub, u"Here"), u"first");
    EXPECT_EQ(ReadRegistryString(HKEY_CURRENT_USER, sub, u"There"), std::nullopt);
    EXPECT_EQ(QueryRegistryString(key.get(), u"Here"), u"first");
    EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, sub.c_str()), ERROR_SUCCESS);
}

} // namespace

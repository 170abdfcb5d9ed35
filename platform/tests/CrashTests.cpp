// A writer killed at any step of a write leaves exactly the state before the
// write or exactly the state after it, as a fresh process reads it.
//
// For each operation of crash_writer: make the old state, do the operation
// once to learn the new state, then, on a fresh copy of the old state for
// each N = 1, 2, ..., run the operation with TRUMIK_TEST_KILL_AT_STEP=N until
// it runs to the end. After every kill, a new process dumps the whole state
// (registry, stores, saved store file, containers with their keys opened)
// and the dump must equal the old one or the new one.
#include "TestHome.h"

#include <gtest/gtest.h>

#include <cctype>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
namespace tt = trumik::testing;

namespace {

// Built beside the test.
fs::path Writer()
{
    return fs::read_symlink("/proc/self/exe").parent_path() / "crash_writer";
}

struct Outcome {
    int status = 0; // as waitpid gives it
    std::string out;
};

// Runs crash_writer with its arguments on the root `home`, with the step to
// die at (0: none); standard error goes to the test's own.
Outcome RunWriter(const fs::path& home, std::vector<std::string> args, long killAt = 0)
{
    const fs::path outFile = home.parent_path() / (home.filename().string() + ".out");
    pid_t child = fork();
    if (child == 0) {
        setenv("TRUMIK_HOME", home.c_str(), 1);
        if (killAt > 0)
            setenv("TRUMIK_TEST_KILL_AT_STEP", std::to_string(killAt).c_str(), 1);
        else
            unsetenv("TRUMIK_TEST_KILL_AT_STEP");
        int fd = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0 || dup2(fd, 1) < 0)
            _exit(126);
        std::vector<char*> argv;
        const std::string exe = Writer().string();
        argv.push_back(const_cast<char*>(exe.c_str()));
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    Outcome o;
    waitpid(child, &o.status, 0);
    o.out = tt::ReadFile(outFile);
    return o;
}

bool ExitedWell(const Outcome& o)
{
    return WIFEXITED(o.status) && WEXITSTATUS(o.status) == 0;
}

std::string Dump(const fs::path& home)
{
    Outcome o = RunWriter(home, {"dump"});
    EXPECT_TRUE(ExitedWell(o)) << "the state after the write cannot be read: status " << o.status;
    return o.out;
}

// A key the operation generates is new at every run: its public key's hash,
// when it is not one of the old state, reads as "generated". That its private
// key opens and matches it stays in the dump.
std::string Normalise(std::string state, const std::string& oldState)
{
    const std::string marker = "  public 0 ";
    for (size_t at = state.find(marker); at != std::string::npos; at = state.find(marker, at + 1)) {
        const size_t from = at + marker.size(), end = state.find('\n', from);
        const std::string hash = state.substr(from, end - from);
        if (oldState.find(marker + hash + "\n") == std::string::npos)
            state.replace(from, end - from, "generated");
    }
    return state;
}

void CopyTree(const fs::path& from, const fs::path& to)
{
    fs::remove_all(to);
    fs::copy(from, to, fs::copy_options::recursive);
}

std::vector<std::string> OperationNames()
{
    if (!fs::exists(Writer()))
        return {"crash_writer is not built"};
    char path[] = "/tmp/trumik-crash-list-XXXXXX";
    const fs::path home = mkdtemp(path);
    Outcome o = RunWriter(home / "home", {"list"});
    fs::remove_all(home);
    std::vector<std::string> names;
    size_t start = 0;
    for (size_t end; (end = o.out.find('\n', start)) != std::string::npos; start = end + 1)
        names.push_back(o.out.substr(start, end - start));
    return names;
}

class KilledWriter : public ::testing::TestWithParam<std::string> {};

TEST_P(KilledWriter, LeavesTheOldOrTheNewStateAtEveryStep)
{
    const std::string op = GetParam();
    ASSERT_TRUE(fs::exists(Writer())) << op;
    const fs::path base = tt::MakeTempDir("crash-" + op);
    const fs::path oldHome = base / "old", newHome = base / "new", killed = base / "killed";
    fs::create_directories(oldHome);
    ASSERT_TRUE(ExitedWell(RunWriter(oldHome, {"setup", op}))) << "setup of " << op;
    const std::string oldState = Dump(oldHome);
    CopyTree(oldHome, newHome);
    ASSERT_TRUE(ExitedWell(RunWriter(newHome, {"run", op}))) << op << " does not run";
    const std::string newState = Normalise(Dump(newHome), oldState);
    ASSERT_NE(oldState, newState) << op << " changes nothing";

    int sawOld = 0, sawNew = 0;
    long step = 1, lastOldStep = 0;
    for (;; ++step) {
        ASSERT_LT(step, 1000) << op << " never ran to its end";
        CopyTree(oldHome, killed);
        Outcome o = RunWriter(killed, {"run", op}, step);
        if (ExitedWell(o))
            break; // fewer steps than `step`: the whole operation ran
        ASSERT_TRUE(WIFSIGNALED(o.status) && WTERMSIG(o.status) == SIGKILL)
            << op << " at step " << step << " ended with status " << o.status;
        const std::string state = Normalise(Dump(killed), oldState);
        if (state == oldState) {
            ++sawOld;
            lastOldStep = step;
        } else if (state == newState) {
            ++sawNew;
        } else {
            ADD_FAILURE() << op << " killed at step " << step
                          << " left a state that is neither the old nor the new one\n"
                          << "--- old\n"
                          << oldState << "--- new\n"
                          << newState << "--- found\n"
                          << state;
            return;
        }
    }
    // The leftovers of a writer killed at its last step before the write
    // became visible (a whole temporary file, a journal) do not stop the next
    // writer, and it leaves the new state.
    if (lastOldStep > 0) {
        CopyTree(oldHome, killed);
        ASSERT_FALSE(ExitedWell(RunWriter(killed, {"run", op}, lastOldStep)));
        ASSERT_TRUE(ExitedWell(RunWriter(killed, {"run", op})))
            << op << " after a kill at step " << lastOldStep;
        EXPECT_EQ(Normalise(Dump(killed), oldState), newState)
            << op << " after a kill at step " << lastOldStep;
    }
    // The kills landed before and after the write became visible.
    EXPECT_GT(sawOld, 0) << op << ": " << step - 1 << " steps";
    EXPECT_GT(sawNew, 0) << op << ": " << step - 1 << " steps";
    std::printf("%s: %ld write steps, %d kills left the old state, %d the new one\n", op.c_str(), step - 1,
                sawOld, sawNew);
}

INSTANTIATE_TEST_SUITE_P(Platform, KilledWriter, ::testing::ValuesIn(OperationNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string name;
                             for (char c : info.param)
                                 name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

} // namespace

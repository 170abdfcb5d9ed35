#include "TestHome.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace trumik::testing {

namespace {
std::filesystem::path g_home;
int g_counter = 0;
} // namespace

const std::filesystem::path& TestHome()
{
    return g_home;
}

std::filesystem::path MakeTempDir(const std::string& prefix)
{
    auto dir = g_home / (prefix + "-" + std::to_string(++g_counter));
    std::filesystem::create_directories(dir);
    return dir;
}

std::string ReadFile(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path.string());
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteFile(const std::filesystem::path& path, const std::string& content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

int RunCommand(const std::string& command, std::string* output, bool mergeStderr)
{
    std::string full = command + (mergeStderr ? " 2>&1" : "");
    FILE* pipe = popen(full.c_str(), "r");
    if (!pipe)
        return -1;
    std::string text;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
        text.append(buffer, n);
    int status = pclose(pipe);
    if (output)
        *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunApart(const std::filesystem::path& dir, const std::string& command, std::string& out, std::string& err)
{
    const std::filesystem::path outFile = dir / ".run-stdout", errFile = dir / ".run-stderr";
    const int status = RunCommand("cd '" + dir.string() + "' && " + command + " > '" + outFile.string() +
                                      "' 2> '" + errFile.string() + "'",
                                  nullptr, false);
    out = ReadFile(outFile);
    err = ReadFile(errFile);
    return status;
}

} // namespace trumik::testing

int main(int argc, char** argv)
{
    char pattern[] = "/tmp/trumik-test-XXXXXX";
    const char* dir = mkdtemp(pattern);
    if (!dir) {
        std::perror("mkdtemp");
        return 2;
    }
    trumik::testing::g_home = dir;
    setenv("TRUMIK_HOME", dir, 1);
    ::testing::InitGoogleTest(&argc, argv);
    int rc = RUN_ALL_TESTS();
    if (!std::getenv("TRUMIK_KEEP_TEST_HOME")) {
        std::error_code ec;
        std::filesystem::remove_all(trumik::testing::g_home, ec);
    }
    return rc;
}

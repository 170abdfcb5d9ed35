#include "internal/Home.h"

#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace trumik::platform {

std::filesystem::path HomeDir()
{
    std::filesystem::path root;
    if (const char* env = std::getenv("TRUMIK_HOME"); env && *env) {
        root = env;
    } else {
        const char* home = std::getenv("HOME");
        if (!home || !*home) {
            const passwd* pw = getpwuid(getuid());
            home = pw ? pw->pw_dir : "/tmp";
        }
        root = std::filesystem::path(home) / ".trumik";
    }
    std::error_code ec;
    if (!std::filesystem::exists(root, ec)) {
        std::filesystem::create_directories(root, ec);
        ::chmod(root.c_str(), 0700);
    }
    return root;
}

} // namespace trumik::platform

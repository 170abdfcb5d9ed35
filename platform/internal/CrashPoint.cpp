#include "internal/CrashPoint.h"

#if defined(TRUMIK_TEST_HOOKS) && TRUMIK_TEST_HOOKS

#include <atomic>
#include <csignal>
#include <cstdlib>
#include <unistd.h>

namespace trumik::platform {

namespace {

// The step to die at, read once: 0 when the variable is absent or not a
// positive number.
long KillStep() noexcept
{
    static const long step = [] {
        const char* text = std::getenv("TRUMIK_TEST_KILL_AT_STEP");
        if (!text || !*text)
            return 0L;
        char* end = nullptr;
        long n = std::strtol(text, &end, 10);
        return (*end == '\0' && n > 0) ? n : 0L;
    }();
    return step;
}

std::atomic<long> g_steps{0};

} // namespace

void CrashPoint() noexcept
{
    const long at = KillStep();
    if (at == 0)
        return;
    if (g_steps.fetch_add(1) + 1 == at) {
        ::kill(::getpid(), SIGKILL);
        ::_exit(137); // not reached: SIGKILL cannot be caught
    }
}

} // namespace trumik::platform

#endif

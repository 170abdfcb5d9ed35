#include "internal/FaultPoint.h"

#if defined(TRUMIK_TEST_HOOKS) && TRUMIK_TEST_HOOKS

#include <atomic>
#include <cstddef>

namespace trumik::platform {

namespace {

struct Armed {
    std::atomic<unsigned> failAt{0}; // 0: not armed
    std::atomic<unsigned> uses{0};
};

Armed g_points[static_cast<size_t>(FaultPoint::Count)];

} // namespace

void ArmFault(FaultPoint point, unsigned nthUse) noexcept
{
    Armed& armed = g_points[static_cast<size_t>(point)];
    armed.failAt = 0;
    armed.uses = 0;
    armed.failAt = nthUse;
}

bool FaultHere(FaultPoint point) noexcept
{
    Armed& armed = g_points[static_cast<size_t>(point)];
    const unsigned at = armed.failAt.load();
    if (at == 0 || armed.uses.fetch_add(1) + 1 != at)
        return false;
    armed.failAt = 0; // once
    return true;
}

} // namespace trumik::platform

#endif

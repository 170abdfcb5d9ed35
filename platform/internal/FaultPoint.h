// Platform calls that a test can make fail at a chosen use, for failures it
// cannot bring about from outside at the right moment (a file that vanishes
// between two checks of one call).
//
// In a build with TRUMIK_TEST_HOOKS, ArmFault(point, n) makes the n-th use of
// the point after it fail, once, whatever thread makes it; ArmFault(point, 0)
// disarms it. The function behind a point asks FaultHere() first and, when it
// answers true, fails as it would for real. Without the build option no point
// can be armed and FaultHere() is a constant false.
#pragma once

namespace trumik::platform {

enum class FaultPoint {
    PathFileExists, // PathFileExistsW and PathFileExistsA answer "not found"
    Count
};

#if defined(TRUMIK_TEST_HOOKS) && TRUMIK_TEST_HOOKS
void ArmFault(FaultPoint point, unsigned nthUse) noexcept;
bool FaultHere(FaultPoint point) noexcept;
#else
inline bool FaultHere(FaultPoint) noexcept
{
    return false;
}
#endif

} // namespace trumik::platform

// Write steps at which a test can have the writing process die.
//
// Every writer of persistent state (registry transactions, certificate store
// files, key container files) calls CrashPoint() between the steps of a write:
// after it begins, between its partial writes, before and
// after the step that makes it visible. In a build with TRUMIK_TEST_HOOKS,
// a process started with TRUMIK_TEST_KILL_AT_STEP=N ends itself with SIGKILL
// at the N-th such step, so that a test can stop a writer at each of its
// steps in turn and check what a reader finds afterwards. Without the build
// option the calls compile to nothing and the variable is never read.
#pragma once

namespace trumik::platform {

#if defined(TRUMIK_TEST_HOOKS) && TRUMIK_TEST_HOOKS
void CrashPoint() noexcept;
#else
inline void CrashPoint() noexcept {}
#endif

} // namespace trumik::platform

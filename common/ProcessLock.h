// The one process-wide lock of the component: it guards the class-wide error
// stacks, the security library's callback slot, library start-up and shut-down
// and the active crypto back-end. An XML operation holds it from its first
// library call to its last, so a back-end made active stays active for it.
#pragma once

#include <mutex>

namespace trumik::common {

std::recursive_mutex& ProcessLock();

using ProcessGuard = std::lock_guard<std::recursive_mutex>;

} // namespace trumik::common

// Threads and locks of the host: the kernel thread id, re-entrant critical
// sections and sleeping.
#pragma once

#include <cstdint>
#include <mutex>

namespace btr {

using TCriticalSection = std::recursive_mutex;
using TLockGuard = std::lock_guard<std::recursive_mutex>;

uint32_t GetCurrentThreadId();
void Sleep(uint32_t milliseconds);

} // namespace btr

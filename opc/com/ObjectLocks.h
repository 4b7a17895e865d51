// Locks for objects that are made and destroyed by the thousand (server objects, groups,
// their lifetime tokens, enumerators). The standard mutexes of this toolchain (winpthreads)
// allocate their state the first time they are taken, and an event when they are contended,
// and have no destructor that frees either: every object would leave its locks behind, and a
// server that serves clients for months would grow without end.
#pragma once

#include <windows.h>

namespace opc::com {

// Recursive: a critical section, deleted with the object.
class RecursiveLock {
public:
    RecursiveLock() noexcept { InitializeCriticalSectionEx(&section_, 0, CRITICAL_SECTION_NO_DEBUG_INFO); }
    ~RecursiveLock() { DeleteCriticalSection(&section_); }
    RecursiveLock(const RecursiveLock&) = delete;
    RecursiveLock& operator=(const RecursiveLock&) = delete;
    void lock() noexcept { EnterCriticalSection(&section_); }
    bool try_lock() noexcept { return TryEnterCriticalSection(&section_) != FALSE; }
    void unlock() noexcept { LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
};

// Not recursive: a slim reader/writer lock taken exclusively, which owns nothing.
class SlimLock {
public:
    SlimLock() noexcept = default;
    SlimLock(const SlimLock&) = delete;
    SlimLock& operator=(const SlimLock&) = delete;
    void lock() noexcept { AcquireSRWLockExclusive(&lock_); }
    bool try_lock() noexcept { return TryAcquireSRWLockExclusive(&lock_) != FALSE; }
    void unlock() noexcept { ReleaseSRWLockExclusive(&lock_); }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

} // namespace opc::com

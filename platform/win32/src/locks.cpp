// Slim reader/writer locks, exclusive use only: the lock word is 0 when free and holds the
// owner's thread identifier while owned, so that the stand-in can report what Windows
// leaves to a hang: a thread taking a lock it already owns, or releasing one it does not.
// Waiters sleep on the word (C++20 atomic wait), so the lock needs no set-up or clean-up
// and works from static storage at any point of a process's life.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "win32_internal.h"

namespace {

std::atomic_ref<PVOID> Word(PSRWLOCK lock) { return std::atomic_ref<PVOID>(lock->Ptr); }

// The lock word's value while `thread` owns the lock.
PVOID OwnerWord(DWORD thread) { return reinterpret_cast<PVOID>(static_cast<std::uintptr_t>(thread)); }

[[noreturn]] void Misuse(const char *what)
{
    std::fprintf(stderr, "tq win32: SrwLockMisuse: %s\n", what);
    std::abort();
}

}  // namespace

using namespace tqwin32;

extern "C" void WINAPI InitializeSRWLock(PSRWLOCK SRWLock) { SRWLock->Ptr = nullptr; }

extern "C" void WINAPI AcquireSRWLockExclusive(PSRWLOCK SRWLock)
{
    const PVOID self = OwnerWord(CurrentThreadId());
    auto word = Word(SRWLock);
    for (;;) {
        PVOID owner = nullptr;
        if (word.compare_exchange_weak(owner, self, std::memory_order_acquire))
            return;
        if (owner == self)
            Misuse("AcquireSRWLockExclusive by the thread that owns the lock (it would wait for itself)");
        if (owner != nullptr) {
            NoteSrwLockWait(1);
            word.wait(owner, std::memory_order_relaxed);
            NoteSrwLockWait(-1);
        }
    }
}

extern "C" void WINAPI ReleaseSRWLockExclusive(PSRWLOCK SRWLock)
{
    auto word = Word(SRWLock);
    if (word.load(std::memory_order_relaxed) != OwnerWord(CurrentThreadId()))
        Misuse("ReleaseSRWLockExclusive by a thread that does not own the lock");
    word.store(nullptr, std::memory_order_release);
    word.notify_all();
}

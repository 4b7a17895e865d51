// Blocks of one size carved out of 64 KB chunks taken straight from the system: the
// update service's cached values (a hundred thousand of them for a large AddItems) cost
// no heap block each and no heap header, and a chunk goes back to the system as soon as
// its last block is freed, so what RemoveGroup frees leaves the process.
//
// PooledAllocator<T> hands out single objects from the pool of sizeof(T) (arrays from
// the heap); it has no state, so std::allocate_shared stores nothing for it. Any thread
// may allocate and free.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <new>

namespace opc {

class BlockPool {
public:
    static constexpr std::size_t kChunkBytes = 64 * 1024; // the system's allocation granularity

    BlockPool(std::size_t blockBytes, std::size_t alignment) noexcept
        : block_(Round(blockBytes < sizeof(void*) ? sizeof(void*) : blockBytes, alignment)),
          first_(Round(sizeof(Chunk), alignment)), perChunk_((kChunkBytes - first_) / block_) {}
    BlockPool(const BlockPool&) = delete;
    BlockPool& operator=(const BlockPool&) = delete;

    // Throws std::bad_alloc.
    void* Allocate() {
        AcquireSRWLockExclusive(&lock_);
        Chunk* chunk = partial_;
        if (!chunk) {
            chunk = NewChunk();
            if (!chunk) {
                ReleaseSRWLockExclusive(&lock_);
                throw std::bad_alloc();
            }
        }
        void* block;
        if (chunk->free) {
            block = chunk->free;
            chunk->free = *static_cast<void**>(block);
        } else {
            block = reinterpret_cast<char*>(chunk) + first_ + chunk->carved * block_;
            ++chunk->carved;
        }
        if (++chunk->used == perChunk_) Unlink(chunk); // full
        ReleaseSRWLockExclusive(&lock_);
        return block;
    }

    void Free(void* block) noexcept {
        Chunk* chunk = reinterpret_cast<Chunk*>(reinterpret_cast<std::uintptr_t>(block) & ~(kChunkBytes - 1));
        AcquireSRWLockExclusive(&lock_);
        *static_cast<void**>(block) = chunk->free;
        chunk->free = block;
        if (--chunk->used == 0) {
            if (chunk->linked) Unlink(chunk);
            VirtualFree(chunk, 0, MEM_RELEASE);
            --chunks_;
        } else if (!chunk->linked) {
            Link(chunk);
        }
        ReleaseSRWLockExclusive(&lock_);
    }

    // Chunks held (tests, benchmarks).
    std::size_t Chunks() const noexcept {
        AcquireSRWLockShared(&lock_);
        const std::size_t n = chunks_;
        ReleaseSRWLockShared(&lock_);
        return n;
    }

private:
    struct Chunk {
        Chunk* previous; // in the list of chunks with free blocks
        Chunk* next;
        void* free;      // freed blocks
        std::size_t carved;
        std::size_t used;
        bool linked;
    };

    static std::size_t Round(std::size_t n, std::size_t to) noexcept { return (n + to - 1) / to * to; }

    Chunk* NewChunk() noexcept {
        void* memory = VirtualAlloc(nullptr, kChunkBytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        if (!memory) return nullptr;
        Chunk* chunk = static_cast<Chunk*>(memory);
        *chunk = Chunk{nullptr, nullptr, nullptr, 0, 0, false};
        Link(chunk);
        ++chunks_;
        return chunk;
    }
    void Link(Chunk* chunk) noexcept {
        chunk->previous = nullptr;
        chunk->next = partial_;
        if (partial_) partial_->previous = chunk;
        partial_ = chunk;
        chunk->linked = true;
    }
    void Unlink(Chunk* chunk) noexcept {
        if (chunk->previous) chunk->previous->next = chunk->next;
        else partial_ = chunk->next;
        if (chunk->next) chunk->next->previous = chunk->previous;
        chunk->linked = false;
    }

    mutable SRWLOCK lock_ = SRWLOCK_INIT;
    const std::size_t block_;
    const std::size_t first_;
    const std::size_t perChunk_;
    Chunk* partial_ = nullptr;
    std::size_t chunks_ = 0;
};

// The pool of blocks of Bytes, made on first use and kept for the life of the process (blocks
// may be freed by any thread at any time, also while the process ends).
template <std::size_t Bytes, std::size_t Alignment>
BlockPool& PoolOfSize() {
    static BlockPool* pool = new BlockPool(Bytes, Alignment);
    return *pool;
}

template <class T>
struct PooledAllocator {
    using value_type = T;
    PooledAllocator() noexcept = default;
    template <class U>
    PooledAllocator(const PooledAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        static_assert(alignof(T) <= 16, "PooledAllocator: alignment above 16");
        if (n == 1 && sizeof(T) <= BlockPool::kChunkBytes / 8)
            return static_cast<T*>(PoolOfSize<sizeof(T), alignof(T)>().Allocate());
        return static_cast<T*>(::operator new(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t n) noexcept {
        if (n == 1 && sizeof(T) <= BlockPool::kChunkBytes / 8) PoolOfSize<sizeof(T), alignof(T)>().Free(p);
        else ::operator delete(p);
    }
    template <class U>
    bool operator==(const PooledAllocator<U>&) const noexcept { return true; }
    template <class U>
    bool operator!=(const PooledAllocator<U>&) const noexcept { return false; }
};

} // namespace opc

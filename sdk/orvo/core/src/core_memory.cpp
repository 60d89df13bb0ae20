// Heap wrappers, atomic counters and memorybuffer_t.
#include "orvo/core/core_memory.h"

#include "orvo/core/core_log.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace orvo
{
namespace
{
void* default_allocate(u64 size, void*)
{
    return std::malloc(static_cast<size_t>(size));
}

void default_release(void* pointer, void*)
{
    std::free(pointer);
}

void* default_reallocate(void* pointer, u64 size, void*)
{
    return std::realloc(pointer, static_cast<size_t>(size));
}

const heap_allocator_t default_allocator = {default_allocate, default_release, default_reallocate, nullptr};
std::atomic<const heap_allocator_t*> current_allocator{&default_allocator};
} // namespace

void heap_set_allocator(const heap_allocator_t* allocator)
{
    current_allocator.store(allocator ? allocator : &default_allocator, std::memory_order_release);
}

void* heap_alloc(u64 size, u64, const char*)
{
    const heap_allocator_t* allocator = current_allocator.load(std::memory_order_acquire);
    // malloc(0) may legally return null; ask for one byte so null always means failure.
    void* pointer = allocator->allocate(size ? size : 1, allocator->user);
    if (!pointer)
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "FATAL ERROR failed to allocate %llu bytes", (unsigned long long)size);
    return pointer;
}

void heap_free(void* pointer, const char*)
{
    if (!pointer)
        return;
    const heap_allocator_t* allocator = current_allocator.load(std::memory_order_acquire);
    allocator->release(pointer, allocator->user);
}

void* heap_realloc(void* pointer, u64 old_size, u64 size, u64 alignment, const char* tag)
{
    if (!pointer)
        return heap_alloc(size, alignment, tag);
    const heap_allocator_t* allocator = current_allocator.load(std::memory_order_acquire);
    if (!allocator->reallocate)
    {
        void* grown = heap_alloc(size, alignment, tag);
        if (!grown)
            return nullptr;
        std::memcpy(grown, pointer, static_cast<size_t>(old_size < size ? old_size : size));
        heap_free(pointer, tag);
        return grown;
    }
    // realloc can move large blocks by remapping pages instead of copying them.
    void* grown = allocator->reallocate(pointer, size ? size : 1, allocator->user);
    if (!grown)
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "FATAL ERROR failed to allocate %llu bytes", (unsigned long long)size);
    return grown;
}

bool heap_check()
{
    return true;
}

u64 heap_usage()
{
    return 0;
}

int atomic_increment(int* value)
{
    return __atomic_add_fetch(value, 1, __ATOMIC_ACQ_REL);
}

int atomic_decrement(int* value)
{
    return __atomic_sub_fetch(value, 1, __ATOMIC_ACQ_REL);
}

void memorybuffer_initialise(memorybuffer_t& buffer)
{
    buffer.data = nullptr;
    buffer.num_bytes = 0;
    buffer.buf = nullptr;
    buffer.capacity = 0;
}

void memorybuffer_release(memorybuffer_t& buffer)
{
    heap_free(buffer.buf, ORVO_HEAP_TAG);
    memorybuffer_initialise(buffer);
}

bool memorybuffer_lock(memorybuffer_t& buffer, u64 n, u8*& out)
{
    // Storage is n + 1 bytes: a size near 2^64 would wrap to a tiny block
    // that the caller then writes n bytes into.
    if (n > MEMORYBUFFER_MAX_BYTES)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to allocate memory: %llu bytes is too large",
                   (unsigned long long)n);
        out = nullptr;
        return false;
    }
    if (buffer.capacity < n || (!buffer.buf && n > 0))
    {
        u8* storage = static_cast<u8*>(heap_alloc(n + 1, 16, ORVO_HEAP_TAG));
        if (!storage)
        {
            log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to allocate memory: %llu bytes", (unsigned long long)(n + 1));
            out = nullptr;
            return false;
        }
        u64 keep = buffer.buf ? buffer.num_bytes : 0;
        if (keep > n)
            keep = n;
        if (keep)
            std::memcpy(storage, buffer.buf, keep);
        std::memset(storage + keep, 0, n + 1 - keep);
        heap_free(buffer.buf, ORVO_HEAP_TAG);
        buffer.buf = storage;
        buffer.capacity = n;
    }
    buffer.data = buffer.buf;
    out = buffer.buf;
    return true;
}

void memorybuffer_unlock(memorybuffer_t& buffer, u64 n)
{
    if (!buffer.buf)
        return; // nothing was ever locked: n can only be 0
    buffer.num_bytes = n;
    buffer.buf[n] = 0;
}

bool memorybuffer_locka(memorybuffer_t& buffer, u64 n, u8*& out)
{
    u8* storage = nullptr;
    if (!memorybuffer_lock(buffer, buffer.num_bytes + n, storage))
    {
        out = nullptr;
        return false;
    }
    out = storage ? storage + buffer.num_bytes : nullptr;
    return true;
}

void memorybuffer_unlocka(memorybuffer_t& buffer, u64 n)
{
    memorybuffer_unlock(buffer, buffer.num_bytes + n);
}

bool memorybuffer_reserve(memorybuffer_t& buffer, u64 n)
{
    u8* storage = nullptr;
    if (!memorybuffer_lock(buffer, n, storage))
        return false;
    if (buffer.buf)
        buffer.buf[buffer.num_bytes] = 0;
    return true;
}

bool memorybuffer_set(memorybuffer_t& buffer, const void* bytes, u64 n)
{
    if (!bytes || n == 0)
    {
        memorybuffer_release(buffer);
        return true;
    }
    u8* storage = nullptr;
    if (!memorybuffer_lock(buffer, n, storage))
        return false;
    // memmove: the source may lie inside the buffer itself.
    std::memmove(storage, bytes, n);
    memorybuffer_unlock(buffer, n);
    return true;
}

bool memorybuffer_copy(memorybuffer_t& destination, const memorybuffer_t& source)
{
    if (&destination == &source)
        return true;
    return memorybuffer_set(destination, source.data, source.num_bytes);
}

bool memorybuffer_append(memorybuffer_t& buffer, const void* bytes, u64 n)
{
    if (!bytes || n == 0)
        return true;
    // The source may point into the buffer, whose storage the lock can move.
    u64 inner_offset = 0;
    bool inner = buffer.buf && bytes >= buffer.buf && bytes < buffer.buf + buffer.capacity + 1;
    if (inner)
        inner_offset = static_cast<u64>(static_cast<const u8*>(bytes) - buffer.buf);
    u8* tail = nullptr;
    if (!memorybuffer_locka(buffer, n, tail))
        return false;
    std::memmove(tail, inner ? buffer.buf + inner_offset : bytes, n);
    memorybuffer_unlocka(buffer, n);
    return true;
}

void memorybuffer_move(memorybuffer_t& from, memorybuffer_t& to)
{
    if (&from == &to)
        return;
    heap_free(to.buf, ORVO_HEAP_TAG);
    to = from;
    memorybuffer_initialise(from);
}

void memorybuffer_shift(memorybuffer_t& buffer, u64 n)
{
    if (n < buffer.num_bytes)
    {
        std::memmove(buffer.buf, buffer.buf + n, buffer.num_bytes - n);
        buffer.num_bytes -= n;
        buffer.data = buffer.buf;
    }
    else
    {
        buffer.num_bytes = 0;
        buffer.data = nullptr;
    }
}
} // namespace orvo

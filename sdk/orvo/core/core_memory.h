// Heap allocation with a logged failure, 32-bit atomic counters, the read-only
// byte block memory_t and the owned growable byte buffer memorybuffer_t.
// A buffer owns its storage from the first successful lock until release or a
// move away; nothing here locks, a buffer belongs to one thread at a time.
#pragma once

#include "orvo/core/core_types.h"

namespace orvo
{
// Read-only view of bytes that someone else keeps alive.
struct memory_t
{
    const void* data;
    u64 num_bytes;
};

// Growable owned byte buffer. buf holds capacity + 1 bytes so that every write
// can leave a terminating zero at buf[num_bytes].
struct memorybuffer_t
{
    u8* data;      // equals buf after any write; null when empty
    u64 num_bytes; // valid bytes
    u8* buf;       // owned storage, null when there is none
    u64 capacity;  // usable bytes, not counting the terminator byte
};

// The allocator behind heap_alloc/heap_free. Tests install one that fails on
// demand; a null record restores malloc/free.
struct heap_allocator_t
{
    void* (*allocate)(u64 size, void* user);
    void (*release)(void* pointer, void* user);
    // Optional: null makes heap_realloc allocate, copy and release.
    void* (*reallocate)(void* pointer, u64 size, void* user);
    void* user;
};

// --- heap -----------------------------------------------------------------
// Returns null and logs "FATAL ERROR failed to allocate N bytes" on failure.
// The alignment and tag are accepted for the call sites' sake and not used.
void* heap_alloc(u64 size, u64 alignment, const char* tag);
void heap_free(void* pointer, const char* tag);
// Grows (or shrinks) a block, keeping its first min(old, new) bytes; on
// failure the old block is untouched, the failure logged and null returned.
// old_size is what the caller knows of the block, for allocators without
// a reallocate hook.
void* heap_realloc(void* pointer, u64 old_size, u64 size, u64 alignment, const char* tag);
bool heap_check();
u64 heap_usage();
void heap_set_allocator(const heap_allocator_t* allocator);

// --- atomics --------------------------------------------------------------
// Atomic add of +1/-1; the new value is returned.
int atomic_increment(int* value);
int atomic_decrement(int* value);

// --- memorybuffer_t -------------------------------------------------------
// The largest size a buffer can be locked for; larger requests are refused.
const u64 MEMORYBUFFER_MAX_BYTES = u64(1) << 62;
void memorybuffer_initialise(memorybuffer_t& buffer);
void memorybuffer_release(memorybuffer_t& buffer);
// Makes room for n bytes and hands out the storage. On failure the buffer is
// unchanged, out is null and false is returned.
bool memorybuffer_lock(memorybuffer_t& buffer, u64 n, u8*& out);
void memorybuffer_unlock(memorybuffer_t& buffer, u64 n);
// Room to append n bytes behind the contents.
bool memorybuffer_locka(memorybuffer_t& buffer, u64 n, u8*& out);
void memorybuffer_unlocka(memorybuffer_t& buffer, u64 n);
bool memorybuffer_reserve(memorybuffer_t& buffer, u64 n);
// A null source or n == 0 releases the buffer.
bool memorybuffer_set(memorybuffer_t& buffer, const void* bytes, u64 n);
bool memorybuffer_copy(memorybuffer_t& destination, const memorybuffer_t& source);
bool memorybuffer_append(memorybuffer_t& buffer, const void* bytes, u64 n);
// to takes all of from (its own storage freed first); from becomes empty.
void memorybuffer_move(memorybuffer_t& from, memorybuffer_t& to);
// Drops the first n bytes; the storage is kept.
void memorybuffer_shift(memorybuffer_t& buffer, u64 n);

inline memory_t memorybuffer_view(const memorybuffer_t& buffer)
{
    return memory_t{buffer.data, buffer.num_bytes};
}
} // namespace orvo

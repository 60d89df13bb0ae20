// The string-id dictionary: entry blocks, interning, reference counts and the
// shut-down report. Entry blocks live until the process ends; releasing the
// dictionary only frees its table and keeps the blocks on a retired chain so
// that a later set-up adopts them again (ids held across it stay equal).
#include "orvo/core/core_stringid.h"

#include "orvo/core/core_log.h"

#include <atomic>
#include <cstddef>
#include <cstring>
#include <new>

namespace orvo
{
stringid_context_t stringid_ctx;

namespace
{
// The block in front of every interned text. The count must sit immediately
// before the text: holders reach it from the id alone.
struct entry_header_t
{
    entry_header_t* next; // retired chain, used only after the table is gone
    i32 padding;
    std::atomic<i32> count;
};
static_assert(offsetof(entry_header_t, count) + sizeof(std::atomic<i32>) == sizeof(entry_header_t),
              "the count must sit right before the text");
static_assert(sizeof(std::atomic<i32>) == sizeof(i32), "the count is a plain 32-bit word");

// Entries of a released table, kept reachable and ready to be adopted again.
// Guarded by the dictionary lock.
entry_header_t* retired_entries = nullptr;

entry_header_t* entry_header(const stringid_t& id)
{
    return reinterpret_cast<entry_header_t*>(const_cast<char*>(id.str) - sizeof(entry_header_t));
}

// The text up to its length or its first zero byte: a view that is not
// terminated at its length must not make the dictionary read past it.
string_t clip_text(const string_t& text)
{
    if (!text.str || text.length == 0)
        return string_t{empty_str.str, 0};
    const void* zero = std::memchr(text.str, 0, text.length);
    u64 length = zero ? static_cast<u64>(static_cast<const char*>(zero) - text.str) : text.length;
    return string_t{text.str, length};
}

void retire_table_entries()
{
    hashtable_t<stringid_t>& table = stringid_ctx.table;
    for (u64 b = 0; b < table.buckets.count; ++b)
    {
        const vector_t<stringid_t>& bucket = table.buckets.data[b];
        for (u64 i = 0; i < bucket.count; ++i)
        {
            entry_header_t* header = entry_header(bucket.data[i]);
            header->next = retired_entries;
            retired_entries = header;
        }
    }
}

void adopt_retired_entries()
{
    entry_header_t* keep = nullptr;
    while (entry_header_t* header = retired_entries)
    {
        retired_entries = header->next;
        stringid_t id;
        id.str = reinterpret_cast<const char*>(header + 1);
        id.length = std::strlen(id.str);
        if (hashtable_insert(stringid_ctx.table, id))
            header->next = nullptr;
        else
        {
            header->next = keep;
            keep = header;
        }
    }
    retired_entries = keep;
}

// Called with the lock held.
bool ensure_table()
{
    if (stringid_ctx.table.buckets.count != 0)
        return true;
    if (!hashtable_initialise(stringid_ctx.table, STRINGID_NUM_BUCKETS))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "string id dictionary: cannot create %llu buckets",
                   (unsigned long long)STRINGID_NUM_BUCKETS);
        return false;
    }
    adopt_retired_entries();
    return true;
}
} // namespace

int container_traits<stringid_t>::compare(const string_t& a, const string_t& b)
{
    // strcmp order for texts without inner zero bytes, without needing them
    // to be terminated.
    u64 n = a.length < b.length ? a.length : b.length;
    int order = n ? std::memcmp(a.str, b.str, n) : 0;
    if (order != 0)
        return order;
    return a.length < b.length ? -1 : (a.length > b.length ? 1 : 0);
}

u64 container_traits<stringid_t>::hash(const string_t& key)
{
    // elf_hash over a bounded view; the same buckets as elf_hash(text).
    u32 h = 0;
    for (u64 i = 0; i < key.length && key.str[i]; ++i)
    {
        h = (h << 4) + static_cast<u32>(static_cast<i32>(static_cast<i8>(key.str[i])));
        u32 g = h & 0xF0000000u;
        if (g != 0)
            h ^= g >> 24;
        h &= ~g;
    }
    return h;
}

void stringid_library_initialise()
{
    if (!mutex_lock(stringid_ctx.lock))
        return;
    if (stringid_ctx.initialise_count++ == 0)
        ensure_table();
    mutex_unlock(stringid_ctx.lock);
}

void stringid_library_release()
{
    if (!mutex_lock(stringid_ctx.lock))
        return;
    if (stringid_ctx.initialise_count <= 1)
    {
        retire_table_entries();
        hashtable_release(stringid_ctx.table);
        stringid_ctx.initialise_count = 0;
    }
    else
        --stringid_ctx.initialise_count;
    mutex_unlock(stringid_ctx.lock);
}

void stringid_library_check()
{
    if (!mutex_lock(stringid_ctx.lock))
        return;
    const hashtable_t<stringid_t>& table = stringid_ctx.table;
    // log_lock is false when Warning is off for General or the log is closed.
    if (table.num_entries != 0 && log_lock(LOGLEVEL_WARNING, LOGMODULE_GENERAL))
    {
        log_printf("string id dictionary: %llu unfreed entries", (unsigned long long)table.num_entries);
        for (u64 b = 0; b < table.buckets.count; ++b)
        {
            const vector_t<stringid_t>& bucket = table.buckets.data[b];
            for (u64 i = 0; i < bucket.count; ++i)
            {
                i32 count = stringid_count(bucket.data[i]);
                if (count > 1)
                    log_printf("\nref_count %d: %s", count, bucket.data[i].str);
            }
        }
        log_unlock();
    }
    mutex_unlock(stringid_ctx.lock);
}

bool stringid_resolve(stringid_t& id, const string_t& text)
{
    const string_t key = clip_text(text);
    if (!mutex_lock(stringid_ctx.lock))
        return false;

    bool resolved = false;
    stringid_t entry = {empty_str};
    if (ensure_table())
    {
        if (const stringid_t* found = hashtable_find(stringid_ctx.table, key))
        {
            entry = *found;
            // Take the new reference before dropping the old one: resolving an
            // id into its own entry must not pass through zero.
            stringid_incref(entry);
            resolved = true;
        }
        else
        {
            // The key is in memory, so its length plus the header cannot wrap.
            u64 size = sizeof(entry_header_t) + key.length + 1;
            void* block = heap_alloc(size, alignof(entry_header_t), ORVO_HEAP_TAG);
            if (block)
            {
                // One reference for the dictionary, one for the asker.
                entry_header_t* header = new (block) entry_header_t{nullptr, 0, {2}};
                char* copy = reinterpret_cast<char*>(header + 1);
                std::memcpy(copy, key.str, key.length);
                copy[key.length] = 0;
                entry.str = copy;
                entry.length = key.length;
                if (hashtable_insert(stringid_ctx.table, entry))
                    resolved = true;
                else
                {
                    log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "string id dictionary: cannot store \"%s\"", copy);
                    header->~entry_header_t();
                    heap_free(block, ORVO_HEAP_TAG);
                    entry = stringid_t{empty_str};
                }
            }
        }
    }
    // The old reference goes in every case: on failure the id becomes the
    // empty id so that it is never taken for the entry that was asked for.
    stringid_decref(id);
    id = entry;
    mutex_unlock(stringid_ctx.lock);
    return resolved;
}

void stringid_incref(const stringid_t& id)
{
    if (stringid_is_empty_id(id))
        return;
    entry_header(id)->count.fetch_add(1, std::memory_order_relaxed);
}

void stringid_decref(const stringid_t& id)
{
    if (stringid_is_empty_id(id))
        return;
    i32 count = entry_header(id)->count.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (count <= 0)
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "string id released too many times: %s", id.str);
}

void stringid_release(stringid_t& id)
{
    stringid_decref(id);
    id.str = empty_str.str;
    id.length = 0;
}

i32 stringid_count(const stringid_t& id)
{
    if (stringid_is_empty_id(id))
        return 0;
    return entry_header(id)->count.load(std::memory_order_relaxed);
}
} // namespace orvo

// The distributor's node-type table (node id -> node type) and the names of
// ids. The message dump reads it on any thread while holding the log lock,
// so reads take no lock: entries are atomics, the table is published by
// pointer and count, and an array outgrown by the writer stays allocated
// until the table is released. Writers hold the distributor mutex.
#include "orvo/core/core_msghub.h"

#include "orvo/core/src/core_msg_internal.h"

#include <atomic>
#include <new>

namespace orvo
{
namespace
{
const u64 MSGIDS_INITIAL_CAPACITY = 1033;
// Ids 0 to 8 are the fixed ids of the node types; allocated ids follow.
const u64 MSGIDS_FIXED = 9;

const string_t msgnode_type_names[MSGNODE_TYPE_COUNT] = {{"Unknown", 7}, {"General", 7}, {"TCL", 3},
                                                          {"Font", 4},    {"Image", 5},   {"TCL", 3},
                                                          {"Font", 4},    {"Image", 5},   {"TCL", 3}};
const string_t id_class_unknown = {"Unknown", 7};
const string_t id_class_event = {"EVENT", 5};
const string_t id_class_server = {"SERVER", 6};
const string_t id_class_client = {"CLIENT", 6};

typedef std::atomic<u32> entry_t;

struct idtable_t
{
    std::atomic<entry_t*> entries{nullptr};
    std::atomic<u64> count{0};
    u64 capacity = 0;        // writer only
    vector_t<entry_t*> retired; // outgrown arrays; writer only
};

idtable_t table;

entry_t* make_entries(u64 capacity)
{
    entry_t* entries = static_cast<entry_t*>(heap_alloc(capacity * sizeof(entry_t), alignof(entry_t), ORVO_HEAP_TAG));
    if (!entries)
        return nullptr;
    for (u64 i = 0; i < capacity; ++i)
        new (&entries[i]) entry_t(0);
    return entries;
}
} // namespace

bool msgids_initialise()
{
    msgids_release();
    entry_t* entries = make_entries(MSGIDS_INITIAL_CAPACITY);
    if (!entries)
        return false;
    vector_initialise(table.retired, 0, false);
    table.capacity = MSGIDS_INITIAL_CAPACITY;
    table.entries.store(entries, std::memory_order_release);
    table.count.store(MSGIDS_FIXED, std::memory_order_release);
    return true;
}

void msgids_release()
{
    table.count.store(0, std::memory_order_release);
    entry_t* entries = table.entries.exchange(nullptr, std::memory_order_acq_rel);
    heap_free(entries, ORVO_HEAP_TAG);
    for (u64 i = 0; i < table.retired.count; ++i)
        heap_free(table.retired.data[i], ORVO_HEAP_TAG);
    vector_release(table.retired);
    table.capacity = 0;
}

i32 msgids_append(i32 type)
{
    const u64 count = table.count.load(std::memory_order_relaxed);
    entry_t* entries = table.entries.load(std::memory_order_relaxed);
    if (!entries || count >= 0x7FFFFFFF)
        return -1;
    if (count == table.capacity)
    {
        const u64 capacity = vector_grown_capacity(table.capacity);
        entry_t* grown = make_entries(capacity);
        if (!grown)
            return -1;
        if (!vector_insert(table.retired, entries))
        {
            heap_free(grown, ORVO_HEAP_TAG);
            return -1;
        }
        for (u64 i = 0; i < count; ++i)
            grown[i].store(entries[i].load(std::memory_order_relaxed), std::memory_order_relaxed);
        table.entries.store(grown, std::memory_order_release);
        table.capacity = capacity;
        entries = grown;
    }
    entries[count].store(static_cast<u32>(type), std::memory_order_relaxed);
    table.count.store(count + 1, std::memory_order_release);
    return static_cast<i32>(count);
}

void msgids_set(i32 id, i32 type)
{
    const u64 count = table.count.load(std::memory_order_relaxed);
    entry_t* entries = table.entries.load(std::memory_order_relaxed);
    if (id < 0 || u64(id) >= count || !entries)
        return;
    entries[id].store(static_cast<u32>(type), std::memory_order_relaxed);
}

string_t distributor_id_to_str(i32 id)
{
    if (id < 0)
        return msgnode_type_names[MSGNODE_TYPE_UNKNOWN];
    const u64 count = table.count.load(std::memory_order_acquire);
    entry_t* entries = table.entries.load(std::memory_order_acquire);
    if (u64(id) >= count || !entries)
        return msgnode_type_names[MSGNODE_TYPE_UNKNOWN];
    return msgnode_type_name(static_cast<i32>(entries[id].load(std::memory_order_relaxed)));
}

string_t msgnode_type_name(i32 type)
{
    if (type < 0 || type >= MSGNODE_TYPE_COUNT)
        return msgnode_type_names[MSGNODE_TYPE_UNKNOWN];
    return msgnode_type_names[type];
}

string_t distributor_id_type_to_str(i32 id)
{
    if (id < 0)
        return id_class_unknown;
    if (distributor_id_is_event(id))
        return id_class_event;
    if (distributor_id_is_server(id))
        return id_class_server;
    return id_class_client;
}

bool distributor_id_is_event(i32 id)
{
    return id == MSGNODE_TYPE_GENERAL_EVENT || id == MSGNODE_TYPE_TCL_EVENT;
}

bool distributor_id_is_server(i32 id)
{
    return id >= MSGNODE_TYPE_FONT_SERVER && id <= MSGNODE_TYPE_TCL_SERVER;
}

bool distributor_id_is_client(i32 id)
{
    return id == 0 || id > MSGNODE_TYPE_TCL_SERVER;
}
} // namespace orvo

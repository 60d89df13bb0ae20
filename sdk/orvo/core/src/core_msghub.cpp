// The msg_t distributor: hubs, their channels and node lists, sending and
// pumping. Hub and node changes take the distributor mutex; delivery takes
// none. A hub's id list is immutable once published and swapped by pointer,
// and outgrown lists stay allocated until the distributor is released, so a
// sender on any thread can read the current list while the owner changes it.
#include "orvo/core/core_msghub.h"

#include "orvo/core/core_channel.h"
#include "orvo/core/core_log.h"
#include "orvo/core/core_mutex.h"
#include "orvo/core/core_thread.h"
#include "orvo/core/core_time.h"
#include "orvo/core/src/core_msg_internal.h"

#include <atomic>
#include <cstring>
#include <pthread.h>

namespace orvo
{
namespace
{
const u64 MSGHUB_INITIAL_NODES = 16;

// The node ids of one hub, count entries right after the record; never
// changed after publication.
struct idlist_t
{
    u64 count;
};

i32* idlist_ids(idlist_t* list)
{
    return reinterpret_cast<i32*>(list + 1);
}

const i32* idlist_ids(const idlist_t* list)
{
    return reinterpret_cast<const i32*>(list + 1);
}
} // namespace

struct msghub_t
{
    i32 index;
    string_t name;
    pthread_t owner;
    std::atomic<bool> attached;
    channel_t in[MSGHUB_MAX]; // in[k] carries the messages of hub k
    std::atomic<idlist_t*> ids;
    vector_t<msgnode_t*> nodes; // owner thread only; removal leaves null
    u32 delivering;             // nested deliveries on the owner thread
    bool pumping;
};

namespace
{
struct distributor_t
{
    global_mutex_t mutex;
    bool initialised = false;
    msghub_t hubs[MSGHUB_MAX];
    std::atomic<u32> count{0};
    msghub_t* main = nullptr;
    vector_t<idlist_t*> retired; // outgrown id lists, freed at release
};

distributor_t distributor;
thread_local msghub_t* thread_hub = nullptr;

bool is_own(const msghub_t* hub)
{
    return hub && hub->attached.load(std::memory_order_acquire) && pthread_equal(hub->owner, pthread_self());
}

bool list_holds(const msghub_t* hub, i32 id)
{
    const idlist_t* list = hub->ids.load(std::memory_order_acquire);
    if (!list)
        return false;
    const i32* ids = idlist_ids(list);
    for (u64 i = 0; i < list->count; ++i)
    {
        if (ids[i] == id)
            return true;
    }
    return false;
}

// Publishes a copy of the hub's list with one id added (add) or one
// occurrence removed. Under the mutex.
bool list_change(msghub_t* hub, i32 id, bool add)
{
    idlist_t* current = hub->ids.load(std::memory_order_relaxed);
    const u64 count = current ? current->count : 0;
    const u64 capacity = add ? count + 1 : count;
    idlist_t* list = static_cast<idlist_t*>(
        heap_alloc(sizeof(idlist_t) + capacity * sizeof(i32), alignof(idlist_t), ORVO_HEAP_TAG));
    if (!list)
        return false;
    if (current && !vector_insert(distributor.retired, current))
    {
        heap_free(list, ORVO_HEAP_TAG);
        return false;
    }
    const i32* from = current ? idlist_ids(current) : nullptr;
    i32* to = idlist_ids(list);
    u64 at = 0;
    bool removed = false;
    for (u64 i = 0; i < count; ++i)
    {
        if (!add && !removed && from[i] == id)
        {
            removed = true;
            continue;
        }
        to[at++] = from[i];
    }
    if (add)
        to[at++] = id;
    list->count = at;
    hub->ids.store(list, std::memory_order_release);
    return true;
}

void compact_nodes(msghub_t* hub)
{
    u64 at = 0;
    for (u64 i = 0; i < hub->nodes.count; ++i)
    {
        if (hub->nodes.data[i])
            hub->nodes.data[at++] = hub->nodes.data[i];
    }
    hub->nodes.count = at;
}

// Hands a message to the hub's nodes on the calling (owner) thread. A
// callback may send (a nested delivery), add or remove nodes: removal only
// clears the entry, and compaction waits until no delivery is under way.
void deliver(msghub_t* hub, const msg_t* msg)
{
    if (hub->delivering == 0)
        compact_nodes(hub);
    hub->delivering++;
    // Nodes added by a callback wait for the next message; a callback that
    // detaches the hub empties the list, which ends the walk.
    const u64 count = hub->nodes.count;
    for (u64 i = 0; i < count && i < hub->nodes.count; ++i)
    {
        msgnode_t* node = hub->nodes.data[i];
        if (node && (msg->dst_id == 0 || node->id == msg->dst_id))
            msgnode_receive(*node, msg);
    }
    hub->delivering--;
}

void print_failed_send(const msg_t* msg)
{
    if (!log_lock(LOGLEVEL_ERROR, LOGMODULE_MESSAGE))
        return;
    log_print("Failed to send message:\n");
    if (msg)
        msg_print(msg);
    log_print("\n");
    log_unlock();
}

// Sets a hub slot back to its zero state, freeing what it owns. Under the
// mutex, once no thread reads the hub any more.
void hub_clear(msghub_t* hub)
{
    vector_release(hub->nodes);
    heap_free(hub->ids.load(std::memory_order_relaxed), ORVO_HEAP_TAG);
    hub->ids.store(nullptr, std::memory_order_relaxed);
    hub->attached.store(false, std::memory_order_release);
    hub->index = 0;
    hub->name = empty_str;
    hub->delivering = 0;
    hub->pumping = false;
}

void detach_locked(msghub_t* hub)
{
    if (!hub->attached.load(std::memory_order_relaxed))
        return;
    hub->attached.store(false, std::memory_order_release);
    const u32 count = distributor.count.load(std::memory_order_relaxed);
    for (u32 k = 0; k < count; ++k)
    {
        // Senders to this hub now fail once its rings are full instead of
        // waiting for a pump that will never come.
        channel_close(hub->in[k]);
        channel_detach_reader(hub->in[k]);
        channel_close(distributor.hubs[k].in[hub->index]);
    }
    for (u64 i = 0; i < hub->nodes.count; ++i)
    {
        if (hub->nodes.data[i])
            hub->nodes.data[i]->hub = nullptr;
    }
    vector_release(hub->nodes);
    idlist_t* list = hub->ids.exchange(nullptr, std::memory_order_acq_rel);
    if (list && !vector_insert(distributor.retired, list))
    {
        // A sender may still read the list: better lost than freed under it.
        log_writef(LOGLEVEL_WARNING, LOGMODULE_MESSAGE, "Leaking the node list of message hub %.*s",
                   static_cast<int>(hub->name.length), hub->name.str);
    }
    if (thread_hub == hub)
    {
        thread_hub = nullptr;
        for (u32 k = 0; k < count; ++k)
        {
            if (is_own(&distributor.hubs[k]))
            {
                thread_hub = &distributor.hubs[k];
                break;
            }
        }
    }
    log_writef(LOGLEVEL_INFO, LOGMODULE_MESSAGE, "Detached message hub: %.*s", static_cast<int>(hub->name.length),
               hub->name.str);
}
} // namespace

// --- distributor lifecycle ------------------------------------------------------------

bool distributor_initialise()
{
    if (!mutex_lock(distributor.mutex))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to initialise message distributor");
        return false;
    }
    if (distributor.initialised)
    {
        mutex_unlock(distributor.mutex);
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to initialise message distributor");
        return false;
    }
    bool ok = msgids_initialise();
    if (ok)
    {
        vector_initialise(distributor.retired, 0, false);
        distributor.count.store(0, std::memory_order_release);
        distributor.initialised = true;
    }
    mutex_unlock(distributor.mutex);
    if (ok)
    {
        distributor.main = distributor_attach_hub(string_make("MAIN"));
        ok = distributor.main != nullptr;
        if (!ok)
            distributor_release();
    }
    if (!ok)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to initialise message distributor");
        return false;
    }
    log_writef(LOGLEVEL_INFO, LOGMODULE_MESSAGE, "Initialised message distributor");
    return true;
}

void distributor_release()
{
    if (!mutex_lock(distributor.mutex))
        return;
    if (!distributor.initialised)
    {
        mutex_unlock(distributor.mutex);
        return;
    }
    if (distributor.main)
        detach_locked(distributor.main);
    const u32 count = distributor.count.load(std::memory_order_relaxed);
    // A hub still attached belongs to a thread that still runs: it reads its
    // channels and writes into the others' rings, so nothing may be freed.
    bool running = false;
    for (u32 k = 0; k < count; ++k)
    {
        msghub_t* hub = &distributor.hubs[k];
        if (hub->attached.load(std::memory_order_acquire))
        {
            log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Message hub still attached at release: %.*s",
                       static_cast<int>(hub->name.length), hub->name.str);
            running = true;
        }
    }
    if (!running)
    {
        for (u32 k = 0; k < count; ++k)
        {
            for (u32 j = 0; j < count; ++j)
                channel_release(distributor.hubs[k].in[j]);
            hub_clear(&distributor.hubs[k]);
        }
        for (u64 i = 0; i < distributor.retired.count; ++i)
            heap_free(distributor.retired.data[i], ORVO_HEAP_TAG);
        vector_release(distributor.retired);
        distributor.count.store(0, std::memory_order_release);
        msgids_release();
        distributor.initialised = false;
    }
    distributor.main = nullptr;
    mutex_unlock(distributor.mutex);
    log_writef(LOGLEVEL_INFO, LOGMODULE_MESSAGE, "Closed message distributor");
}

// --- hubs ----------------------------------------------------------------------------------

msghub_t* distributor_attach_hub(const string_t& name)
{
    if (!mutex_lock(distributor.mutex))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to attach message hub: %.*s", static_cast<int>(name.length),
                   name.str);
        return nullptr;
    }
    const u32 n = distributor.count.load(std::memory_order_relaxed);
    if (!distributor.initialised || n >= MSGHUB_MAX)
    {
        mutex_unlock(distributor.mutex);
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to attach message hub: %.*s", static_cast<int>(name.length),
                   name.str);
        return nullptr;
    }
    msghub_t* hub = &distributor.hubs[n];
    hub->index = static_cast<i32>(n);
    hub->name = name;
    hub->owner = pthread_self();
    hub->ids.store(nullptr, std::memory_order_relaxed);
    hub->delivering = 0;
    hub->pumping = false;
    vector_initialise(hub->nodes, MSGHUB_INITIAL_NODES, false);
    if (!hub->nodes.data)
    {
        mutex_unlock(distributor.mutex);
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to attach message hub: %.*s", static_cast<int>(name.length),
                   name.str);
        return nullptr;
    }
    // A channel whose ring cannot be allocated stays without one (logged):
    // writes to it fail, and the other channels still work.
    for (u32 j = 0; j <= n; ++j)
        channel_initialise(hub->in[j]);
    for (u32 k = 0; k < n; ++k)
        channel_initialise(distributor.hubs[k].in[n]);
    hub->attached.store(true, std::memory_order_release);
    // Publishes the slot: readers of the count see the channels made above.
    distributor.count.store(n + 1, std::memory_order_release);
    if (!is_own(thread_hub))
        thread_hub = hub;
    mutex_unlock(distributor.mutex);
    log_writef(LOGLEVEL_INFO, LOGMODULE_MESSAGE, "Attached message hub: %.*s", static_cast<int>(name.length), name.str);
    return hub;
}

void distributor_detach_hub(msghub_t* hub)
{
    if (!hub || !mutex_lock(distributor.mutex))
        return;
    detach_locked(hub);
    mutex_unlock(distributor.mutex);
}

msghub_t* distributor_get_hub()
{
    return is_own(thread_hub) ? thread_hub : nullptr;
}

string_t msghub_get_name(const msghub_t* hub)
{
    return hub ? hub->name : empty_str;
}

i32 msghub_get_index(const msghub_t* hub)
{
    return hub ? hub->index : -1;
}

// --- nodes on hubs ---------------------------------------------------------------------------

bool distributor_add_node(msghub_t* hub, msgnode_t* node)
{
    if (!node)
        return false;
    if (!mutex_lock(distributor.mutex))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to add msg node");
        return false;
    }
    if (!hub)
        hub = distributor_get_hub();
    const char* cause = nullptr;
    i32 id = 0;
    if (!hub || !hub->attached.load(std::memory_order_relaxed))
        cause = "no message hub";
    else if (node->hub)
        cause = "already on a hub";
    else
    {
        const bool fixed = node->type < 0 || (node->type >= MSGNODE_TYPE_GENERAL_EVENT && node->type <= MSGNODE_TYPE_TCL_SERVER);
        id = fixed ? node->type : msgids_append(node->type);
        if (fixed)
            msgids_set(id, node->type);
        if (!fixed && id < 0)
            cause = "no node id";
        else if (!vector_insert(hub->nodes, node))
            cause = "no room in the node list";
        else if (!list_change(hub, id, true))
        {
            hub->nodes.count--;
            cause = "no room in the id list";
        }
        if (cause && id > 0)
            msgids_set(id, 0);
    }
    if (!cause)
    {
        node->id = id;
        node->hub = hub;
    }
    mutex_unlock(distributor.mutex);
    if (cause)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to add msg node: %s", cause);
        return false;
    }
    return true;
}

void distributor_remove_node(msgnode_t* node)
{
    if (!node || !mutex_lock(distributor.mutex))
        return;
    msghub_t* hub = node->hub;
    if (hub)
    {
        if (node->id > 0)
            msgids_set(node->id, 0);
        for (u64 i = 0; i < hub->nodes.count; ++i)
        {
            if (hub->nodes.data[i] == node)
            {
                hub->nodes.data[i] = nullptr;
                break;
            }
        }
        if (!list_change(hub, node->id, false))
            log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to remove msg node %d from its hub's id list", node->id);
        node->hub = nullptr;
    }
    mutex_unlock(distributor.mutex);
}

// --- delivery ----------------------------------------------------------------------------------

bool distributor_send(msghub_t* hub, const msg_t* msg)
{
    if (!msg || msg->marker != ORVO_MSG_MARKER || msg->num_bytes < sizeof(msg_t))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Message send refused: %s", msg ? "not a msg" : "no msg");
        print_failed_send(msg && msg->marker == ORVO_MSG_MARKER ? msg : nullptr);
        return false;
    }
    msghub_t* from = hub ? hub : distributor_get_hub();
    if (!from)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Message send refused: the thread has no message hub");
        print_failed_send(msg);
        return false;
    }
    if (!(msg->flags & MSG_FLAG_QUIET) && log_lock(LOGLEVEL_VERBOSE, LOGMODULE_MESSAGE))
    {
        log_print("Sending message:\n");
        msg_print(msg);
        log_print("\n");
        log_unlock();
    }
    int sent = 0;
    int failed = 0;
    const u32 count = distributor.count.load(std::memory_order_acquire);
    for (u32 j = 0; j < count; ++j)
    {
        msghub_t* to = &distributor.hubs[j];
        if (!to->attached.load(std::memory_order_acquire))
            continue;
        if (msg->dst_id != 0 && !list_holds(to, msg->dst_id))
            continue;
        if (msghub_send(from, to, msg))
            sent++;
        else
            failed++;
    }
    if (failed)
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Message send not complete: %d sent, %d failed", sent, failed);
    else if (sent)
    {
        log_writef(LOGLEVEL_VERBOSE, LOGMODULE_MESSAGE, "Message send complete: %d sent", sent);
        return true;
    }
    else
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Message destination invalid: %d - %s %s", msg->dst_id,
                   distributor_id_to_str(msg->dst_id).str, distributor_id_type_to_str(msg->dst_id).str);
    print_failed_send(msg);
    return false;
}

void distributor_pump(msghub_t* hub)
{
    if (!hub)
        hub = distributor_get_hub();
    // A callback that pumps again (a client released inside a callback) would
    // be handed the record it is being called for a second time.
    if (!is_own(hub) || hub->pumping)
        return;
    hub->pumping = true;
    const u32 count = distributor.count.load(std::memory_order_acquire);
    for (u32 j = 0; j < count; ++j)
    {
        channel_t& channel = hub->in[j];
        void* data = nullptr;
        u64 length = 0;
        while (hub->attached.load(std::memory_order_relaxed) && channel_read_begin(channel, data, length))
        {
            const msg_t* msg = static_cast<const msg_t*>(data);
            if (length >= sizeof(msg_t) && msg->marker == ORVO_MSG_MARKER && msg->num_bytes >= sizeof(msg_t) &&
                length >= msg->num_bytes)
                deliver(hub, msg);
            channel_read_end(channel);
        }
    }
    hub->pumping = false;
}

bool msghub_send(msghub_t* from, msghub_t* to, const msg_t* msg)
{
    if (!from || !to || !msg)
        return false;
    if (from == to)
    {
        if (!to->attached.load(std::memory_order_acquire))
            return false;
        deliver(to, msg);
        return true;
    }
    // Never waits for the other hub to pump: a full channel grows, so two
    // threads whose hubs send to each other cannot wait on each other. Only a
    // hub that has not pumped while a whole MSGHUB_MAX_CHANNEL_BYTES piled up
    // makes the sender wait, up to MSGHUB_SEND_LIMIT_MS.
    channel_t& channel = to->in[from->index];
    channelwrite_t result = channel_write_growing(channel, msg, msg->num_bytes, MSGHUB_MAX_CHANNEL_BYTES);
    if (result == CHANNEL_WRITE_FULL)
    {
        countdown_t limit;
        countdown_start(limit, MSGHUB_SEND_LIMIT_MS, TIMEUNIT_MILLISECONDS);
        while (result == CHANNEL_WRITE_FULL && !countdown_expired(limit))
        {
            thread_sleep(1, TIMEUNIT_MILLISECONDS);
            result = channel_write_growing(channel, msg, msg->num_bytes, MSGHUB_MAX_CHANNEL_BYTES);
        }
        if (result == CHANNEL_WRITE_FULL)
            log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to send message to hub %d: not pumped for %llu ms",
                       to->index, static_cast<unsigned long long>(MSGHUB_SEND_LIMIT_MS));
    }
    return result == CHANNEL_WRITE_DONE;
}

// --- nodes ------------------------------------------------------------------------------------

void msgnode_initialise(msgnode_t& node, i32 type, void* user, msgnode_receive_t receive)
{
    node.id = 0;
    node.type = type;
    node.next_ref_num = 0;
    node.pending = 0;
    node.hub = nullptr;
    node.user = user;
    node.receive = receive;
}

void msgnode_release(msgnode_t& node)
{
    if (node.hub)
        distributor_remove_node(&node);
    node.id = 0;
    node.hub = nullptr;
}

namespace
{
bool node_send(msgnode_t& node, i32 dst, u32 ref_num, u8 type, msg_t* msg)
{
    if (!msg || !node.hub)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Message send refused: %s", msg ? "the node is not on a hub" : "no msg");
        return false;
    }
    msg->ref_num = ref_num;
    msg->src_id = node.id;
    msg->dst_id = dst;
    msg->type = type;
    return distributor_send(node.hub, msg);
}
} // namespace

bool msgnode_send_request(msgnode_t& node, i32 dst, msg_t* msg)
{
    // Counted before sending: a server on the same hub answers inside the send.
    node.pending++;
    if (node_send(node, dst, node.next_ref_num++, MSG_TYPE_REQUEST, msg))
        return true;
    // A request that never left must not hold a client's release for its
    // whole limit, waiting for an answer that cannot come.
    if (node.pending > 0)
        node.pending--;
    return false;
}

bool msgnode_send_event(msgnode_t& node, i32 dst, msg_t* msg)
{
    return node_send(node, dst, node.next_ref_num++, MSG_TYPE_EVENT, msg);
}

bool msgnode_send_response(msgnode_t& node, const msg_t* request, msg_t* response)
{
    if (!request)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Message send refused: a response without its request");
        return false;
    }
    return node_send(node, request->src_id, request->ref_num, MSG_TYPE_RESPONSE, response);
}

void msgnode_receive(msgnode_t& node, const msg_t* msg)
{
    // Never below 0: a stray or repeated response must not make a later
    // request look answered.
    if (msg->type == MSG_TYPE_RESPONSE && node.pending > 0)
        node.pending--;
    if (node.receive)
        node.receive(node.user, msg);
}
} // namespace orvo

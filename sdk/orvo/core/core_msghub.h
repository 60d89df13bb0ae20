// The msg_t distributor: one hub per thread that exchanges binary messages
// (at most 16 per run, slots never reused), nodes with process-wide ids on
// those hubs, request servers and clients. Every ordered pair of hubs has its
// own one-writer, one-reader channel: a message reaches another hub's nodes
// when that hub's owner pumps, a message for the sender's own hub at once.
// Nodes, clients and servers are owned by their users; the distributor owns
// the hubs. Message threads that host servers are core_msgthread.h.
#pragma once

#include "orvo/core/core_msgbuilder.h"

namespace orvo
{
const u32 MSGHUB_MAX = 16;
// A channel between two hubs grows while its reader is behind, up to this;
// past it the sender waits for the reader up to MSGHUB_SEND_LIMIT_MS.
const u64 MSGHUB_MAX_CHANNEL_BYTES = u64(1) << 30;
const u64 MSGHUB_SEND_LIMIT_MS = 8000;
// How long msgclient_release waits for outstanding responses, and how often
// it pumps meanwhile (ticks of one microsecond).
const u64 MSGCLIENT_RELEASE_LIMIT = 5000000;
const u64 MSGCLIENT_RELEASE_INTERVAL = 16000;

// Node types. Types 1 to 5 use their type as their node id, so there is one
// node of each; the others get ids from 9 upward, never reused.
enum msgnode_type_t : i32
{
    MSGNODE_TYPE_UNKNOWN = 0,       // "Unknown", client class
    MSGNODE_TYPE_GENERAL_EVENT = 1, // "General", event class
    MSGNODE_TYPE_TCL_EVENT = 2,     // "TCL", event class
    MSGNODE_TYPE_FONT_SERVER = 3,   // "Font", server class
    MSGNODE_TYPE_IMAGE_SERVER = 4,  // "Image", server class
    MSGNODE_TYPE_TCL_SERVER = 5,    // "TCL", server class
    MSGNODE_TYPE_FONT_CLIENT = 6,   // "Font", client class
    MSGNODE_TYPE_IMAGE_CLIENT = 7,  // "Image", client class
    MSGNODE_TYPE_TCL_CLIENT = 8,    // "TCL", client class
    MSGNODE_TYPE_COUNT = 9,         // the number of types, not a type
};

struct msghub_t; // owned by the distributor; see distributor_attach_hub

typedef void (*msgnode_receive_t)(void* user, const msg_t* msg);

// An endpoint on a hub. The message handed to receive is valid only during
// the call. Owned by its user, who removes it from its hub before freeing it.
struct msgnode_t
{
    i32 id;           // 0 until added to a hub
    i32 type;         // msgnode_type_t
    u32 next_ref_num; // numbers this node's requests and events from 0
    i32 pending;      // requests sent whose responses have not arrived
    msghub_t* hub;    // null when not on a hub
    void* user;
    msgnode_receive_t receive; // may be null
};

struct msgclient_t
{
    msgnode_t node;
    i32 server_type;     // the server's type, which is also its node id
    msgbuilder_t builder; // for the client's requests
    // How long msgclient_release waits for responses, in ticks; 0 means
    // MSGCLIENT_RELEASE_LIMIT. Tests shorten it.
    u64 release_limit;
};

// A node whose receive callback handles requests. Every callback takes the
// node's user data; a null callback is skipped (a null open succeeds).
struct msgserver_t
{
    msgnode_t node;
    msgbuilder_t builder; // for the server's replies
    bool (*open)(void* user);
    void (*close)(void* user);
    void (*destroy)(void* user);
    void (*update)(void* user);
};

// --- distributor lifecycle ------------------------------------------------------
// Sets up the distributor and attaches the hub "MAIN" for the calling thread.
bool distributor_initialise();
// Detaches "MAIN", frees every channel (waiting for their readers to detach)
// and the node-type table. Call after every message thread has stopped.
void distributor_release();

// --- hubs -------------------------------------------------------------------------------
// Attaches a hub owned by the calling thread; null when 16 hubs were already
// attached in this run or the channels cannot be made. The name's text is
// not copied and must outlive the hub.
msghub_t* distributor_attach_hub(const string_t& name);
// Stops reading the hub's channels and closes them, so that senders fail
// instead of waiting for a pump that will never come. The slot stays used.
void distributor_detach_hub(msghub_t* hub);
// The first hub the calling thread attached and has not detached, or null.
msghub_t* distributor_get_hub();
string_t msghub_get_name(const msghub_t* hub);
i32 msghub_get_index(const msghub_t* hub);

// --- nodes on hubs --------------------------------------------------------------------
// A null hub means the calling thread's hub (nothing is added when it has
// none). The node gets its id here. Nodes are added, removed and delivered to
// on the hub's owner thread.
bool distributor_add_node(msghub_t* hub, msgnode_t* node);
void distributor_remove_node(msgnode_t* node);

// --- delivery ------------------------------------------------------------------------------
// Sends from a hub (null: the calling thread's) to every hub that lists the
// destination id, or to every hub for destination 0. True when every hop
// succeeded and at least one hub took the message; failures are logged with
// a dump of the message.
bool distributor_send(msghub_t* hub, const msg_t* msg);
// Delivers every message waiting in the hub's channels (null: the calling
// thread's hub), calling the receive callbacks on this thread.
void distributor_pump(msghub_t* hub);
// One hop: queued into the channel from `from` in `to`, or delivered at once
// when both are the same hub.
bool msghub_send(msghub_t* from, msghub_t* to, const msg_t* msg);

// --- ids -----------------------------------------------------------------------------------
// Name of the node type registered for an id; "Unknown" for ids beyond the
// table. Lock-free: the message dump calls it while holding the log.
string_t distributor_id_to_str(i32 id);
// "Unknown" for a negative id, "EVENT" for 1 and 2, "SERVER" for 3 to 5,
// "CLIENT" otherwise.
string_t distributor_id_type_to_str(i32 id);
bool distributor_id_is_event(i32 id);
bool distributor_id_is_server(i32 id);
bool distributor_id_is_client(i32 id);

// --- nodes ----------------------------------------------------------------------------------
void msgnode_initialise(msgnode_t& node, i32 type, void* user, msgnode_receive_t receive);
// Removes the node from its hub when it is on one; id back to 0.
void msgnode_release(msgnode_t& node);
// Stamp the message (ref_num, src_id, dst_id, type) and send it from the
// node's hub. A request counts one pending response, also when the send fails.
bool msgnode_send_request(msgnode_t& node, i32 dst, msg_t* msg);
bool msgnode_send_event(msgnode_t& node, i32 dst, msg_t* msg);
bool msgnode_send_response(msgnode_t& node, const msg_t* request, msg_t* response);
// A response lowers the pending count; then the receive callback runs.
void msgnode_receive(msgnode_t& node, const msg_t* msg);

// --- clients ---------------------------------------------------------------------------------
// Sets up the client and adds it to the calling thread's hub; false (logged)
// when the thread has no hub.
bool msgclient_initialise(msgclient_t& client, i32 type, i32 server_type, void* user, msgnode_receive_t receive);
// Sends a request to the client's server; the ref_num used, or -1.
int msgclient_send(msgclient_t& client, msg_t* msg);
bool msgclient_pending(const msgclient_t& client);
// Pumps the calling thread's hub until no response is outstanding or the
// release limit has passed (then logged), frees the builder and removes the
// node. Safe twice and on a zeroed record.
void msgclient_release(msgclient_t& client);

// --- servers ---------------------------------------------------------------------------------
void msgserver_initialise(msgserver_t& server, i32 type, void* user, bool (*open)(void* user),
                          void (*close)(void* user), void (*destroy)(void* user), msgnode_receive_t receive,
                          void (*update)(void* user));
// Adds the node to the hub (null: the calling thread's), empties the builder
// and calls open. A failed open leaves the node on the hub.
bool msgserver_open(msgserver_t& server, msghub_t* hub);
// Calls close, frees the builder and removes the node.
void msgserver_close(msgserver_t& server);
void msgserver_destroy(msgserver_t& server);
void msgserver_update(msgserver_t& server);
// Removes the node when it is still on a hub; id back to 0.
void msgserver_release(msgserver_t& server);
// Sends the response to the request's sender. Without a response, a request
// with a "RequestType" field is answered with "ErrorMsg" {RequestType,
// Result false}; anything else is logged with its dump and false returned.
bool msgserver_send_response(msgserver_t& server, const msg_t* request, msg_t* response);
} // namespace orvo

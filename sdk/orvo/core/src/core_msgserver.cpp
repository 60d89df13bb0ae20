// Request clients and servers over msgnode_t: a client counts the requests
// it sent and waits for their answers when it goes away; a server answers
// every request, with an "ErrorMsg" when its handler built no answer.
#include "orvo/core/core_msghub.h"

#include "orvo/core/core_log.h"
#include "orvo/core/core_thread.h"
#include "orvo/core/core_time.h"
#include "orvo/core/src/core_msg_internal.h"

#include <cstring>

namespace orvo
{
// --- clients -------------------------------------------------------------------------------

bool msgclient_initialise(msgclient_t& client, i32 type, i32 server_type, void* user, msgnode_receive_t receive)
{
    std::memset(&client, 0, sizeof(client));
    msgnode_initialise(client.node, type, user, receive);
    client.server_type = server_type;
    msgbuilder_initialise(client.builder);
    if (!distributor_add_node(nullptr, &client.node))
        return false;
    log_writef(LOGLEVEL_INFO, LOGMODULE_MESSAGE, "Registered new msg client: %d - %s", client.node.id,
               msgnode_type_name(client.node.type).str);
    return true;
}

int msgclient_send(msgclient_t& client, msg_t* msg)
{
    const u32 ref_num = client.node.next_ref_num;
    if (!msgnode_send_request(client.node, client.server_type, msg))
        return -1;
    return static_cast<int>(ref_num);
}

bool msgclient_pending(const msgclient_t& client)
{
    return client.node.pending > 0;
}

void msgclient_release(msgclient_t& client)
{
    if (client.node.hub && client.node.pending > 0)
    {
        const u64 limit = client.release_limit ? client.release_limit : MSGCLIENT_RELEASE_LIMIT;
        timer_t waited;
        timer_start(waited);
        for (;;)
        {
            distributor_pump(nullptr);
            if (client.node.pending <= 0)
                break;
            if (timer_elapsed(waited) > limit)
            {
                log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Forcing client termination: %s",
                           msgnode_type_name(client.node.type).str);
                break;
            }
            thread_sleep(MSGCLIENT_RELEASE_INTERVAL, TIMEUNIT_MICROSECONDS);
        }
    }
    msgbuilder_release(client.builder);
    msgnode_release(client.node);
    client.node.pending = 0;
}

// --- servers -------------------------------------------------------------------------------

void msgserver_initialise(msgserver_t& server, i32 type, void* user, bool (*open)(void* user),
                          void (*close)(void* user), void (*destroy)(void* user), msgnode_receive_t receive,
                          void (*update)(void* user))
{
    std::memset(&server, 0, sizeof(server));
    msgnode_initialise(server.node, type, user, receive);
    msgbuilder_initialise(server.builder);
    server.open = open;
    server.close = close;
    server.destroy = destroy;
    server.update = update;
}

bool msgserver_open(msgserver_t& server, msghub_t* hub)
{
    const string_t name = msgnode_type_name(server.node.type);
    bool ok = distributor_add_node(hub, &server.node);
    if (ok)
    {
        msgbuilder_reset(server.builder);
        ok = !server.open || server.open(server.node.user);
    }
    if (!ok)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Server failed to open: %s", name.str);
        return false;
    }
    log_writef(LOGLEVEL_INFO, LOGMODULE_MESSAGE, "Server opened: %s", name.str);
    return true;
}

void msgserver_close(msgserver_t& server)
{
    if (server.close)
        server.close(server.node.user);
    log_writef(LOGLEVEL_INFO, LOGMODULE_MESSAGE, "Server closed: %s", msgnode_type_name(server.node.type).str);
    msgbuilder_release(server.builder);
    distributor_remove_node(&server.node);
}

void msgserver_destroy(msgserver_t& server)
{
    if (server.destroy)
        server.destroy(server.node.user);
}

void msgserver_update(msgserver_t& server)
{
    if (server.update)
        server.update(server.node.user);
}

void msgserver_release(msgserver_t& server)
{
    msgbuilder_release(server.builder);
    msgnode_release(server.node);
}

bool msgserver_send_response(msgserver_t& server, const msg_t* request, msg_t* response)
{
    if (response)
        return msgnode_send_response(server.node, request, response);

    // The request comes from another thread's builder or a peer: its fields
    // are read only when it holds together.
    const msgdata_t* field = nullptr;
    msgdata_helper_t helper;
    std::memset(&helper, 0, sizeof(helper));
    if (request && request->type == MSG_TYPE_REQUEST && request->marker == ORVO_MSG_MARKER &&
        msg_is_sound(request, reinterpret_cast<const u8*>(request), reinterpret_cast<const u8*>(request) + request->num_bytes))
        field = msg_find(request, MSGFIELD_REQUEST_TYPE, nullptr);
    if (field && msgdata_decode(field, helper, false))
    {
        msgbuilder_reset(server.builder);
        if (!msgbuilder_begin(server.builder, MSGFIELD_ERROR_MSG) ||
            !msgbuilder_add(server.builder, MSGFIELD_REQUEST_TYPE, static_cast<int>(helper.int32)) ||
            !msgbuilder_add(server.builder, MSGFIELD_RESULT, false))
            return false;
        msg_t* error = msgbuilder_end(server.builder);
        return error && msgnode_send_response(server.node, request, error);
    }
    if (log_lock(LOGLEVEL_ERROR, LOGMODULE_MESSAGE))
    {
        log_print("Failed to handle request msg:\n");
        if (request && request->marker == ORVO_MSG_MARKER)
            msg_print(request);
        log_print("\n");
        log_unlock();
    }
    return false;
}
} // namespace orvo

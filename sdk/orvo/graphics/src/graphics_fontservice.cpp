// The font server on the "LOAD" thread and the font client on the interface
// thread; see graphics_fontservice.h.
#include "orvo/graphics/graphics_fontservice.h"

#include "graphics_service.h"

#include "orvo/core/core_log.h"

#include <new>

namespace orvo
{
namespace
{
bool font_server_open(void* user)
{
    return font_manager_initialise(static_cast<font_server_t*>(user)->manager);
}

void font_server_close(void* user)
{
    font_manager_release(static_cast<font_server_t*>(user)->manager);
}

void font_server_destroy(void* user)
{
    delete static_cast<font_server_t*>(user);
}

// Builds the answer to one request, or null for the ErrorMsg.
msg_t* font_server_handle(font_server_t& self, const msg_t* msg)
{
    i32 request = -1;
    if (msg->type != MSG_TYPE_REQUEST || !service_read_int(msg, MSGFIELD_REQUEST_TYPE, request))
        return nullptr;
    if (request == FONT_REQUEST_LOAD)
    {
        string_t name = empty_str;
        i32 size = 0;
        if (!service_read_string(msg, MSGFIELD_FONT_NAME, name) || !service_read_int(msg, MSGFIELD_FONT_SIZE, size))
            return nullptr;
        font_t* font = font_manager_load(self.manager, name, size);
        if (!font)
            return nullptr;
        msg_t* answer = service_build_answer(self.server, MSGFIELD_FONT_SERVER_MSG, request, font, true);
        if (!answer) // the client will never hold this reference
            font_manager_unload(self.manager, font);
        return answer;
    }
    if (request == FONT_REQUEST_UNLOAD)
    {
        void* font = nullptr;
        if (!service_read_pointer(msg, MSGFIELD_MEMORY_PTR, font))
            return nullptr;
        font_manager_unload(self.manager, static_cast<const font_t*>(font));
        return service_build_answer(self.server, MSGFIELD_FONT_SERVER_MSG, request, nullptr, false);
    }
    return nullptr;
}

void font_server_receive(void* user, const msg_t* msg)
{
    font_server_t& self = *static_cast<font_server_t*>(user);
    msgserver_send_response(self.server, msg, font_server_handle(self, msg));
}

void font_client_receive(void* user, const msg_t* msg)
{
    font_client_t& client = *static_cast<font_client_t*>(user);
    service_answer_t answer;
    if (!service_read_answer(msg, answer))
        return;
    const int request = static_cast<int>(msg->ref_num);
    if (answer.request_type == FONT_REQUEST_UNLOAD)
    {
        if (client.unload)
            client.unload(client.user, request);
    }
    else if (answer.request_type == FONT_REQUEST_LOAD)
    {
        if (client.load)
            client.load(client.user, request, static_cast<font_t*>(answer.pointer));
    }
}

int font_client_send(font_client_t& client, i32 request, const string_t* name, int size, const font_t* font)
{
    msgbuilder_t& builder = client.client.builder;
    msgbuilder_reset(builder);
    bool ok = msgbuilder_begin(builder, MSGFIELD_FONT_CLIENT_MSG) &&
              msgbuilder_add(builder, MSGFIELD_REQUEST_TYPE, static_cast<int>(request));
    if (ok && name)
        ok = msgbuilder_add(builder, MSGFIELD_FONT_NAME, *name) && msgbuilder_add(builder, MSGFIELD_FONT_SIZE, size);
    if (ok && font)
        ok = service_add_pointer(builder, MSGFIELD_MEMORY_PTR, font);
    msg_t* msg = ok ? msgbuilder_end(builder) : nullptr;
    return msg ? msgclient_send(client.client, msg) : -1;
}
} // namespace

msgserver_t* font_server_create()
{
    font_server_t* self = new (std::nothrow) font_server_t();
    if (!self)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "FATAL ERROR failed to allocate %d bytes",
                   static_cast<int>(sizeof(font_server_t)));
        return nullptr;
    }
    msgserver_initialise(self->server, MSGNODE_TYPE_FONT_SERVER, self, font_server_open, font_server_close,
                         font_server_destroy, font_server_receive, nullptr);
    return &self->server;
}

font_manager_t& font_server_manager(msgserver_t* server)
{
    return reinterpret_cast<font_server_t*>(server)->manager;
}

bool font_client_initialise(font_client_t& client, void* user, font_load_callback_t load,
                            font_unload_callback_t unload)
{
    client.user = user;
    client.load = load;
    client.unload = unload;
    return msgclient_initialise(client.client, MSGNODE_TYPE_FONT_CLIENT, MSGNODE_TYPE_FONT_SERVER, &client,
                                font_client_receive);
}

void font_client_release(font_client_t& client)
{
    msgclient_release(client.client);
}

int font_client_load(font_client_t& client, const string_t& name, int point_size)
{
    return font_client_send(client, FONT_REQUEST_LOAD, &name, point_size, nullptr);
}

int font_client_unload(font_client_t& client, const font_t* font)
{
    if (!font)
        return -1;
    return font_client_send(client, FONT_REQUEST_UNLOAD, nullptr, 0, font);
}
} // namespace orvo

// The image server on the "LOAD" thread and the image client on the
// interface thread; see graphics_imageservice.h.
#include "orvo/graphics/graphics_imageservice.h"

#include "graphics_service.h"

#include "orvo/core/core_log.h"

#include <cstring>
#include <new>

namespace orvo
{
namespace
{
bool image_server_open(void* user)
{
    return image_manager_initialise(static_cast<image_server_t*>(user)->manager);
}

void image_server_close(void* user)
{
    image_manager_release(static_cast<image_server_t*>(user)->manager);
}

void image_server_destroy(void* user)
{
    delete static_cast<image_server_t*>(user);
}

// A factory travels as the raw bytes of a function pointer.
bool read_factory(const msg_t* msg, image_codec_factory_t& factory)
{
    void* bytes = nullptr;
    if (!service_read_pointer(msg, MSGFIELD_FUNCTION_PTR, bytes))
        return false;
    static_assert(sizeof(factory) == sizeof(bytes), "function and data pointers differ in size");
    memcpy(&factory, &bytes, sizeof(factory));
    return factory != nullptr;
}

// Builds the answer to one request, or null for the ErrorMsg.
msg_t* image_server_handle(image_server_t& self, const msg_t* msg)
{
    i32 request = -1;
    if (msg->type != MSG_TYPE_REQUEST || !service_read_int(msg, MSGFIELD_REQUEST_TYPE, request))
        return nullptr;
    switch (request)
    {
    case IMAGE_REQUEST_LOAD:
    {
        string_t path = empty_str;
        if (!service_read_string(msg, MSGFIELD_FILENAME, path))
            return nullptr;
        image_t* image = image_manager_load(self.manager, path);
        if (!image)
            return nullptr;
        msg_t* answer = service_build_answer(self.server, MSGFIELD_IMAGE_SERVER_MSG, request, image, true);
        if (!answer) // the client will never hold this reference
            image_manager_unload(self.manager, image);
        return answer;
    }
    case IMAGE_REQUEST_UNLOAD:
    {
        void* image = nullptr;
        if (!service_read_pointer(msg, MSGFIELD_MEMORY_PTR, image))
            return nullptr;
        image_manager_unload(self.manager, static_cast<const image_t*>(image));
        return service_build_answer(self.server, MSGFIELD_IMAGE_SERVER_MSG, request, nullptr, false);
    }
    case IMAGE_REQUEST_REGISTER:
    {
        image_codec_factory_t factory = nullptr;
        if (!read_factory(msg, factory) || !image_manager_register(self.manager, factory))
            return nullptr;
        return service_build_answer(self.server, MSGFIELD_IMAGE_SERVER_MSG, request, nullptr, false);
    }
    case IMAGE_REQUEST_UNREGISTER:
    {
        image_codec_factory_t factory = nullptr;
        if (!read_factory(msg, factory))
            return nullptr;
        image_manager_unregister(self.manager, factory);
        return service_build_answer(self.server, MSGFIELD_IMAGE_SERVER_MSG, request, nullptr, false);
    }
    default:
        return nullptr;
    }
}

void image_server_receive(void* user, const msg_t* msg)
{
    image_server_t& self = *static_cast<image_server_t*>(user);
    msgserver_send_response(self.server, msg, image_server_handle(self, msg));
}

void image_client_receive(void* user, const msg_t* msg)
{
    image_client_t& client = *static_cast<image_client_t*>(user);
    service_answer_t answer;
    if (!service_read_answer(msg, answer))
        return;
    const int request = static_cast<int>(msg->ref_num);
    if (answer.request_type == IMAGE_REQUEST_UNLOAD)
    {
        if (client.unload)
            client.unload(client.user, request);
    }
    else if (answer.request_type == IMAGE_REQUEST_LOAD)
    {
        if (client.load)
            client.load(client.user, request, static_cast<image_t*>(answer.pointer));
    }
}

// One ImageClientMsg with the request type and, when given, a path or a pointer.
int image_client_send(image_client_t& client, i32 request, const string_t* path, msgfield_t pointer_field,
                      const void* pointer)
{
    msgbuilder_t& builder = client.client.builder;
    msgbuilder_reset(builder);
    bool ok = msgbuilder_begin(builder, MSGFIELD_IMAGE_CLIENT_MSG) &&
              msgbuilder_add(builder, MSGFIELD_REQUEST_TYPE, static_cast<int>(request));
    if (ok && path)
        ok = msgbuilder_add(builder, MSGFIELD_FILENAME, *path);
    if (ok && pointer)
        ok = service_add_pointer(builder, pointer_field, pointer);
    msg_t* msg = ok ? msgbuilder_end(builder) : nullptr;
    return msg ? msgclient_send(client.client, msg) : -1;
}

const void* factory_bytes(image_codec_factory_t factory)
{
    const void* bytes = nullptr;
    memcpy(&bytes, &factory, sizeof(bytes));
    return bytes;
}
} // namespace

msgserver_t* image_server_create()
{
    image_server_t* self = new (std::nothrow) image_server_t();
    if (!self)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "FATAL ERROR failed to allocate %d bytes",
                   static_cast<int>(sizeof(image_server_t)));
        return nullptr;
    }
    msgserver_initialise(self->server, MSGNODE_TYPE_IMAGE_SERVER, self, image_server_open, image_server_close,
                         image_server_destroy, image_server_receive, nullptr);
    return &self->server;
}

image_manager_t& image_server_manager(msgserver_t* server)
{
    return reinterpret_cast<image_server_t*>(server)->manager;
}

bool image_client_initialise(image_client_t& client, void* user, image_load_callback_t load,
                             image_unload_callback_t unload)
{
    client.user = user;
    client.load = load;
    client.unload = unload;
    return msgclient_initialise(client.client, MSGNODE_TYPE_IMAGE_CLIENT, MSGNODE_TYPE_IMAGE_SERVER, &client,
                                image_client_receive);
}

void image_client_release(image_client_t& client)
{
    msgclient_release(client.client);
}

int image_client_load(image_client_t& client, const string_t& path)
{
    return image_client_send(client, IMAGE_REQUEST_LOAD, &path, MSGFIELD_UNKNOWN, nullptr);
}

int image_client_unload(image_client_t& client, const image_t* image)
{
    if (!image)
        return -1;
    return image_client_send(client, IMAGE_REQUEST_UNLOAD, nullptr, MSGFIELD_MEMORY_PTR, image);
}

int image_client_register(image_client_t& client, image_codec_factory_t factory)
{
    if (!factory)
        return -1;
    return image_client_send(client, IMAGE_REQUEST_REGISTER, nullptr, MSGFIELD_FUNCTION_PTR, factory_bytes(factory));
}

int image_client_unregister(image_client_t& client, image_codec_factory_t factory)
{
    if (!factory)
        return -1;
    return image_client_send(client, IMAGE_REQUEST_UNREGISTER, nullptr, MSGFIELD_FUNCTION_PTR,
                             factory_bytes(factory));
}
} // namespace orvo

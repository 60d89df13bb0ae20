// The image service: the image server, a msg_t server that owns an image
// manager on the "LOAD" message thread, and the image client through which
// interface code loads pictures, hands them back and registers the codecs.
// Answers arrive as callbacks when the client's thread pumps its hub. A
// client holds one reference per load answer, reads the picture without
// changing it, and returns it with one unload.
#pragma once

#include "orvo/core/core_msghub.h"
#include "orvo/graphics/graphics_image.h"

namespace orvo
{
enum image_request_t : i32
{
    IMAGE_REQUEST_LOAD = 0,
    IMAGE_REQUEST_UNLOAD = 1,
    IMAGE_REQUEST_REGISTER = 2,
    IMAGE_REQUEST_UNREGISTER = 3,
};

// The server record: the node first, so the thread sees a msgserver_t.
struct image_server_t
{
    msgserver_t server;
    image_manager_t manager;
};

typedef void (*image_load_callback_t)(void* user, int request, image_t* image);
typedef void (*image_unload_callback_t)(void* user, int request);

struct image_client_t
{
    msgclient_t client;
    void* user;
    image_load_callback_t load;     // may be null
    image_unload_callback_t unload; // may be null
};

// A new image server for msgthread_add_server; the thread opens, closes and
// destroys it (destroy frees it). Null after the FATAL line.
msgserver_t* image_server_create();
// The manager inside a server made by image_server_create.
image_manager_t& image_server_manager(msgserver_t* server);

// On the calling thread's hub; false (logged) when the thread has none.
bool image_client_initialise(image_client_t& client, void* user, image_load_callback_t load,
                             image_unload_callback_t unload);
// Waits (pumping) up to 5 s for outstanding answers, then leaves the hub.
void image_client_release(image_client_t& client);
// Each returns the request id its answer will carry, or -1 when nothing was sent.
int image_client_load(image_client_t& client, const string_t& path);
int image_client_unload(image_client_t& client, const image_t* image); // -1 for null
int image_client_register(image_client_t& client, image_codec_factory_t factory);   // -1 for null
int image_client_unregister(image_client_t& client, image_codec_factory_t factory); // -1 for null
} // namespace orvo

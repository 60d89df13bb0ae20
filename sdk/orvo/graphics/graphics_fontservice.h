// The font service: the font server, a msg_t server that owns a font manager
// on the "LOAD" message thread, and the font client through which interface
// code asks for fonts and hands them back. Answers arrive as callbacks when
// the client's thread pumps its hub. A client holds one reference per load
// answer, reads the font without changing it, and returns it with one unload.
#pragma once

#include "orvo/core/core_msghub.h"
#include "orvo/graphics/graphics_font.h"

namespace orvo
{
enum font_request_t : i32
{
    FONT_REQUEST_LOAD = 0,
    FONT_REQUEST_UNLOAD = 1,
};

// The server record: the node first, so the thread sees a msgserver_t.
struct font_server_t
{
    msgserver_t server;
    font_manager_t manager;
};

typedef void (*font_load_callback_t)(void* user, int request, font_t* font);
typedef void (*font_unload_callback_t)(void* user, int request);

struct font_client_t
{
    msgclient_t client;
    void* user;
    font_load_callback_t load;     // may be null
    font_unload_callback_t unload; // may be null
};

// A new font server for msgthread_add_server; the thread opens, closes and
// destroys it (destroy frees it). Null after the FATAL line.
msgserver_t* font_server_create();
// The manager inside a server made by font_server_create.
font_manager_t& font_server_manager(msgserver_t* server);

// On the calling thread's hub; false (logged) when the thread has none.
bool font_client_initialise(font_client_t& client, void* user, font_load_callback_t load,
                            font_unload_callback_t unload);
// Waits (pumping) up to 5 s for outstanding answers, then leaves the hub.
void font_client_release(font_client_t& client);
// The request id the answer will carry, or -1 when nothing was sent.
int font_client_load(font_client_t& client, const string_t& name, int point_size);
// -1 without sending for a null font.
int font_client_unload(font_client_t& client, const font_t* font);
} // namespace orvo

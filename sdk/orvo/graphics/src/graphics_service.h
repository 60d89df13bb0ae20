// Field reading and writing shared by the image and font services: their
// requests and answers carry the request type, a result, strings and record
// or function pointers as raw bytes (client and server share one address
// space). Every read goes through the typed reader, so a field whose payload
// does not hold its declared type reads as missing.
#pragma once

#include "orvo/core/core_msghub.h"

namespace orvo
{
// The first field of the id, read by its declared type; false when it is
// missing or malformed.
bool service_read_int(const msg_t* msg, msgfield_t id, i32& value);
bool service_read_bool(const msg_t* msg, msgfield_t id, bool& value);
// The text without its terminating zero byte; valid while the message is.
bool service_read_string(const msg_t* msg, msgfield_t id, string_t& value);
// A pointer sent as raw bytes: exactly the size of a pointer, else false.
bool service_read_pointer(const msg_t* msg, msgfield_t id, void*& value);
bool service_add_pointer(msgbuilder_t& builder, msgfield_t id, const void* pointer);

// What a client reads from an answer: a response carrying both RequestType
// and Result; the pointer is null unless the result is true and one is there.
struct service_answer_t
{
    i32 request_type;
    bool result;
    void* pointer;
};
bool service_read_answer(const msg_t* msg, service_answer_t& answer);

// The server's answer {RequestType, Result true[, MemoryPtr]} in its builder.
msg_t* service_build_answer(msgserver_t& server, msgfield_t id, i32 request_type, const void* pointer,
                            bool with_pointer);
} // namespace orvo

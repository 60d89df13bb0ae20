// Field helpers of the image and font services; see graphics_service.h.
#include "graphics_service.h"

#include <cstring>

namespace orvo
{
namespace
{
bool read_field(const msg_t* msg, msgfield_t id, msgdata_helper_t& helper)
{
    const msgdata_t* field = msg ? msg_find(msg, id, nullptr) : nullptr;
    return field && msgdata_helper_get(field, helper);
}
} // namespace

bool service_read_int(const msg_t* msg, msgfield_t id, i32& value)
{
    msgdata_helper_t helper;
    msgdata_helper_initialise(helper);
    bool ok = read_field(msg, id, helper) && helper.type == MSGDATA_TYPE_INT32;
    if (ok)
        value = helper.int32;
    msgdata_helper_release(helper);
    return ok;
}

bool service_read_bool(const msg_t* msg, msgfield_t id, bool& value)
{
    msgdata_helper_t helper;
    msgdata_helper_initialise(helper);
    bool ok = read_field(msg, id, helper) && helper.type == MSGDATA_TYPE_BOOL;
    if (ok)
        value = helper.boolean;
    msgdata_helper_release(helper);
    return ok;
}

bool service_read_string(const msg_t* msg, msgfield_t id, string_t& value)
{
    msgdata_helper_t helper;
    msgdata_helper_initialise(helper);
    bool ok = read_field(msg, id, helper) && helper.type == MSGDATA_TYPE_STRING;
    if (ok)
        value = helper.string;
    msgdata_helper_release(helper);
    return ok;
}

bool service_read_pointer(const msg_t* msg, msgfield_t id, void*& value)
{
    msgdata_helper_t helper;
    msgdata_helper_initialise(helper);
    bool ok = read_field(msg, id, helper) && helper.type == MSGDATA_TYPE_RAW &&
              helper.raw.num_bytes == sizeof(void*) && helper.raw.data;
    if (ok)
        memcpy(&value, helper.raw.data, sizeof(void*));
    msgdata_helper_release(helper);
    return ok;
}

bool service_add_pointer(msgbuilder_t& builder, msgfield_t id, const void* pointer)
{
    return msgbuilder_add(builder, id, &pointer, sizeof(pointer));
}

bool service_read_answer(const msg_t* msg, service_answer_t& answer)
{
    answer = {0, false, nullptr};
    if (!msg || msg->type != MSG_TYPE_RESPONSE)
        return false;
    if (!service_read_int(msg, MSGFIELD_REQUEST_TYPE, answer.request_type) ||
        !service_read_bool(msg, MSGFIELD_RESULT, answer.result))
        return false;
    void* pointer = nullptr;
    if (answer.result && service_read_pointer(msg, MSGFIELD_MEMORY_PTR, pointer))
        answer.pointer = pointer;
    return true;
}

msg_t* service_build_answer(msgserver_t& server, msgfield_t id, i32 request_type, const void* pointer,
                            bool with_pointer)
{
    msgbuilder_t& builder = server.builder;
    msgbuilder_reset(builder);
    if (!msgbuilder_begin(builder, id) || !msgbuilder_add(builder, MSGFIELD_REQUEST_TYPE, static_cast<int>(request_type)) ||
        !msgbuilder_add(builder, MSGFIELD_RESULT, true) ||
        (with_pointer && !service_add_pointer(builder, MSGFIELD_MEMORY_PTR, pointer)))
        return nullptr;
    return msgbuilder_end(builder);
}
} // namespace orvo

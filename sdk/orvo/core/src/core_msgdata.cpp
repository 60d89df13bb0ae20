// The typed field reader msgdata_helper_t. A payload is read only when it
// really holds the declared type of its id: a peer's bytes decide nothing
// about how far a read goes beyond what the field header says it holds.
#include "orvo/core/core_msgbuilder.h"

#include "orvo/core/src/core_msg_internal.h"

#include <cstring>

namespace orvo
{
namespace
{
// The width a fixed-size type needs; 0 for the variable-size ones.
u32 fixed_width(msgdata_type_t type)
{
    switch (type)
    {
    case MSGDATA_TYPE_BOOL: return 1;
    case MSGDATA_TYPE_INT32:
    case MSGDATA_TYPE_UINT32:
    case MSGDATA_TYPE_FLOAT32: return 4;
    case MSGDATA_TYPE_INT64:
    case MSGDATA_TYPE_UINT64: return 8;
    default: return 0;
    }
}
} // namespace

void msgdata_helper_initialise(msgdata_helper_t& helper)
{
    std::memset(&helper, 0, sizeof(helper));
    helper.type = MSGDATA_TYPE_NONE;
    helper.string = empty_str;
    stringarray_initialise(helper.stringlist);
}

void msgdata_helper_release(msgdata_helper_t& helper)
{
    stringarray_release(helper.stringlist);
    std::memset(&helper, 0, sizeof(helper));
    helper.type = MSGDATA_TYPE_NONE;
    helper.string = empty_str;
}

bool msgdata_decode(const msgdata_t* field, msgdata_helper_t& helper, bool split_list)
{
    helper.type = MSGDATA_TYPE_NONE;
    helper.string = empty_str;
    helper.raw = memory_t{nullptr, 0};
    helper.child = nullptr;
    if (!field)
        return false;
    const msgdata_type_t type = msgfield_get_type(field->field);
    helper.type = type;
    const u8* payload = msgdata_payload(field);
    const u32 num_bytes = field->num_bytes;
    if (num_bytes < fixed_width(type))
        return false; // a 64-bit read of a 1-byte payload would leave the field
    switch (type)
    {
    case MSGDATA_TYPE_BOOL: helper.boolean = payload[0] != 0; return true;
    case MSGDATA_TYPE_INT32: std::memcpy(&helper.int32, payload, 4); return true;
    case MSGDATA_TYPE_UINT32: std::memcpy(&helper.uint32, payload, 4); return true;
    case MSGDATA_TYPE_FLOAT32: std::memcpy(&helper.float32, payload, 4); return true;
    case MSGDATA_TYPE_INT64: std::memcpy(&helper.int64, payload, 8); return true;
    case MSGDATA_TYPE_UINT64: std::memcpy(&helper.uint64, payload, 8); return true;
    case MSGDATA_TYPE_STRING:
        // Users take the view's text as zero-terminated: the zero must be there.
        if (num_bytes == 0 || payload[num_bytes - 1] != 0)
            return false;
        helper.string = string_make(reinterpret_cast<const char*>(payload), num_bytes - 1);
        return true;
    case MSGDATA_TYPE_STRINGLIST:
    {
        if (num_bytes > 0 && payload[num_bytes - 1] != 0)
            return false;
        if (!split_list)
            return true;
        stringarray_clear(helper.stringlist);
        const char* text = reinterpret_cast<const char*>(payload);
        u64 at = 0;
        while (at < num_bytes)
        {
            const u64 length = std::strlen(text + at);
            if (!stringarray_append(helper.stringlist, string_make(text + at, length)))
                return false;
            at += length + 1;
        }
        return true;
    }
    case MSGDATA_TYPE_RAW: helper.raw = memory_t{payload, num_bytes}; return true;
    case MSGDATA_TYPE_MSG:
    {
        if (num_bytes < sizeof(msg_t))
            return false;
        const msg_t* child = reinterpret_cast<const msg_t*>(payload);
        if (child->marker != ORVO_MSG_MARKER || child->num_bytes < sizeof(msg_t) || num_bytes < child->num_bytes)
            return false;
        helper.child = child;
        return true;
    }
    default: return false;
    }
}

bool msgdata_helper_get(const msgdata_t* field, msgdata_helper_t& helper)
{
    return msgdata_decode(field, helper, true);
}
} // namespace orvo

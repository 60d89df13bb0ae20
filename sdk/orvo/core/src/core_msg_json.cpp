// The JSON bridge of msg_t: messages written as JSON members through the
// JSON writer, and JSON objects read into messages by each field id's
// declared type, refusing what that type cannot hold exactly.
#include "orvo/core/core_msg_json.h"

#include "orvo/core/core_log.h"

#include <cfloat>
#include <climits>
#include <cstring>

namespace orvo
{
namespace
{
const string_t MSG_TYPE_MEMBER = {"msg_type", 8};
const string_t MSG_ID_MEMBER = {"msg_id", 6};
const string_t MSG_REF_NUM_MEMBER = {"msg_ref_num", 11};

// --- msg_t to JSON ---------------------------------------------------------------------

bool write_message(const msg_t* msg, json_writer_t& writer, json_block_t& block, msgdata_helper_t& helper, u32 depth);

// One value field by its declared type; a field the typed reader refuses,
// a raw field and an id without a type write nothing.
bool write_value(const msgdata_t* field, json_writer_t& writer, json_block_t& block, msgdata_helper_t& helper)
{
    if (!msgdata_helper_get(field, helper))
        return true;
    const string_t name = msgfield_to_str(field->field);
    switch (helper.type)
    {
    case MSGDATA_TYPE_BOOL:
        return json_add_bool(block, name, helper.boolean);
    case MSGDATA_TYPE_INT32:
        return json_add_int(block, name, helper.int32);
    case MSGDATA_TYPE_UINT32:
        return json_add_uint(block, name, helper.uint32);
    case MSGDATA_TYPE_INT64:
        return json_add_ll(block, name, static_cast<long long>(helper.int64));
    case MSGDATA_TYPE_UINT64:
        return json_add_ull(block, name, static_cast<unsigned long long>(helper.uint64));
    case MSGDATA_TYPE_FLOAT32:
        return json_add_float(block, name, helper.float32);
    case MSGDATA_TYPE_STRING:
        return json_add_string(block, name, helper.string);
    case MSGDATA_TYPE_STRINGLIST:
    {
        json_block_t list;
        bool ok = json_begin_array(writer, &block, list, name, false);
        for (u64 i = 0; ok && i < helper.stringlist.strings.count; ++i)
            ok = json_add_string(list, empty_str, helper.stringlist.strings.data[i]);
        return json_end_array(list) && ok;
    }
    default:
        return true;
    }
}

// A run of nested messages of one id, starting at field, as one member
// holding an array of objects. field moves to the first field after the run.
bool write_run(const msg_t* msg, const msgdata_t*& field, json_writer_t& writer, json_block_t& block,
               msgdata_helper_t& helper, u32 depth)
{
    const i32 id = field->field;
    json_block_t array;
    bool ok = json_begin_array(writer, &block, array, msgfield_to_str(id), true);
    while (ok)
    {
        // The typed reader is reused below: take the child before recursing.
        const msg_t* child = helper.child;
        json_block_t object;
        ok = json_begin_object(writer, &array, object, empty_str, true);
        ok = ok && write_message(child, writer, object, helper, depth + 1);
        ok = json_end_object(object) && ok;
        const msgdata_t* next = msg_next(msg, field);
        if (!ok || !next || next->field != id)
        {
            field = next;
            break;
        }
        field = next;
        if (!msgdata_helper_get(field, helper))
        {
            log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to convert msg %s to JSON: malformed nested msg %s",
                       msgfield_to_str(msg->field).str, msgfield_to_str(id).str);
            ok = false;
        }
    }
    // Closed whatever happened, so the caller's text stays well formed.
    return json_end_array(array) && ok;
}

bool write_message(const msg_t* msg, json_writer_t& writer, json_block_t& block, msgdata_helper_t& helper, u32 depth)
{
    if (depth > ORVO_MSG_MAX_DEPTH)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to convert msg to JSON: nesting deeper than %u levels",
                   ORVO_MSG_MAX_DEPTH);
        return false;
    }
    bool ok = json_add_string(block, MSG_TYPE_MEMBER, msg_type_to_str(msg->type)) &&
              json_add_string(block, MSG_ID_MEMBER, msgfield_to_str(msg->field)) &&
              json_add_int(block, MSG_REF_NUM_MEMBER, static_cast<int>(msg->ref_num));
    const msgdata_t* field = msg_next(msg, nullptr);
    while (ok && field)
    {
        if (msgfield_get_type(field->field) != MSGDATA_TYPE_MSG)
        {
            ok = write_value(field, writer, block, helper);
            field = msg_next(msg, field);
        }
        else if (msgdata_helper_get(field, helper))
            ok = write_run(msg, field, writer, block, helper, depth);
        else
            field = msg_next(msg, field); // a malformed first message of a run is left out
    }
    return ok;
}

// --- JSON to msg_t ---------------------------------------------------------------------

bool refuse(const msgbuilder_t& builder, const json_value_t* member, const char* reason)
{
    const msg_t* msg = reinterpret_cast<const msg_t*>(builder.buffer);
    log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to build msg %s from JSON: member \"%.*s\" %s",
               msg ? msgfield_to_str(msg->field).str : "Unknown", static_cast<int>(member->name.length),
               member->name.str, reason);
    return false;
}

// A whole number from minimum to maximum, exactly as written.
bool whole_number(const json_value_t* value, i64 minimum, i64 maximum, i64& out)
{
    if (value->type != JSON_TYPE_NUMBER || !value->number_integral || value->number_overflow)
        return false;
    const u64 magnitude = value->number.magnitude;
    if (value->number_negative && magnitude != 0)
    {
        if (magnitude > static_cast<u64>(INT64_MAX) + 1)
            return false;
        out = -static_cast<i64>(magnitude - 1) - 1;
    }
    else
    {
        if (magnitude > static_cast<u64>(INT64_MAX))
            return false;
        out = static_cast<i64>(magnitude);
    }
    return out >= minimum && out <= maximum;
}

bool has_zero_byte(const string_t& text)
{
    return text.length && std::memchr(text.str, 0, text.length) != nullptr;
}

bool add_string_list(msgbuilder_t& builder, msgfield_t id, const json_value_t* member)
{
    if (member->type != JSON_TYPE_ARRAY)
        return refuse(builder, member, "is not an array of strings");
    for (const json_value_t* element = json_get_next_member(member, nullptr); element;
         element = json_get_next_member(member, element))
    {
        if (element->type != JSON_TYPE_STRING || has_zero_byte(element->string))
            return refuse(builder, member, "is not an array of strings without zero bytes");
    }
    stringarray_t list;
    stringarray_initialise(list);
    bool ok = true;
    for (const json_value_t* element = json_get_next_member(member, nullptr); ok && element;
         element = json_get_next_member(member, element))
        ok = stringarray_append(list, element->string);
    ok = ok && msgbuilder_add(builder, id, list);
    stringarray_release(list);
    return ok;
}

// One member as a field of the id's declared type.
bool add_member(msgbuilder_t& builder, msgfield_t id, const json_value_t* member)
{
    const msgdata_type_t type = msgfield_get_type(id);
    if (type == MSGDATA_TYPE_RAW)
        return refuse(builder, member, "is raw data, which has no JSON form");
    if (type == MSGDATA_TYPE_MSG)
        return refuse(builder, member, "is a nested msg, which is not read from JSON");
    if (member->type == JSON_TYPE_NULL || type == MSGDATA_TYPE_NONE)
        return true;
    i64 whole = 0;
    switch (type)
    {
    case MSGDATA_TYPE_BOOL:
        if (member->type != JSON_TYPE_TRUE && member->type != JSON_TYPE_FALSE)
            return refuse(builder, member, "is not true or false");
        return msgbuilder_add(builder, id, member->type == JSON_TYPE_TRUE);
    case MSGDATA_TYPE_INT32:
        if (!whole_number(member, INT32_MIN, INT32_MAX, whole))
            return refuse(builder, member, "is not a whole number from -2147483648 to 2147483647");
        return msgbuilder_add(builder, id, static_cast<int>(whole));
    case MSGDATA_TYPE_UINT32:
        if (!whole_number(member, 0, UINT32_MAX, whole))
            return refuse(builder, member, "is not a whole number from 0 to 4294967295");
        return msgbuilder_add(builder, id, static_cast<unsigned int>(whole));
    case MSGDATA_TYPE_INT64:
        if (!whole_number(member, INT64_MIN, INT64_MAX, whole))
            return refuse(builder, member, "is not a whole number from -2^63 to 2^63 - 1");
        return msgbuilder_add(builder, id, static_cast<long long>(whole));
    case MSGDATA_TYPE_UINT64:
        // Above 2^63 the magnitude itself is the value.
        if (member->type != JSON_TYPE_NUMBER || !member->number_integral || member->number_overflow ||
            (member->number_negative && member->number.magnitude != 0))
            return refuse(builder, member, "is not a whole number from 0 to 2^64 - 1");
        return msgbuilder_add(builder, id, static_cast<unsigned long long>(member->number.magnitude));
    case MSGDATA_TYPE_FLOAT32:
    {
        const double value = json_number_to_double(member);
        if (member->type != JSON_TYPE_NUMBER || value > FLT_MAX || value < -FLT_MAX)
            return refuse(builder, member, "is not a number within the float32 range");
        return msgbuilder_add(builder, id, static_cast<float>(value));
    }
    case MSGDATA_TYPE_STRING:
        if (member->type != JSON_TYPE_STRING || has_zero_byte(member->string))
            return refuse(builder, member, "is not a string without zero bytes");
        return msgbuilder_add(builder, id, member->string);
    case MSGDATA_TYPE_STRINGLIST:
        return add_string_list(builder, id, member);
    default:
        return true;
    }
}
} // namespace

bool msg_to_json(const msg_t* msg, json_writer_t& writer, json_block_t& block)
{
    if (!msg_validate(msg))
        return false;
    msgdata_helper_t helper;
    msgdata_helper_initialise(helper);
    bool ok = write_message(msg, writer, block, helper, 1);
    msgdata_helper_release(helper);
    return ok;
}

const msg_t* msgbuilder_from_json(msgbuilder_t& builder, const json_object_t* object)
{
    if (!object || object->type != JSON_TYPE_OBJECT)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to build msg from JSON: not a JSON object");
        return nullptr;
    }
    if (builder.used != 0)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to build msg from JSON: the builder is not empty");
        return nullptr;
    }
    const msgfield_t id = msgfield_from_str(json_get_member_string(object, MSG_ID_MEMBER));
    if (!msgbuilder_begin(builder, id))
    {
        msgbuilder_reset(builder);
        return nullptr;
    }

    // ref_num is 32 bits: requests number from 0 up, and "%d" writes the
    // upper half as negative numbers, so both spellings are taken.
    u32 ref_num = 0;
    const json_value_t* ref = json_get_member(object, MSG_REF_NUM_MEMBER);
    if (ref && ref->type == JSON_TYPE_NUMBER)
    {
        const i64 value = json_number_to_ll(ref);
        if (value < INT32_MIN || value > static_cast<i64>(UINT32_MAX))
        {
            refuse(builder, ref, "is not a number from -2147483648 to 4294967295");
            msgbuilder_reset(builder);
            return nullptr;
        }
        ref_num = static_cast<u32>(value);
    }

    for (const json_value_t* member = json_get_next_member(object, nullptr); member;
         member = json_get_next_member(object, member))
    {
        const msgfield_t field = msgfield_from_str(member->name);
        if (field == MSGFIELD_UNKNOWN)
            continue;
        if (!add_member(builder, field, member))
        {
            msgbuilder_reset(builder);
            return nullptr;
        }
    }
    msg_t* msg = msgbuilder_end(builder);
    if (!msg)
    {
        msgbuilder_reset(builder);
        return nullptr;
    }
    msg->ref_num = ref_num;
    msg->type = msg_type_from_str(json_get_member_string(object, MSG_TYPE_MEMBER));
    return msg;
}
} // namespace orvo

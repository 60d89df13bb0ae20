// msgbuilder_t: one message with its nested messages written into one
// growing buffer. Positions are kept below 2 GiB (the record's i32 fields)
// and computed in 64 bits; a failed write leaves the previous buffer and a
// well-formed message. Alignment gaps are zeroed so that no stale heap bytes
// travel to another computer.
#include "orvo/core/core_msgbuilder.h"

#include "orvo/core/core_log.h"

#include <cstring>

namespace orvo
{
namespace
{
const u64 MSGBUILDER_MAX_BYTES = 0x7FFFFFFF;

u64 align_up(u64 value, u64 alignment)
{
    return (value + alignment - 1) & ~(alignment - 1);
}

msg_t* msg_at(msgbuilder_t& builder, u64 offset)
{
    return reinterpret_cast<msg_t*>(builder.buffer + offset);
}

msgdata_t* data_at(msgbuilder_t& builder, u64 offset)
{
    return reinterpret_cast<msgdata_t*>(builder.buffer + offset);
}

// Reserves n bytes at the write position rounded up to the alignment (never
// less than 4). The buffer grows to twice its capacity plus n plus 1024
// when the bytes do not fit with room to spare.
bool reserve(msgbuilder_t& builder, u64 alignment, u64 n, u64& at)
{
    if (alignment < 4)
        alignment = 4;
    const u64 position = builder.buffer ? align_up(u64(builder.used), alignment) : 0;
    if (position + n >= MSGBUILDER_MAX_BYTES)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to grow msg builder: %llu bytes exceed the message size limit",
                   static_cast<unsigned long long>(position + n));
        return false;
    }
    if (!builder.buffer || position + n >= u64(builder.capacity))
    {
        u64 capacity = u64(builder.capacity) * 2 + n + 1024;
        if (capacity > MSGBUILDER_MAX_BYTES)
            capacity = MSGBUILDER_MAX_BYTES;
        u8* grown = static_cast<u8*>(heap_alloc(capacity, 16, ORVO_HEAP_TAG));
        if (!grown)
            return false;
        if (builder.buffer && builder.used > 0)
            std::memcpy(grown, builder.buffer, static_cast<size_t>(builder.used));
        heap_free(builder.buffer, ORVO_HEAP_TAG);
        builder.buffer = grown;
        builder.capacity = static_cast<i32>(capacity);
    }
    if (position > u64(builder.used))
        std::memset(builder.buffer + builder.used, 0, static_cast<size_t>(position - u64(builder.used)));
    builder.used = static_cast<i32>(position + n);
    at = position;
    return true;
}

bool has_open_message(const msgbuilder_t& builder, msgfield_t id)
{
    if (builder.buffer && builder.depth > 0)
        return true;
    log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to add msg field %s: no message begun", msgfield_to_str(id).str);
    return false;
}

// Makes the header at `header` the last field of the open message.
void link_field(msgbuilder_t& builder, u64 header)
{
    if (builder.last_field)
        data_at(builder, u64(builder.last_field))->next_offset = static_cast<u32>(header - u64(builder.last_field));
    else
        msg_at(builder, u64(builder.open_msg))->data_offset = static_cast<u32>(header - u64(builder.open_msg));
    builder.last_field = static_cast<i32>(header);
}

// Adds a linked field of n payload bytes and hands out the payload's offset.
// On failure nothing is linked and the write position is where it was.
bool add_field(msgbuilder_t& builder, msgfield_t id, u64 alignment, u64 n, u64& payload)
{
    if (!has_open_message(builder, id))
        return false;
    const i32 saved_used = builder.used;
    u64 header = 0;
    if (!reserve(builder, 4, sizeof(msgdata_t), header) || !reserve(builder, alignment, n, payload))
    {
        builder.used = saved_used;
        return false;
    }
    msgdata_t* data = data_at(builder, header);
    data->num_bytes = static_cast<u32>(n);
    data->field = id;
    data->next_offset = 0;
    data->base_offset = static_cast<u32>(payload - header);
    link_field(builder, header);
    return true;
}

template <typename T>
bool add_value(msgbuilder_t& builder, msgfield_t id, const T& value)
{
    u64 payload = 0;
    if (!add_field(builder, id, sizeof(T), sizeof(T), payload))
        return false;
    std::memcpy(builder.buffer + payload, &value, sizeof(T));
    return true;
}

// Adds a field whose payload is the given bytes plus `terminators` zero
// bytes. The bytes may lie in the builder's own buffer, which may move.
bool add_bytes(msgbuilder_t& builder, msgfield_t id, u64 alignment, const void* bytes, u64 num_bytes, u64 terminators)
{
    const u8* source = static_cast<const u8*>(bytes);
    const bool inside = builder.buffer && source >= builder.buffer && source < builder.buffer + builder.capacity;
    const u64 source_offset = inside ? u64(source - builder.buffer) : 0;
    u64 payload = 0;
    if (!add_field(builder, id, alignment, num_bytes + terminators, payload))
        return false;
    if (inside)
        source = builder.buffer + source_offset;
    if (num_bytes)
        std::memmove(builder.buffer + payload, source, static_cast<size_t>(num_bytes));
    if (terminators)
        std::memset(builder.buffer + payload + num_bytes, 0, static_cast<size_t>(terminators));
    return true;
}

template <typename T>
bool add_array(msgbuilder_t& builder, msgfield_t id, u64 count, array_t<T>& array)
{
    array.data = nullptr;
    array.count = 0;
    if (count > MSGBUILDER_MAX_BYTES / sizeof(T))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to add msg field %s: %llu elements exceed the message size limit",
                   msgfield_to_str(id).str, static_cast<unsigned long long>(count));
        return false;
    }
    u64 payload = 0;
    if (!add_field(builder, id, sizeof(T), count * sizeof(T), payload))
        return false;
    array.data = reinterpret_cast<T*>(builder.buffer + payload);
    array.count = count;
    return true;
}

void write_header(msg_t* msg, msgfield_t id, i32 enclosing, i32 holder)
{
    msg->marker = ORVO_MSG_MARKER;
    msg->num_bytes = 0;
    msg->field = id;
    msg->data_offset = 0;
    msg->ref_num = 0;
    msg->src_id = enclosing;
    msg->dst_id = holder;
    msg->flags = 0;
    msg->type = MSG_TYPE_UNKNOWN;
    msg->reserved = 0;
}
} // namespace

void msgbuilder_initialise(msgbuilder_t& builder)
{
    std::memset(&builder, 0, sizeof(builder));
}

void msgbuilder_release(msgbuilder_t& builder)
{
    heap_free(builder.buffer, ORVO_HEAP_TAG);
    std::memset(&builder, 0, sizeof(builder));
}

void msgbuilder_reset(msgbuilder_t& builder)
{
    builder.used = 0;
    builder.open_msg = 0;
    builder.last_field = 0;
    builder.depth = 0;
}

bool msgbuilder_begin(msgbuilder_t& builder, msgfield_t id)
{
    if (builder.used == 0)
    {
        u64 at = 0;
        if (!reserve(builder, 4, sizeof(msg_t), at))
            return false;
        write_header(msg_at(builder, at), id, 0, 0);
        builder.open_msg = 0;
        builder.last_field = 0;
        builder.depth = 1;
        return true;
    }
    if (builder.depth <= 0)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to begin msg %s: the builder holds a finished msg and was not reset",
                   msgfield_to_str(id).str);
        return false;
    }
    if (u32(builder.depth) >= ORVO_MSG_MAX_DEPTH)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to begin msg %s: nesting deeper than %u levels",
                   msgfield_to_str(id).str, ORVO_MSG_MAX_DEPTH);
        return false;
    }
    const i32 saved_used = builder.used;
    u64 header = 0;
    u64 nested = 0;
    if (!reserve(builder, 4, sizeof(msgdata_t), header) || !reserve(builder, 4, sizeof(msg_t), nested))
    {
        builder.used = saved_used;
        return false;
    }
    msgdata_t* data = data_at(builder, header);
    data->num_bytes = sizeof(msg_t);
    data->field = id;
    data->next_offset = 0;
    data->base_offset = static_cast<u32>(nested - header);
    link_field(builder, header);
    write_header(msg_at(builder, nested), id, builder.open_msg, static_cast<i32>(header));
    builder.open_msg = static_cast<i32>(nested);
    builder.last_field = 0;
    builder.depth++;
    return true;
}

msg_t* msgbuilder_end(msgbuilder_t& builder)
{
    if (!builder.buffer)
        return nullptr;
    if (builder.depth <= 0)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to end msg: no msg begun");
        return nullptr;
    }
    msg_t* msg = msg_at(builder, u64(builder.open_msg));
    msg->num_bytes = static_cast<u32>(builder.used - builder.open_msg);
    const i32 enclosing = msg->src_id;
    const i32 holder = msg->dst_id;
    msg->src_id = 0;
    msg->dst_id = 0;
    if (holder)
        data_at(builder, u64(holder))->num_bytes = msg->num_bytes;
    builder.open_msg = enclosing;
    builder.last_field = holder;
    builder.depth--;
    return msg;
}

bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, bool value)
{
    const u8 byte = value ? 1 : 0;
    return add_bytes(builder, id, 1, &byte, 1, 0);
}

bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, int value)
{
    return add_value(builder, id, static_cast<i32>(value));
}

bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, unsigned int value)
{
    return add_value(builder, id, static_cast<u32>(value));
}

bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, long long value)
{
    return add_value(builder, id, static_cast<i64>(value));
}

bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, unsigned long long value)
{
    return add_value(builder, id, static_cast<u64>(value));
}

bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, long value)
{
    return add_value(builder, id, static_cast<i64>(value));
}

bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, unsigned long value)
{
    return add_value(builder, id, static_cast<u64>(value));
}

bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, float value)
{
    return add_value(builder, id, value);
}

bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, const string_t& value)
{
    if (value.length >= MSGBUILDER_MAX_BYTES)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to add msg field %s: %llu bytes exceed the message size limit",
                   msgfield_to_str(id).str, static_cast<unsigned long long>(value.length));
        return false;
    }
    return add_bytes(builder, id, 1, value.length ? value.str : nullptr, value.length, 1);
}

bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, const stringarray_t& value)
{
    // Packed from the views rather than the array's storage, so the payload
    // holds exactly the listed strings in order, whatever the storage holds.
    u64 total = 0;
    for (u64 i = 0; i < value.strings.count; ++i)
        total += value.strings.data[i].length + 1;
    if (total >= MSGBUILDER_MAX_BYTES)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to add msg field %s: %llu bytes exceed the message size limit",
                   msgfield_to_str(id).str, static_cast<unsigned long long>(total));
        return false;
    }
    u64 payload = 0;
    if (!add_field(builder, id, 1, total, payload))
        return false;
    u8* out = builder.buffer + payload;
    for (u64 i = 0; i < value.strings.count; ++i)
    {
        const string_t& text = value.strings.data[i];
        if (text.length)
            std::memcpy(out, text.str, static_cast<size_t>(text.length));
        out[text.length] = 0;
        out += text.length + 1;
    }
    return true;
}

bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, const void* bytes, u64 num_bytes)
{
    if (num_bytes >= MSGBUILDER_MAX_BYTES || (num_bytes && !bytes))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to add msg field %s: %llu raw bytes %s", msgfield_to_str(id).str,
                   static_cast<unsigned long long>(num_bytes), bytes ? "exceed the message size limit" : "without data");
        return false;
    }
    return add_bytes(builder, id, 4, bytes, num_bytes, 0);
}

bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, u64 count, array_t<bool>& array)
{
    return add_array(builder, id, count, array);
}

bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, u64 count, array_t<int>& array)
{
    return add_array(builder, id, count, array);
}

bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, u64 count, array_t<unsigned int>& array)
{
    return add_array(builder, id, count, array);
}

bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, u64 count, array_t<long long>& array)
{
    return add_array(builder, id, count, array);
}

bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, u64 count, array_t<unsigned long long>& array)
{
    return add_array(builder, id, count, array);
}

bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, u64 count, array_t<float>& array)
{
    return add_array(builder, id, count, array);
}

msg_t* msgbuilder_copy(msgbuilder_t& builder, const msg_t* msg)
{
    if (!msg || msg->num_bytes < sizeof(msg_t))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to copy msg: %s", msg ? "shorter than its header" : "no msg");
        return nullptr;
    }
    const u8* source = reinterpret_cast<const u8*>(msg);
    const bool inside = builder.buffer && source >= builder.buffer && source < builder.buffer + builder.capacity;
    const u64 source_offset = inside ? u64(source - builder.buffer) : 0;
    const u64 num_bytes = msg->num_bytes;
    if (inside && source_offset + num_bytes > u64(builder.used))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_MESSAGE, "Failed to copy msg: it overruns the builder's bytes");
        return nullptr;
    }
    u64 at = 0;
    if (!reserve(builder, 4, num_bytes, at))
        return nullptr;
    if (inside)
        source = builder.buffer + source_offset;
    std::memmove(builder.buffer + at, source, static_cast<size_t>(num_bytes));
    return msg_at(builder, at);
}
} // namespace orvo

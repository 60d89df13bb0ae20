// Writing and reading msg_t fields. msgbuilder_t writes one message, nested
// messages included, into a growing buffer that it owns; msgdata_helper_t
// reads one field into a typed value by the field id's declared type, and
// refuses payloads that do not really hold that type. Views handed out by
// either point into bytes they do not own. The JSON bridge is core_msg_json.h.
#pragma once

#include "orvo/core/core_msg.h"
#include "orvo/core/core_stringarray.h"

namespace orvo
{
// A view of count elements that the caller fills in place.
template <typename T>
struct array_t
{
    T* data;
    u64 count;
};

// All zero is a valid empty builder. While a nested message is open, its
// header's src_id slot holds the offset of the enclosing message and its
// dst_id slot the offset of the field that holds it; ending the nested
// message restores the builder from them and clears both.
struct msgbuilder_t
{
    u8* buffer;     // owned; null until the first write
    i32 capacity;   // bytes allocated
    i32 used;       // bytes written: the write position
    i32 open_msg;   // offset of the innermost message begun and not ended
    i32 last_field; // offset of the open message's last field header; 0 = none
    i32 depth;      // messages begun and not ended; at most ORVO_MSG_MAX_DEPTH
};

// One typed value; reusable. type is the declared type of the last field
// read (MSGDATA_TYPE_NONE before any read), also after a failed read.
struct msgdata_helper_t
{
    msgdata_type_t type;
    bool boolean;
    i32 int32;
    u32 uint32;
    i64 int64;
    u64 uint64;
    float float32;
    string_t string;         // the payload without its terminating zero byte
    stringarray_t stringlist; // owned, refilled on every string-list read
    memory_t raw;            // pointer into the message and byte count
    const msg_t* child;      // the nested message, or null
};

// --- builder lifecycle ------------------------------------------------------------
void msgbuilder_initialise(msgbuilder_t& builder);
// Frees the buffer; safe twice and on a zeroed record.
void msgbuilder_release(msgbuilder_t& builder);
// Rewinds to empty and keeps the buffer.
void msgbuilder_reset(msgbuilder_t& builder);

// --- building ------------------------------------------------------------------------
// Every write returns false after a failed allocation (logged); the builder
// then keeps its previous buffer and a well-formed message. A finished
// outermost message must be reset before the builder begins another.
//
// Begins a message named id: at offset 0 when the builder is empty, else a
// nested message in a new field of the open message. False past
// ORVO_MSG_MAX_DEPTH levels (logged).
bool msgbuilder_begin(msgbuilder_t& builder, msgfield_t id);
// Finishes the innermost open message and returns it, or null when the
// builder has no buffer or no open message. The pointer (into the builder's
// buffer; the senders stamp its header) is valid until the buffer next grows
// or the builder is reset.
msg_t* msgbuilder_end(msgbuilder_t& builder);

bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, bool value);
bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, int value);
bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, unsigned int value);
bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, long long value);
bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, unsigned long long value);
// i64 and u64 are long and unsigned long here: the 64-bit payloads.
bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, long value);
bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, unsigned long value);
bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, float value);
// A string: its bytes plus one zero byte (the view need not be terminated).
bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, const string_t& value);
// A string list: every string followed by one zero byte.
bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, const stringarray_t& value);
// Raw bytes: a copy of num_bytes bytes (num_bytes 0 allows a null pointer).
bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, const void* bytes, u64 num_bytes);
// A text literal would silently become a bool: say string_make(text).
bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, const char* value) = delete;

// Reserve one field of count elements and point the view at its payload for
// the caller to fill; the view is valid until the buffer next grows.
bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, u64 count, array_t<bool>& array);
bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, u64 count, array_t<int>& array);
bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, u64 count, array_t<unsigned int>& array);
bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, u64 count, array_t<long long>& array);
bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, u64 count, array_t<unsigned long long>& array);
bool msgbuilder_add(msgbuilder_t& builder, msgfield_t id, u64 count, array_t<float>& array);

// Appends a copy of a whole message (num_bytes bytes, at least a header) at
// the next 4-aligned position, outside any field chain. Returns the copy, or
// null on failure or for a message shorter than its header.
msg_t* msgbuilder_copy(msgbuilder_t& builder, const msg_t* msg);

// --- typed reading -----------------------------------------------------------------
void msgdata_helper_initialise(msgdata_helper_t& helper);
void msgdata_helper_release(msgdata_helper_t& helper);
// Reads one field of a validated message by its id's declared type. False
// for id 0, reserved ids and ids outside the catalogue, and whenever the
// payload does not hold the declared type: fewer bytes than its width, a
// string without its final zero byte, a string list whose last string is
// not terminated, or a nested message that is short, lacks the marker or
// claims more bytes than the field holds. helper.type tells what was tried.
bool msgdata_helper_get(const msgdata_t* field, msgdata_helper_t& helper);
} // namespace orvo

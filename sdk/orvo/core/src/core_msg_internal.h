// Shared inside the message modules only: the typed field decoder behind
// msgdata_helper_get and the dump, and the silent validation behind the dump.
#pragma once

#include "orvo/core/core_msgbuilder.h"

namespace orvo
{
// msgdata_helper_get without the string-list split when split_list is false:
// the list is then only checked (the dump walks it itself, allocating nothing).
bool msgdata_decode(const msgdata_t* field, msgdata_helper_t& helper, bool split_list);
// msg_validate_container without a log line.
bool msg_is_sound(const msg_t* msg, const u8* base, const u8* end);
} // namespace orvo

namespace orvo
{
// The node-type table behind distributor_id_to_str; writers hold the
// distributor mutex, readers take no lock.
bool msgids_initialise();
void msgids_release();
// Appends an entry and returns its id, -1 when the table cannot grow.
i32 msgids_append(i32 type);
// Records the type of an existing id; ids outside the table are ignored.
void msgids_set(i32 id, i32 type);
// The name of a node type ("Image"); "Unknown" outside the types.
string_t msgnode_type_name(i32 type);
} // namespace orvo

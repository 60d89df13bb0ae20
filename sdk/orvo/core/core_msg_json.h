// The JSON form of msg_t, as the external interface sends and receives it:
// a message becomes members of a JSON object ("msg_type", "msg_id",
// "msg_ref_num", then one member per field, named by the catalogue), and a
// JSON object becomes a message whose fields take their ids' declared types.
// Raw fields have no JSON form, and nested messages are written but never read.
#pragma once

#include "orvo/core/core_json_reader.h"
#include "orvo/core/core_json_writer.h"
#include "orvo/core/core_msgbuilder.h"

namespace orvo
{
// Writes the message into an open JSON object block: "msg_type" (the type's
// name), "msg_id" (the message id's name), "msg_ref_num" ("%d"), then each
// field in chain order by its declared type: bool, integers, float32 ("%f",
// null when not finite), string, string list (an array of strings). Raw
// fields and fields the typed reader refuses are left out. A run of nested
// messages of one id becomes one member holding an array of objects, each
// written by these rules. The message is validated first; false (logged)
// for a malformed message or when the writer fails, with every block this
// function opened closed again.
bool msg_to_json(const msg_t* msg, json_writer_t& writer, json_block_t& block);

// Builds a message from a JSON object into an empty builder and returns it
// (in the builder's buffer), or null. The message is named by "msg_id" (0
// when it names no catalogue id), its type comes from "msg_type" ("Request",
// "Response", "Event", else 0) and its ref_num from "msg_ref_num" (a number,
// truncated toward zero, -2^31 to 2^32 - 1; 0 when absent). Every member
// named by a catalogue id becomes one field of the id's declared type, in
// member order; other members, "Unknown" and null values are skipped. A
// member whose value the declared type cannot hold exactly (a fraction or an
// out-of-range number for an integer, a number beyond float32, a string with
// a zero byte, an array with an element that is not a string, a value of
// another JSON type) and any member of a raw or nested-message id refuse the
// whole object: the failure is logged with the member's name, the builder
// is left empty and null returned.
const msg_t* msgbuilder_from_json(msgbuilder_t& builder, const json_object_t* object);
} // namespace orvo

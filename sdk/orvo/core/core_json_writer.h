// JSON writer: writes pretty-printed UTF-8 JSON, always opened by the
// byte-order mark, into a caller's string buffer or into the writer's own
// buffer, which replaces a file through a temporary file when it is closed
// (so a failed save never leaves a truncated file). json_writer_t owns its
// buffers; json_block_t, one open object or array, lives on the caller's
// stack. Reading JSON is core_json_reader.h.
#pragma once

#include "orvo/core/core_filename.h"
#include "orvo/core/core_memory.h"
#include "orvo/core/core_string.h"

namespace orvo
{
struct json_writer_t
{
    stringbuffer_t* target; // open target (a caller's buffer or own), or null
    stringbuffer_t scratch; // Base64 text of json_add_binary, long formatted pieces
    stringbuffer_t own;     // the whole text of a file target
    filename_t filename;    // the file a file target replaces; empty otherwise
    bool failed;            // an output step failed since the open (logged once)
};

// One open object or array. The writer writes through the block, so a block
// is used only between its begin and its end, in strict nesting order.
struct json_block_t
{
    json_writer_t* writer;
    json_block_t* parent; // null for the root
    int indent;           // 2 for the root, the parent's plus 2 below it
    bool multiline;
    bool first;           // no member written yet
    char open;            // "{" or "["
    char close;           // "}" or "]"
};

// --- lifecycle ----------------------------------------------------------------------
// Not open, every text empty.
void jsonwriter_initialise(json_writer_t& writer);
// Frees every buffer. A writer still open on a file abandons the text: the
// file keeps its old content. Safe twice and on a zeroed record.
void jsonwriter_release(json_writer_t& writer);

// --- targets ------------------------------------------------------------------------------
// Both file targets collect the text in the writer's own buffer and save it
// with file_save_safe at json_close. json_open_file also refuses at once,
// with "Failed to open file: %s - %s", a file whose folder does not exist;
// json_open_file_safe leaves every failure to the save. Both write the
// byte-order mark and return false when the writer is already open or the
// path is empty.
bool json_open_file(json_writer_t& writer, const filename_t& filename);
bool json_open_file_safe(json_writer_t& writer, const filename_t& filename);
// Makes the caller's buffer the target: empties it and writes the byte-order
// mark. False when the writer is already open.
bool json_open_string(json_writer_t& writer, stringbuffer_t& text);
bool json_is_open(const json_writer_t& writer);
// Ends the output: a text target keeps its text, a file target's text is
// saved. The writer is then closed and its own texts emptied (storage kept).
// False when the writer was not open, when any output step since the open
// failed or when the save failed (each logged where it failed); the file
// then keeps its previous content.
bool json_close(json_writer_t& writer);

// --- blocks ---------------------------------------------------------------------------------
// Fills the block (indent 2 without a parent, else the parent's plus 2),
// writes the parent's member prefix with the name, then the opening "{"
// or "[". The name is written only inside an object and ignored inside an
// array or for the root. False when the writer is not open or has failed.
bool json_begin_object(json_writer_t& writer, json_block_t* parent, json_block_t& block, const string_t& name,
                       bool multiline);
bool json_begin_array(json_writer_t& writer, json_block_t* parent, json_block_t& block, const string_t& name,
                      bool multiline);
// A multi-line block closes on its own line at the parent's indent ("\n}"
// for the root); a single-line block writes " }" or " ]".
bool json_end_object(json_block_t& block);
bool json_end_array(json_block_t& block);

// --- members ---------------------------------------------------------------------------------
// Each writes the member prefix, then the value. Inside an array the name is
// ignored. False when the writer is not open or has failed.
bool json_add_string(json_block_t& block, const string_t& name, const string_t& value);
bool json_add_int(json_block_t& block, const string_t& name, int value);
bool json_add_uint(json_block_t& block, const string_t& name, unsigned int value);
bool json_add_ll(json_block_t& block, const string_t& name, long long value);
bool json_add_ull(json_block_t& block, const string_t& name, unsigned long long value);
// "%f" of the value widened to double (six decimals, no exponent); a NaN or
// an infinity, which JSON cannot hold, is written as null.
bool json_add_float(json_block_t& block, const string_t& name, float value);
bool json_add_bool(json_block_t& block, const string_t& name, bool value);
bool json_add_null(json_block_t& block, const string_t& name);
// The bytes as a Base64 string; no bytes give the empty string.
bool json_add_binary(json_block_t& block, const string_t& name, const memorybuffer_t& bytes);

// --- output steps -------------------------------------------------------------------------
// Formatted output to the target, as every writer above uses it.
bool json_write(json_writer_t& writer, const char* format, ...) ORVO_PRINTF_FORMAT(2, 3);
// The member prefix: "\n" and the indent in a multi-line block (",\n" after
// the first member), " " or ", " in a single-line one; then, inside an
// object, the escaped name and ": ".
bool json_write_member(json_block_t& block, const string_t& name);
// The text between double quotes with ", \, backspace, form feed, line feed,
// carriage return and tab escaped by letter and every other byte below 0x20
// as \u00XX, so the output is valid JSON whatever the text holds.
bool json_write_string(json_writer_t& writer, const string_t& text);
} // namespace orvo

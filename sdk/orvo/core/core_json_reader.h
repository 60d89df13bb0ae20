// JSON reader: parses a whole document held in memory into a pool of value
// nodes linked by index, and answers typed lookups on them. A document costs
// its text plus one 40-byte node per value. json_reader_t owns
// its copy of the text, in which every string and member name is unescaped
// and zero-terminated in place, and the node pool; every view it hands out
// stays valid until the next json_load or json_release. A reader, with its
// lookups, belongs to one thread at a time. Writing JSON is core_json_writer.h.
#pragma once

#include "orvo/core/core_filename.h"
#include "orvo/core/core_string.h"
#include "orvo/core/core_vector.h"

namespace orvo
{
enum json_type_t : u8
{
    JSON_TYPE_STRING = 0,
    JSON_TYPE_NUMBER = 1,
    JSON_TYPE_OBJECT = 2,
    JSON_TYPE_ARRAY = 3,
    JSON_TYPE_TRUE = 4,
    JSON_TYPE_FALSE = 5,
    JSON_TYPE_NULL = 6,
};

// Objects and arrays nested deeper than this are refused (code 640), so that
// hostile input can neither exhaust the stack nor the node pool's patience.
const u32 JSON_MAX_DEPTH = 256;

// Codes of the "JSON error (%d)" line written when a document is refused.
// A nested failure also logs the code of every enclosing container (535 for a
// member, 603 for an element), then json_load logs the position.
enum json_error_t : i32
{
    JSON_ERROR_NODE_TRUE = 115,  // no node could be allocated for true
    JSON_ERROR_NODE_FALSE = 151, // ... for false
    JSON_ERROR_NODE_NULL = 189,  // ... for null
    JSON_ERROR_NODE_NUMBER = 227,
    JSON_ERROR_NODE_STRING = 473,
    JSON_ERROR_NODE_OBJECT = 498,
    JSON_ERROR_NODE_ARRAY = 576,
    JSON_ERROR_TRUE_2 = 122, // "true" wrong at its 2nd, 3rd, 4th letter
    JSON_ERROR_TRUE_3 = 124,
    JSON_ERROR_TRUE_4 = 126,
    JSON_ERROR_FALSE_2 = 158, // "false" wrong at its 2nd to 5th letter
    JSON_ERROR_FALSE_3 = 160,
    JSON_ERROR_FALSE_4 = 162,
    JSON_ERROR_FALSE_5 = 164,
    JSON_ERROR_NULL_2 = 196, // "null" wrong at its 2nd to 4th letter
    JSON_ERROR_NULL_3 = 198,
    JSON_ERROR_NULL_4 = 200,
    JSON_ERROR_TRUE_END = 137, // true, false, null not followed by ",", "]" or "}"
    JSON_ERROR_FALSE_END = 175,
    JSON_ERROR_NULL_END = 211,
    JSON_ERROR_MINUS = 257,    // "-" not followed by a digit
    JSON_ERROR_POINT = 271,    // "." not followed by a digit
    JSON_ERROR_EXPONENT = 309, // exponent without digits
    JSON_ERROR_UNICODE = 369,  // \u not followed by four hex digits
    JSON_ERROR_SURROGATE = 370, // a \u surrogate without its other half
    JSON_ERROR_ESCAPE = 371,   // any other escape letter
    JSON_ERROR_STRING_END_ESCAPED = 381, // end of text in a string with escapes
    JSON_ERROR_STRING_END = 423, // end of text in a string
    JSON_ERROR_NAME_START = 443, // a member name starts with an invalid character
    JSON_ERROR_NAME = 526,       // the member name cannot be read
    JSON_ERROR_COLON = 531,      // no ":" after a member name
    JSON_ERROR_MEMBER = 535,     // a member value fails to parse
    JSON_ERROR_OBJECT_SEPARATOR = 557, // after a member neither "," nor "}"
    JSON_ERROR_ELEMENT = 603,    // an array element fails to parse
    JSON_ERROR_ARRAY_SEPARATOR = 626, // after an element neither "," nor "]"
    JSON_ERROR_DEPTH = 640,      // objects and arrays nested too deep
};

struct json_reader_t;

// One node of the value pool. json_object_t, json_array_t and json_number_t
// are the same node seen as an object, an array or a number.
struct json_value_t
{
    union
    {
        string_t string; // unescaped text, zero-terminated in the reader
        // Only containers lead to other nodes, so only they know their reader
        // (a caller's copy of a container walks as the original does).
        struct
        {
            i32 first; // first member, -1 when empty
            i32 unused;
            json_reader_t* reader;
        } object;
        struct
        {
            i32 first; // first element, -1 when empty
            i32 count;
            json_reader_t* reader;
        } array;
        struct
        {
            double value;  // correctly rounded; saturated at +-DBL_MAX
            u64 magnitude; // |value| truncated toward zero; UINT64_MAX when larger
        } number;
    };
    json_type_t type;
    // Numbers only (kept beside the type, so that a node takes 40 bytes):
    bool number_negative; // the text began with "-" (so "-0" is negative)
    bool number_integral; // no non-zero digit after the point once the exponent applies
    bool number_overflow; // the magnitude did not fit in 64 bits
    i32 next;      // next sibling in the same object or array, -1 for the last
    string_t name; // member name; empty for array elements and the root
};
static_assert(sizeof(json_value_t) == 40, "a JSON node takes 40 bytes");

typedef json_value_t json_object_t;
typedef json_value_t json_array_t;
typedef json_value_t json_number_t;

struct json_reader_t
{
    i32 root;          // -1 when nothing was parsed
    u64 position;      // parse position: the failing byte after a failed load
    stringbuffer_t text; // the reader's copy of the document
    vector_t<json_value_t> values;
    // Where the last json_get_element stopped, so that walking an array by
    // index costs one step per element instead of a walk from its start.
    i32 cursor_array;
    i32 cursor_index;
    i32 cursor_node;
};

// --- lifecycle ------------------------------------------------------------------
// Empty text, root -1, the node pool reserved for 8 nodes (0 when that
// fails, which only the allocation's own log line reports).
void json_initialise(json_reader_t& reader);
// Frees the text copy and the nodes; safe twice and on a zeroed record.
void json_release(json_reader_t& reader);
// Copies the text and parses it. The root must be an object or an array;
// text after the root value is not looked at. Besides strict JSON the reader
// takes a UTF-8 byte-order mark wherever blanks may stand, member names
// without quotes (letters, digits, "_" and bytes from 128) and raw control
// bytes inside strings; \u escapes must be valid, surrogate pairs included. On failure logs the error code
// and "JSON parse failed at character %d:\n%.80s", leaves the root at -1 and
// returns false. Views from an earlier load become invalid.
bool json_load(json_reader_t& reader, const string_t& text);
// Loads the whole file (a failure is logged with its cause and the path) and
// parses its text up to the first zero byte.
bool json_load(json_reader_t& reader, const filename_t& filename);

// --- nodes ------------------------------------------------------------------------
const json_value_t* json_get_root(const json_reader_t& reader);
// The root when it is an object, else null.
const json_object_t* json_get_root_object(const json_reader_t& reader);
// The node at a pool index, null outside 0 to count - 1.
const json_value_t* json_get_struct(const json_reader_t& reader, i64 index);

// --- members ----------------------------------------------------------------------
// Lookups walk the members in document order and the first member of the
// name decides, also when its type does not fit. A null object, or a node that
// is not an object, has no members. No getter logs anything.
bool json_has_member(const json_object_t* object, const string_t& name);
const json_value_t* json_get_member(const json_object_t* object, const string_t& name);
const json_object_t* json_get_member_object(const json_object_t* object, const string_t& name);
const json_array_t* json_get_member_array(const json_object_t* object, const string_t& name);
// The text of a string member, else the empty string.
string_t json_get_member_string(const json_object_t* object, const string_t& name);
// True only for the literal true.
bool json_get_member_bool(const json_object_t* object, const string_t& name);
// Number members truncated toward zero and saturated at the type's limits;
// 0 for a missing member or one that is not a number.
i32 json_get_member_int(const json_object_t* object, const string_t& name);
u64 json_get_member_ull(const json_object_t* object, const string_t& name);
// The number rounded to single precision, saturated at +-FLT_MAX.
float json_get_member_float(const json_object_t* object, const string_t& name);
// Empties the buffer (keeping its storage); for a non-empty string member,
// decodes it as Base64 into the buffer and returns the decoder's result,
// otherwise false.
bool json_get_member_binary(const json_object_t* object, const string_t& name, memorybuffer_t& bytes);
// The first member for a null member, else the member after it; null after
// the last. It follows the sibling chain, so it walks array elements as well.
const json_value_t* json_get_next_member(const json_value_t* container, const json_value_t* member);

// --- elements ---------------------------------------------------------------------
// 0 for a null node or one that is not an array.
i32 json_get_num_elements(const json_array_t* array);
// The n-th element from 0, null when n is negative or not below the count.
const json_value_t* json_get_element(const json_array_t* array, i64 n);
const json_object_t* json_get_element_object(const json_array_t* array, i64 n);
string_t json_get_element_string(const json_array_t* array, i64 n);

// --- numbers ----------------------------------------------------------------------
// Truncated toward zero, saturated at INT64_MIN and INT64_MAX; 0 for a node
// that is not a number.
i64 json_number_to_ll(const json_number_t* number);
// Correctly rounded; beyond the double range saturated at +-DBL_MAX.
double json_number_to_double(const json_number_t* number);

// --- diagnostics --------------------------------------------------------------------
// Prints the value through log_printf; the caller holds the log line.
void json_print(const json_value_t* value, int indent);
} // namespace orvo

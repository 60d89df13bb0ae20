// Arbitrary bytes through the JSON reader, a walk of every node with every
// getter, a copy through the JSON writer that must read back equal, and the
// bridge to msg_t and back: a built message must validate, its JSON must
// parse, and from the first round trip on the message must stay the same.
#include "orvo/core/core_json_reader.h"
#include "orvo/core/core_json_writer.h"
#include "orvo/core/core_msg_json.h"

#include <cmath>
#include <cstring>

using namespace orvo;

namespace
{
void check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

u64 walk(const json_value_t* value)
{
    u64 nodes = 1;
    check(value->name.str[value->name.length] == 0);
    switch (value->type)
    {
    case JSON_TYPE_STRING:
        check(value->string.str[value->string.length] == 0);
        break;
    case JSON_TYPE_NUMBER:
    {
        const double d = json_number_to_double(value);
        check(std::isfinite(d));
        const i64 ll = json_number_to_ll(value);
        // Truncation toward zero never moves away from zero.
        check(d >= 0 ? ll >= 0 : ll <= 0);
        break;
    }
    case JSON_TYPE_OBJECT:
        for (const json_value_t* m = json_get_next_member(value, nullptr); m; m = json_get_next_member(value, m))
        {
            nodes += walk(m);
            const json_value_t* found = json_get_member(value, m->name);
            check(found && string_equal(found->name, m->name));
            json_get_member_int(value, m->name);
            json_get_member_ull(value, m->name);
            json_get_member_float(value, m->name);
            json_get_member_bool(value, m->name);
            json_get_member_string(value, m->name);
        }
        break;
    case JSON_TYPE_ARRAY:
    {
        i32 count = 0;
        for (const json_value_t* e = json_get_next_member(value, nullptr); e; e = json_get_next_member(value, e))
        {
            check(json_get_element(value, count) == e);
            nodes += walk(e);
            ++count;
        }
        check(count == json_get_num_elements(value));
        check(json_get_element(value, count) == nullptr);
        break;
    }
    default:
        break;
    }
    return nodes;
}

// Writes a value back as JSON. Numbers go out with 17 digits, enough to
// read back the same double.
void copy(json_writer_t& writer, json_block_t& block, const json_value_t* value)
{
    switch (value->type)
    {
    case JSON_TYPE_STRING:
        json_add_string(block, value->name, value->string);
        break;
    case JSON_TYPE_NUMBER:
        json_write_member(block, value->name);
        json_write(writer, "%.17g", json_number_to_double(value));
        break;
    case JSON_TYPE_TRUE:
    case JSON_TYPE_FALSE:
        json_add_bool(block, value->name, value->type == JSON_TYPE_TRUE);
        break;
    case JSON_TYPE_NULL:
        json_add_null(block, value->name);
        break;
    case JSON_TYPE_OBJECT:
    case JSON_TYPE_ARRAY:
    {
        json_block_t child;
        if (value->type == JSON_TYPE_OBJECT)
            json_begin_object(writer, &block, child, value->name, true);
        else
            json_begin_array(writer, &block, child, value->name, false);
        for (const json_value_t* c = json_get_next_member(value, nullptr); c; c = json_get_next_member(value, c))
            copy(writer, child, c);
        json_end_object(child);
        break;
    }
    }
}

// Well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool valid_utf8(const string_t& text)
{
    const u8* p = reinterpret_cast<const u8*>(text.str);
    for (u64 i = 0; i < text.length;)
    {
        const u8 c = p[i];
        u64 n = c < 0x80 ? 1 : (c >= 0xC2 && c <= 0xDF) ? 2 : (c >= 0xE0 && c <= 0xEF) ? 3 : (c >= 0xF0 && c <= 0xF4) ? 4 : 0;
        if (n == 0 || i + n > text.length)
            return false;
        for (u64 k = 1; k < n; ++k)
        {
            if ((p[i + k] & 0xC0) != 0x80)
                return false;
        }
        if ((c == 0xE0 && p[i + 1] < 0xA0) || (c == 0xED && p[i + 1] > 0x9F) || (c == 0xF0 && p[i + 1] < 0x90) ||
            (c == 0xF4 && p[i + 1] > 0x8F))
            return false;
        i += n;
    }
    return true;
}

// Text written again reads back equal when it was UTF-8; otherwise the
// writer replaced what was not, and the copy must be UTF-8 now.
bool same_text(const string_t& original, const string_t& copy)
{
    if (valid_utf8(original))
        return string_equal(original, copy);
    return valid_utf8(copy) && copy.length > 0;
}

bool same(const json_value_t* a, const json_value_t* b)
{
    if (!a || !b || a->type != b->type || !same_text(a->name, b->name))
        return false;
    switch (a->type)
    {
    case JSON_TYPE_STRING:
        return same_text(a->string, b->string);
    case JSON_TYPE_NUMBER:
        return json_number_to_double(a) == json_number_to_double(b);
    case JSON_TYPE_OBJECT:
    case JSON_TYPE_ARRAY:
    {
        const json_value_t* x = json_get_next_member(a, nullptr);
        const json_value_t* y = json_get_next_member(b, nullptr);
        for (; x && y; x = json_get_next_member(a, x), y = json_get_next_member(b, y))
        {
            if (!same(x, y))
                return false;
        }
        return !x && !y;
    }
    default:
        return true;
    }
}

// The message as a JSON object in text; false when the conversion fails.
bool to_json(const msg_t* msg, json_writer_t& writer, stringbuffer_t& text)
{
    json_open_string(writer, text);
    json_block_t root;
    json_begin_object(writer, nullptr, root, empty_str, true);
    bool ok = msg_to_json(msg, writer, root);
    json_end_object(root);
    return json_close(writer) && ok;
}

void bridge(const json_object_t* object)
{
    msgbuilder_t first, second;
    msgbuilder_initialise(first);
    msgbuilder_initialise(second);
    json_writer_t writer;
    jsonwriter_initialise(writer);
    stringbuffer_t text, again;
    stringbuffer_initialise(text);
    stringbuffer_initialise(again);
    json_reader_t reader;
    json_initialise(reader);

    const msg_t* msg = msgbuilder_from_json(first, object);
    if (msg)
    {
        check(msg_validate(msg));
        check(to_json(msg, writer, text));
        check(json_load(reader, text));
        const msg_t* trip = msgbuilder_from_json(second, json_get_root_object(reader));
        check(trip != nullptr);
        check(to_json(trip, writer, again));
        // Floats lose digits to "%f" once; after that the text is a fixed point.
        msgbuilder_reset(first);
        check(json_load(reader, again));
        const msg_t* third = msgbuilder_from_json(first, json_get_root_object(reader));
        check(third && third->num_bytes == trip->num_bytes && std::memcmp(third, trip, trip->num_bytes) == 0);
    }

    json_release(reader);
    stringbuffer_release(again);
    stringbuffer_release(text);
    jsonwriter_release(writer);
    msgbuilder_release(second);
    msgbuilder_release(first);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    json_reader_t reader;
    json_initialise(reader);
    if (json_load(reader, string_make(reinterpret_cast<const char*>(data), size)))
    {
        const json_value_t* root = json_get_root(reader);
        check(root != nullptr);
        walk(root);

        json_writer_t writer;
        jsonwriter_initialise(writer);
        stringbuffer_t text;
        stringbuffer_initialise(text);
        json_open_string(writer, text);
        json_block_t block;
        if (root->type == JSON_TYPE_OBJECT)
            json_begin_object(writer, nullptr, block, empty_str, true);
        else
            json_begin_array(writer, nullptr, block, empty_str, true);
        for (const json_value_t* c = json_get_next_member(root, nullptr); c; c = json_get_next_member(root, c))
            copy(writer, block, c);
        json_end_object(block);
        check(json_close(writer));
        json_reader_t copy_reader;
        json_initialise(copy_reader);
        check(json_load(copy_reader, text));
        check(same(root, json_get_root(copy_reader)));
        json_release(copy_reader);
        stringbuffer_release(text);
        jsonwriter_release(writer);

        if (root->type == JSON_TYPE_OBJECT)
            bridge(root);
    }
    json_release(reader);
    return 0;
}

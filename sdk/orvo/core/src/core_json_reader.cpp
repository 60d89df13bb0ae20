// JSON reader: a recursive-descent parser over the reader's own copy of the
// text, bounded to JSON_MAX_DEPTH levels, and the typed lookups on its nodes.
// Strings, escaped ones included, are decoded in place in that copy: an escape
// never decodes to more bytes than it occupies, so the copy has room.
#include "orvo/core/core_json_reader.h"

#include "orvo/core/core_base64.h"
#include "orvo/core/core_file.h"
#include "orvo/core/core_log.h"

#include <cfloat>
#include <charconv>
#include <climits>
#include <cstring>

namespace orvo
{
namespace
{
// A decimal exponent beyond this is treated as this: past +-10^15 every
// digit string this process could hold is already far outside the double
// range, and the clamp keeps the digit arithmetic inside 64 bits.
const i64 EXPONENT_LIMIT = 1000000000000000ll;

struct parser_t
{
    json_reader_t& reader;
    char* text; // the reader's copy, zero-terminated
    u64 pos;
};

inline bool is_digit(unsigned char c)
{
    return c >= '0' && c <= '9';
}

// Letters, digits, "_" and every byte of a multi-byte UTF-8 sequence.
inline bool is_name_char(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_digit(c) || c == '_' || c >= 128;
}

void fail(i32 code)
{
    log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "JSON error (%d)", code);
}

// One byte-order mark, then any run of tab, line feed, carriage return and
// space. The text is zero-terminated, so the look-ahead stops at its end.
inline void skip_blanks(parser_t& p)
{
    const unsigned char* s = reinterpret_cast<const unsigned char*>(p.text);
    u64 i = p.pos;
    if (s[i] == 0xEF && s[i + 1] == 0xBB && s[i + 2] == 0xBF)
        i += 3;
    while (s[i] == ' ' || s[i] == '\n' || s[i] == '\r' || s[i] == '\t')
        ++i;
    p.pos = i;
}

// Appends a node of the type; -1 (after logging the code) when the pool
// cannot grow or its 32-bit indexes are used up.
i32 new_node(parser_t& p, json_type_t type, i32 code)
{
    vector_t<json_value_t>& values = p.reader.values;
    json_value_t node;
    std::memset(static_cast<void*>(&node), 0, sizeof(node));
    node.type = type;
    node.next = -1;
    node.name = empty_str;
    if (type == JSON_TYPE_OBJECT)
        node.object.reader = &p.reader;
    else if (type == JSON_TYPE_ARRAY)
        node.array.reader = &p.reader;
    if (values.count >= static_cast<u64>(INT32_MAX) || !vector_insert(values, node))
    {
        fail(code);
        return -1;
    }
    return static_cast<i32>(values.count - 1);
}

json_value_t& node(parser_t& p, i32 index)
{
    return p.reader.values.data[index];
}

// Four hex digits at s; stops at the first that is not one, so it never
// reads past the terminating zero.
bool read_hex4(const char* s, u32& value)
{
    value = 0;
    for (int k = 0; k < 4; ++k)
    {
        unsigned char c = static_cast<unsigned char>(s[k]);
        u32 digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        value = value * 16 + digit;
    }
    return true;
}

// The string whose opening quote is at p.pos. Its closing quote becomes the
// terminating zero of the view. Raw control characters are accepted as they
// stand; the writer never produces them, but older files may hold them.
bool parse_string(parser_t& p, string_t& out)
{
    char* s = p.text;
    const u64 start = p.pos + 1;
    u64 i = start;
    for (;;)
    {
        const char c = s[i];
        if (c == '"')
        {
            s[i] = 0;
            out = string_t{s + start, i - start};
            p.pos = i + 1;
            return true;
        }
        if (c == '\\')
            break;
        if (c == 0)
        {
            p.pos = i;
            fail(JSON_ERROR_STRING_END);
            return false;
        }
        ++i;
    }

    u64 w = i; // write position, never ahead of the read position i
    for (;;)
    {
        const char c = s[i];
        if (c == '"')
            break;
        if (c == 0)
        {
            p.pos = i;
            fail(JSON_ERROR_STRING_END_ESCAPED);
            return false;
        }
        if (c != '\\')
        {
            s[w++] = c;
            ++i;
            continue;
        }
        const char e = s[i + 1];
        char plain = 0;
        switch (e)
        {
        case '"':
        case '/':
        case '\\':
            plain = e;
            break;
        case 'b':
            plain = '\b';
            break;
        case 'f':
            plain = '\f';
            break;
        case 'n':
            plain = '\n';
            break;
        case 'r':
            plain = '\r';
            break;
        case 't':
            plain = '\t';
            break;
        case 'u':
        {
            u32 code = 0;
            if (!read_hex4(s + i + 2, code))
            {
                p.pos = i;
                fail(JSON_ERROR_UNICODE);
                return false;
            }
            u64 consumed = 6;
            if (code >= 0xD800 && code <= 0xDBFF)
            {
                // A high surrogate is only half a code point: the low half
                // must follow as the very next escape.
                u32 low = 0;
                if (s[i + 6] != '\\' || s[i + 7] != 'u' || !read_hex4(s + i + 8, low) || low < 0xDC00 ||
                    low > 0xDFFF)
                {
                    p.pos = i;
                    fail(JSON_ERROR_SURROGATE);
                    return false;
                }
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                consumed = 12;
            }
            else if (code >= 0xDC00 && code <= 0xDFFF)
            {
                p.pos = i;
                fail(JSON_ERROR_SURROGATE);
                return false;
            }
            w += utf8_encode(code, s + w);
            i += consumed;
            continue;
        }
        case 0:
            p.pos = i + 1;
            fail(JSON_ERROR_STRING_END_ESCAPED);
            return false;
        default:
            p.pos = i;
            fail(JSON_ERROR_ESCAPE);
            return false;
        }
        s[w++] = plain;
        i += 2;
    }
    s[w] = 0;
    out = string_t{s + start, w - start};
    p.pos = i + 1;
    return true;
}

// Digit k of the number's digit string: its integer digits, then its
// fraction digits.
inline u32 digit_at(const char* s, u64 int_begin, u64 n_int, u64 frac_begin, u64 k)
{
    return static_cast<u32>(k < n_int ? s[int_begin + k] - '0' : s[frac_begin + k - n_int] - '0');
}

i32 parse_number(parser_t& p)
{
    const char* s = p.text;
    const u64 start = p.pos;
    u64 i = start;
    bool negative = false;
    if (s[i] == '-')
    {
        negative = true;
        ++i;
        if (!is_digit(s[i]))
        {
            p.pos = i;
            fail(JSON_ERROR_MINUS);
            return -1;
        }
    }
    const u64 int_begin = i;
    if (s[i] == '0')
        ++i;
    else
    {
        while (is_digit(s[i]))
            ++i;
    }
    const u64 n_int = i - int_begin;
    u64 frac_begin = i;
    u64 n_frac = 0;
    if (s[i] == '.')
    {
        ++i;
        if (!is_digit(s[i]))
        {
            p.pos = i;
            fail(JSON_ERROR_POINT);
            return -1;
        }
        frac_begin = i;
        while (is_digit(s[i]))
            ++i;
        n_frac = i - frac_begin;
    }
    i64 exponent = 0;
    bool has_exponent = false;
    if (s[i] == 'e' || s[i] == 'E')
    {
        has_exponent = true;
        ++i;
        bool exponent_negative = false;
        if (s[i] == '+' || s[i] == '-')
        {
            exponent_negative = s[i] == '-';
            ++i;
        }
        if (!is_digit(s[i]))
        {
            p.pos = i;
            fail(JSON_ERROR_EXPONENT);
            return -1;
        }
        while (is_digit(s[i]))
        {
            if (exponent < EXPONENT_LIMIT)
                exponent = exponent * 10 + (s[i] - '0');
            ++i;
        }
        if (exponent_negative)
            exponent = -exponent;
    }
    const u64 end = i;

    // The digits d0 d1 ... with the point after `point` of them once the
    // exponent is applied. The text's length bounds the digit count far
    // below 2^62, so this sum cannot overflow.
    const i64 total = static_cast<i64>(n_int + n_frac);
    const i64 point = static_cast<i64>(n_int) + exponent;

    u64 magnitude = 0;
    bool overflow = false;
    const i64 take = point <= 0 ? 0 : (point < total ? point : total);
    for (i64 k = 0; k < take; ++k)
    {
        u32 d = digit_at(s, int_begin, n_int, frac_begin, static_cast<u64>(k));
        if (magnitude > (UINT64_MAX - d) / 10)
        {
            overflow = true;
            break;
        }
        magnitude = magnitude * 10 + d;
    }
    if (!overflow && magnitude != 0)
    {
        for (i64 k = total; k < point; ++k)
        {
            if (magnitude > UINT64_MAX / 10)
            {
                overflow = true;
                break;
            }
            magnitude *= 10;
        }
    }
    if (overflow)
        magnitude = UINT64_MAX;

    bool integral = true;
    for (i64 k = point < 0 ? 0 : point; k < total; ++k)
    {
        if (digit_at(s, int_begin, n_int, frac_begin, static_cast<u64>(k)) != 0)
        {
            integral = false;
            break;
        }
    }

    double value = 0.0;
    if (n_frac == 0 && !has_exponent && n_int <= 15)
    {
        // Up to 15 digits are exact in a double: no rounding to do.
        value = static_cast<double>(magnitude);
        if (negative)
            value = -value;
    }
    else
    {
        std::from_chars_result result = std::from_chars(s + start, s + end, value);
        if (result.ec == std::errc::result_out_of_range)
        {
            // Beyond the double range either way: the place of the first
            // non-zero digit says whether it is too large or too small.
            i64 first = 0;
            while (first < total && digit_at(s, int_begin, n_int, frac_begin, static_cast<u64>(first)) == 0)
                ++first;
            value = first < total && point - first - 1 >= 0 ? DBL_MAX : 0.0;
            if (negative)
                value = -value;
        }
    }

    i32 index = new_node(p, JSON_TYPE_NUMBER, JSON_ERROR_NODE_NUMBER);
    if (index < 0)
        return -1;
    json_value_t& number = node(p, index);
    number.number.value = value;
    number.number.magnitude = magnitude;
    number.number_negative = negative;
    number.number_integral = integral;
    number.number_overflow = overflow;
    p.pos = end;
    return index;
}

// true, false and null, letter by letter; the letter codes are those of
// the 2nd letter onward.
i32 parse_word(parser_t& p, const char* word, const i32* letter_codes, i32 end_code, json_type_t type, i32 node_code)
{
    const char* s = p.text;
    u64 length = std::strlen(word);
    for (u64 k = 1; k < length; ++k)
    {
        if (s[p.pos + k] != word[k])
        {
            p.pos += k;
            fail(letter_codes[k - 1]);
            return -1;
        }
    }
    p.pos += length;
    skip_blanks(p);
    const char c = s[p.pos];
    if (c != ',' && c != ']' && c != '}')
    {
        fail(end_code);
        return -1;
    }
    return new_node(p, type, node_code);
}

i32 parse_object(parser_t& p, u32 depth);
i32 parse_array(parser_t& p, u32 depth);

// Any value at p.pos (after blanks). An unexpected character fails without a
// code of its own; the enclosing container logs why it wanted a value.
i32 parse_value(parser_t& p, u32 depth)
{
    static const i32 true_codes[] = {JSON_ERROR_TRUE_2, JSON_ERROR_TRUE_3, JSON_ERROR_TRUE_4};
    static const i32 false_codes[] = {JSON_ERROR_FALSE_2, JSON_ERROR_FALSE_3, JSON_ERROR_FALSE_4, JSON_ERROR_FALSE_5};
    static const i32 null_codes[] = {JSON_ERROR_NULL_2, JSON_ERROR_NULL_3, JSON_ERROR_NULL_4};

    skip_blanks(p);
    const char c = p.text[p.pos];
    switch (c)
    {
    case '"':
    {
        string_t text;
        if (!parse_string(p, text))
            return -1;
        i32 index = new_node(p, JSON_TYPE_STRING, JSON_ERROR_NODE_STRING);
        if (index >= 0)
            node(p, index).string = text;
        return index;
    }
    case '{':
        return parse_object(p, depth + 1);
    case '[':
        return parse_array(p, depth + 1);
    case 't':
        return parse_word(p, "true", true_codes, JSON_ERROR_TRUE_END, JSON_TYPE_TRUE, JSON_ERROR_NODE_TRUE);
    case 'f':
        return parse_word(p, "false", false_codes, JSON_ERROR_FALSE_END, JSON_TYPE_FALSE, JSON_ERROR_NODE_FALSE);
    case 'n':
        return parse_word(p, "null", null_codes, JSON_ERROR_NULL_END, JSON_TYPE_NULL, JSON_ERROR_NODE_NULL);
    default:
        if (c == '-' || is_digit(static_cast<unsigned char>(c)))
            return parse_number(p);
        return -1;
    }
}

// A quoted name, or an unquoted one of letters, digits, "_" and bytes 128 to
// 255. An unquoted name is moved one byte to the left, over the "{", ","
// or blank already read before it, so that it too can end with a zero byte
// without overwriting the ":" the parser still has to see.
bool parse_name(parser_t& p, string_t& name)
{
    char* s = p.text;
    const unsigned char c = static_cast<unsigned char>(s[p.pos]);
    if (c == '"')
        return parse_string(p, name);
    if (!is_name_char(c))
    {
        fail(JSON_ERROR_NAME_START);
        return false;
    }
    u64 end = p.pos;
    while (is_name_char(static_cast<unsigned char>(s[end])))
        ++end;
    const u64 length = end - p.pos;
    std::memmove(s + p.pos - 1, s + p.pos, length);
    s[end - 1] = 0;
    name = string_t{s + p.pos - 1, length};
    p.pos = end;
    return true;
}

i32 parse_object(parser_t& p, u32 depth)
{
    if (depth > JSON_MAX_DEPTH)
    {
        fail(JSON_ERROR_DEPTH);
        return -1;
    }
    const i32 index = new_node(p, JSON_TYPE_OBJECT, JSON_ERROR_NODE_OBJECT);
    if (index < 0)
        return -1;
    node(p, index).object.first = -1;
    ++p.pos;
    skip_blanks(p);
    if (p.text[p.pos] == '}')
    {
        ++p.pos;
        return index;
    }
    i32 last = -1;
    for (;;)
    {
        skip_blanks(p);
        if (p.text[p.pos] == 0)
            return -1;
        string_t name;
        if (!parse_name(p, name))
        {
            fail(JSON_ERROR_NAME);
            return -1;
        }
        skip_blanks(p);
        if (p.text[p.pos] != ':')
        {
            fail(JSON_ERROR_COLON);
            return -1;
        }
        ++p.pos;
        const i32 member = parse_value(p, depth);
        if (member < 0)
        {
            fail(JSON_ERROR_MEMBER);
            return -1;
        }
        node(p, member).name = name;
        if (last < 0)
            node(p, index).object.first = member;
        else
            node(p, last).next = member;
        last = member;
        skip_blanks(p);
        const char c = p.text[p.pos];
        if (c == ',')
        {
            ++p.pos;
            continue;
        }
        if (c == '}')
        {
            ++p.pos;
            return index;
        }
        fail(JSON_ERROR_OBJECT_SEPARATOR);
        return -1;
    }
}

i32 parse_array(parser_t& p, u32 depth)
{
    if (depth > JSON_MAX_DEPTH)
    {
        fail(JSON_ERROR_DEPTH);
        return -1;
    }
    const i32 index = new_node(p, JSON_TYPE_ARRAY, JSON_ERROR_NODE_ARRAY);
    if (index < 0)
        return -1;
    node(p, index).array.first = -1;
    node(p, index).array.count = 0;
    ++p.pos;
    skip_blanks(p);
    if (p.text[p.pos] == ']')
    {
        ++p.pos;
        return index;
    }
    if (p.text[p.pos] == 0)
        return -1;
    i32 last = -1;
    i32 count = 0;
    for (;;)
    {
        const i32 element = parse_value(p, depth);
        if (element < 0)
        {
            fail(JSON_ERROR_ELEMENT);
            return -1;
        }
        if (last < 0)
            node(p, index).array.first = element;
        else
            node(p, last).next = element;
        last = element;
        skip_blanks(p);
        ++count; // below INT32_MAX: every element has a node of its own
        const char c = p.text[p.pos];
        if (c == ',')
        {
            ++p.pos;
            skip_blanks(p);
            if (p.text[p.pos] == 0)
                return -1;
            continue;
        }
        if (c == ']')
        {
            ++p.pos;
            node(p, index).array.count = count;
            return index;
        }
        fail(JSON_ERROR_ARRAY_SEPARATOR);
        return -1;
    }
}

// The reader a container belongs to; null for any other node.
json_reader_t* reader_of(const json_value_t* container)
{
    if (!container)
        return nullptr;
    if (container->type == JSON_TYPE_OBJECT)
        return container->object.reader;
    if (container->type == JSON_TYPE_ARRAY)
        return container->array.reader;
    return nullptr;
}

const json_value_t* node_at(const json_reader_t* reader, i32 index)
{
    if (!reader || index < 0 || static_cast<u64>(index) >= reader->values.count)
        return nullptr;
    return &reader->values.data[index];
}

const json_value_t* first_child(const json_value_t* container)
{
    if (!container)
        return nullptr;
    if (container->type == JSON_TYPE_OBJECT)
        return node_at(container->object.reader, container->object.first);
    if (container->type == JSON_TYPE_ARRAY)
        return node_at(container->array.reader, container->array.first);
    return nullptr;
}

const json_value_t* find_member(const json_object_t* object, const string_t& name)
{
    if (!object || object->type != JSON_TYPE_OBJECT)
        return nullptr;
    for (const json_value_t* member = node_at(object->object.reader, object->object.first); member;
         member = node_at(object->object.reader, member->next))
    {
        if (string_equal(member->name, name))
            return member;
    }
    return nullptr;
}

const json_value_t* find_member_of_type(const json_object_t* object, const string_t& name, json_type_t type)
{
    const json_value_t* member = find_member(object, name);
    return member && member->type == type ? member : nullptr;
}
} // namespace

void json_initialise(json_reader_t& reader)
{
    reader.root = -1;
    reader.position = 0;
    stringbuffer_initialise(reader.text);
    vector_initialise(reader.values, 8, false);
    reader.cursor_array = -1;
    reader.cursor_index = 0;
    reader.cursor_node = -1;
}

void json_release(json_reader_t& reader)
{
    stringbuffer_release(reader.text);
    vector_release(reader.values);
    reader.root = -1;
    reader.position = 0;
    reader.cursor_array = -1;
    reader.cursor_index = 0;
    reader.cursor_node = -1;
}

namespace
{
void reset(json_reader_t& reader)
{
    reader.root = -1;
    reader.position = 0;
    reader.values.count = 0;
    reader.cursor_array = -1;
    reader.cursor_index = 0;
    reader.cursor_node = -1;
}

// Parses reader.text, which the caller has filled.
bool parse(json_reader_t& reader)
{
    parser_t p{reader, const_cast<char*>(reader.text.str), 0};
    skip_blanks(p);
    i32 root = -1;
    if (p.text[p.pos] == '{')
        root = parse_object(p, 1);
    else if (p.text[p.pos] == '[')
        root = parse_array(p, 1);
    reader.position = p.pos;
    if (root < 0)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "JSON parse failed at character %llu:\n%.80s",
                   static_cast<unsigned long long>(p.pos), p.text + p.pos);
        reader.values.count = 0;
        return false;
    }
    reader.root = root;
    return true;
}
} // namespace

bool json_load(json_reader_t& reader, const string_t& text)
{
    reset(reader);
    if (text.length == 0)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "JSON parse failed at character %llu:\n%.80s", 0ull, "");
        return false;
    }
    if (!stringbuffer_set(reader.text, text))
        return false; // the allocation failure is logged
    return parse(reader);
}

bool json_load(json_reader_t& reader, const filename_t& filename)
{
    reset(reader);
    filecontents_t contents;
    filecontents_initialise(contents);
    if (!filecontents_load(contents, filename.path))
    {
        filecontents_release(contents);
        return false;
    }
    // The loaded bytes become the reader's text as they are, without a copy;
    // the file layer leaves a zero byte behind them.
    memorybuffer_move(contents.buffer, reader.text.storage);
    filecontents_release(contents);
    const char* text = reinterpret_cast<const char*>(reader.text.storage.buf);
    u64 length = text ? std::strlen(text) : 0;
    reader.text.str = length ? text : empty_str.str;
    reader.text.length = length;
    reader.text.storage.num_bytes = length;
    if (length == 0)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "JSON parse failed at character %llu:\n%.80s", 0ull, "");
        return false;
    }
    return parse(reader);
}

const json_value_t* json_get_root(const json_reader_t& reader)
{
    return node_at(&reader, reader.root);
}

const json_object_t* json_get_root_object(const json_reader_t& reader)
{
    const json_value_t* root = json_get_root(reader);
    return root && root->type == JSON_TYPE_OBJECT ? root : nullptr;
}

const json_value_t* json_get_struct(const json_reader_t& reader, i64 index)
{
    if (index < 0 || index > INT32_MAX)
        return nullptr;
    return node_at(&reader, static_cast<i32>(index));
}

bool json_has_member(const json_object_t* object, const string_t& name)
{
    return find_member(object, name) != nullptr;
}

const json_value_t* json_get_member(const json_object_t* object, const string_t& name)
{
    return find_member(object, name);
}

const json_object_t* json_get_member_object(const json_object_t* object, const string_t& name)
{
    return find_member_of_type(object, name, JSON_TYPE_OBJECT);
}

const json_array_t* json_get_member_array(const json_object_t* object, const string_t& name)
{
    return find_member_of_type(object, name, JSON_TYPE_ARRAY);
}

string_t json_get_member_string(const json_object_t* object, const string_t& name)
{
    const json_value_t* member = find_member_of_type(object, name, JSON_TYPE_STRING);
    return member ? member->string : empty_str;
}

bool json_get_member_bool(const json_object_t* object, const string_t& name)
{
    return find_member_of_type(object, name, JSON_TYPE_TRUE) != nullptr;
}

i32 json_get_member_int(const json_object_t* object, const string_t& name)
{
    i64 value = json_number_to_ll(find_member(object, name));
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return static_cast<i32>(value);
}

u64 json_get_member_ull(const json_object_t* object, const string_t& name)
{
    const json_value_t* member = find_member_of_type(object, name, JSON_TYPE_NUMBER);
    if (!member || member->number_negative)
        return 0; // a negative number truncates to 0 or saturates at 0
    return member->number.magnitude;
}

float json_get_member_float(const json_object_t* object, const string_t& name)
{
    double value = json_number_to_double(find_member(object, name));
    if (value > FLT_MAX)
        return FLT_MAX;
    if (value < -FLT_MAX)
        return -FLT_MAX;
    return static_cast<float>(value);
}

bool json_get_member_binary(const json_object_t* object, const string_t& name, memorybuffer_t& bytes)
{
    bytes.num_bytes = 0;
    bytes.data = nullptr;
    if (bytes.buf)
        bytes.buf[0] = 0;
    const json_value_t* member = find_member_of_type(object, name, JSON_TYPE_STRING);
    if (!member || member->string.length == 0)
        return false;
    return base64_decode(bytes, member->string);
}

const json_value_t* json_get_next_member(const json_value_t* container, const json_value_t* member)
{
    if (!member)
        return first_child(container);
    if (!container)
        return nullptr;
    return node_at(reader_of(container), member->next);
}

i32 json_get_num_elements(const json_array_t* array)
{
    return array && array->type == JSON_TYPE_ARRAY ? array->array.count : 0;
}

const json_value_t* json_get_element(const json_array_t* array, i64 n)
{
    if (!array || array->type != JSON_TYPE_ARRAY || !array->array.reader || n < 0 || n >= array->array.count)
        return nullptr;
    json_reader_t* reader = array->array.reader;
    // Only a node of the pool itself can use the cursor; a caller's copy of
    // the node walks from the start.
    const bool pooled = array >= reader->values.data && array < reader->values.data + reader->values.count;
    const i32 self = pooled ? static_cast<i32>(array - reader->values.data) : -1;
    i32 index = array->array.first;
    i32 position = 0;
    if (pooled && reader->cursor_array == self && reader->cursor_index <= n && reader->cursor_node >= 0)
    {
        index = reader->cursor_node;
        position = reader->cursor_index;
    }
    const json_value_t* element = node_at(reader, index);
    while (element && position < n)
    {
        element = node_at(reader, element->next);
        ++position;
    }
    if (element && pooled)
    {
        reader->cursor_array = self;
        reader->cursor_index = position;
        reader->cursor_node = static_cast<i32>(element - reader->values.data);
    }
    return element;
}

const json_object_t* json_get_element_object(const json_array_t* array, i64 n)
{
    const json_value_t* element = json_get_element(array, n);
    return element && element->type == JSON_TYPE_OBJECT ? element : nullptr;
}

string_t json_get_element_string(const json_array_t* array, i64 n)
{
    const json_value_t* element = json_get_element(array, n);
    return element && element->type == JSON_TYPE_STRING ? element->string : empty_str;
}

i64 json_number_to_ll(const json_number_t* number)
{
    if (!number || number->type != JSON_TYPE_NUMBER)
        return 0;
    const u64 magnitude = number->number.magnitude;
    if (number->number_negative)
    {
        if (magnitude >= static_cast<u64>(INT64_MAX) + 1)
            return INT64_MIN;
        return -static_cast<i64>(magnitude);
    }
    return magnitude > static_cast<u64>(INT64_MAX) ? INT64_MAX : static_cast<i64>(magnitude);
}

double json_number_to_double(const json_number_t* number)
{
    if (!number || number->type != JSON_TYPE_NUMBER)
        return 0.0;
    return number->number.value;
}

void json_print(const json_value_t* value, int indent)
{
    if (!value)
        return;
    if (indent < 0)
        indent = 0;
    switch (value->type)
    {
    case JSON_TYPE_STRING:
        log_printf("\"%.*s\"", static_cast<int>(value->string.length), value->string.str);
        break;
    case JSON_TYPE_NUMBER:
        log_printf("%lld", static_cast<long long>(json_number_to_ll(value)));
        break;
    case JSON_TYPE_TRUE:
        log_print("true");
        break;
    case JSON_TYPE_FALSE:
        log_print("false");
        break;
    case JSON_TYPE_NULL:
        log_print("null");
        break;
    case JSON_TYPE_OBJECT:
    case JSON_TYPE_ARRAY:
    {
        const bool object = value->type == JSON_TYPE_OBJECT;
        log_print(object ? "{" : "[");
        bool first = true;
        for (const json_value_t* child = first_child(value); child; child = node_at(reader_of(value), child->next))
        {
            if (!first)
                log_print(",");
            first = false;
            if (object)
                log_printf("\n%*s\"%.*s\": ", indent + 2, "", static_cast<int>(child->name.length), child->name.str);
            else
                log_printf("\n%*s", indent + 2, "");
            json_print(child, indent + 2);
        }
        log_printf(object ? "\n%*s}" : "\n%*s]", indent, "");
        break;
    }
    }
}
} // namespace orvo

// Photo naming by filename expression, and the whole-name validation.
// Tokens are read with the four patterns "[%c]", "[%c%20i]", "[%c%c]" and
// "[%c%40[^]]]", tried in that order, each needing its closing ']'. The reader
// below follows the formatted-input rules of those patterns (an integer width
// in any base with its sign, white space skipped before it) without calling
// sscanf, whose out-of-range integers are undefined.
#include "orvo/camera/camera_naming.h"

#include "orvo/core/core_filename.h"
#include "orvo/core/core_log.h"
#include "orvo/core/core_time.h"

#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace orvo
{
namespace
{
// One reading of the clock, broken into local fields (all 0 when the
// conversion fails).
struct name_time_t
{
    bool valid;
    struct tm tm;
    i32 year, month, day, hour, minute, second, millisecond;
};

void read_time(name_time_t& time)
{
    std::memset(&time, 0, sizeof(time));
    const i64 now = time_get_wallclock();
    i64 seconds = now / 1000000;
    i64 micro = now % 1000000;
    if (micro < 0)
    {
        micro += 1000000;
        seconds -= 1;
    }
    const time_t t = static_cast<time_t>(seconds);
    if (!localtime_r(&t, &time.tm))
    {
        std::memset(&time.tm, 0, sizeof(time.tm));
        return;
    }
    time.valid = true;
    time.year = time.tm.tm_year + 1900;
    time.month = time.tm.tm_mon + 1;
    time.day = time.tm.tm_mday;
    time.hour = time.tm.tm_hour;
    time.minute = time.tm.tm_min;
    time.second = time.tm.tm_sec;
    time.millisecond = static_cast<i32>(micro / 1000);
}

// The token found at a '['.
struct token_t
{
    bool matched;
    char letter;
    int width;          // 0 unless a width was read
    char separator;     // pattern 3
    bool has_separator;
    std::string argument; // pattern 4
    bool has_argument;
    u64 length; // bytes from '[' through ']'
};

int clamp_width(long long value)
{
    if (value > PHOTO_NAME_MAX_WIDTH)
        return PHOTO_NAME_MAX_WIDTH;
    if (value < -PHOTO_NAME_MAX_WIDTH)
        return -PHOTO_NAME_MAX_WIDTH;
    return static_cast<int>(value);
}

int digit_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 99;
}

// "%20i" at text[pos]: white space skipped, then at most 20 characters of an
// optional sign, a base prefix and digits. True with the value (saturated,
// then clamped to the width limits) and the position after the number.
bool read_width(const char* text, u64 length, u64& pos, int& width)
{
    u64 p = pos;
    while (p < length && std::isspace(static_cast<unsigned char>(text[p])))
        ++p;
    const u64 end = p + 20 < length ? p + 20 : length;
    bool negative = false;
    if (p < end && (text[p] == '+' || text[p] == '-'))
    {
        negative = text[p] == '-';
        ++p;
    }
    int base = 10;
    bool digits = false;
    if (p < end && text[p] == '0')
    {
        base = 8;
        digits = true; // the 0 itself
        ++p;
        if (p < end && (text[p] == 'x' || text[p] == 'X'))
        {
            base = 16;
            ++p;
            // "0x" without a hex digit reads as 0, as the C library does.
        }
    }
    // Saturate well past the clamp so no value can overflow.
    long long value = 0;
    while (p < end && digit_value(text[p]) < base)
    {
        if (value < 1000000)
            value = value * base + digit_value(text[p]);
        digits = true;
        ++p;
    }
    if (!digits)
        return false;
    width = clamp_width(negative ? -value : value);
    pos = p;
    return true;
}

void read_token(const char* text, u64 length, u64 pos, token_t& token)
{
    token = token_t();
    token.matched = false;
    token.width = 0;
    // Every pattern needs '[', a letter and at least one more byte.
    if (pos + 2 >= length)
        return;
    token.letter = text[pos + 1];
    const u64 after_letter = pos + 2;

    // 1: "[%c]"
    if (text[after_letter] == ']')
    {
        token.matched = true;
        token.length = 3;
        return;
    }
    // 2: "[%c%20i]"; a number read before the pattern fails stays as the width.
    u64 p = after_letter;
    int width = 0;
    if (read_width(text, length, p, width))
    {
        token.width = width;
        if (p < length && text[p] == ']')
        {
            token.matched = true;
            token.length = p + 1 - pos;
            return;
        }
    }
    // 3: "[%c%c]"
    if (after_letter + 1 < length && text[after_letter + 1] == ']')
    {
        token.matched = true;
        token.separator = text[after_letter];
        token.has_separator = true;
        token.length = 4;
        return;
    }
    // 4: "[%c%40[^]]]"
    p = after_letter;
    while (p < length && text[p] != ']' && p - after_letter < PHOTO_NAME_MAX_ARGUMENT)
        ++p;
    if (p > after_letter && p < length && text[p] == ']')
    {
        token.matched = true;
        token.argument.assign(text + after_letter, p - after_letter);
        token.has_argument = true;
        token.length = p + 1 - pos;
    }
}

// Text from outside stays one piece of a name: no '/', '\\' or zero byte.
std::string clean_text(const string_t& text)
{
    std::string out;
    if (!text.str)
        return out;
    out.assign(text.str, strnlen(text.str, text.length));
    filename_sanitise_name(out);
    return out;
}

std::string file_stem(const string_t& file_name)
{
    std::string name = file_name.str ? std::string(file_name.str, strnlen(file_name.str, file_name.length)) : "";
    const size_t slash = name.find_last_of("/\\");
    if (slash != std::string::npos)
        name.erase(0, slash + 1);
    if (name == "." || name == "..")
        return name;
    const size_t dot = name.find_last_of('.');
    if (dot != std::string::npos && dot > 0)
        name.erase(dot);
    return name;
}

struct builder_t
{
    stringbuffer_t& out;
    bool failed;
};

void append(builder_t& b, const char* text, u64 length)
{
    if (!length)
        return;
    if (!stringbuffer_append(b.out, string_make(text, length)))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to allocate memory: %llu bytes",
                   static_cast<unsigned long long>(b.out.length + length + 1));
        b.failed = true;
    }
}

void append(builder_t& b, const std::string& text)
{
    append(b, text.data(), text.size());
}

void appendf(builder_t& b, const char* format, ...) ORVO_PRINTF_FORMAT(2, 3);
void appendf(builder_t& b, const char* format, ...)
{
    // Widths are clamped to 32 and numbers are ints: 64 bytes always suffice.
    char piece[128];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(piece, sizeof(piece), format, args);
    va_end(args);
    if (n > 0)
        append(b, piece, static_cast<u64>(n) < sizeof(piece) ? static_cast<u64>(n) : sizeof(piece) - 1);
}

void append_padded(builder_t& b, const std::string& text, int width)
{
    // "%-*s": left-aligned; a negative width means the same.
    append(b, text);
    const size_t field = static_cast<size_t>(width < 0 ? -width : width);
    if (text.size() < field)
        append(b, std::string(field - text.size(), ' '));
}

std::string extension_letters(const string_t& extension, bool upper)
{
    std::string out;
    if (!extension.str)
        return out;
    for (u64 i = 0; i < extension.length && extension.str[i]; ++i)
    {
        const char c = extension.str[i];
        if (c == '.')
            continue;
        if (c >= 'a' && c <= 'z' && upper)
            out += static_cast<char>(c - 'a' + 'A');
        else if (c >= 'A' && c <= 'Z' && !upper)
            out += static_cast<char>(c - 'A' + 'a');
        else
            out += c;
    }
    return out;
}

// True when the letter is a token; its expansion is appended.
bool expand(builder_t& b, const token_t& token, const name_time_t& time, const string_t& text_a,
            const string_t& text_u, const string_t& text_z, const string_t& camera_name, const string_t& serial,
            const string_t& group, const string_t& camera_file_name, const string_t& extension, i32 camera_number,
            i32 sequence, i32 batch)
{
    const int width = token.width;
    switch (token.letter)
    {
    case 'E':
        append(b, extension_letters(extension, true));
        return true;
    case 'e':
        append(b, extension_letters(extension, false));
        return true;
    default:
        break;
    }
    switch (std::toupper(static_cast<unsigned char>(token.letter)))
    {
    case 'A':
        append_padded(b, clean_text(text_a), width);
        return true;
    case 'B':
        appendf(b, "%0*d", width, batch);
        return true;
    case 'C':
        append_padded(b, clean_text(camera_name), width);
        return true;
    case 'D':
        if (token.has_separator)
            appendf(b, "%04d%c%02d%c%02d", time.year, token.separator, time.month, token.separator, time.day);
        else
            appendf(b, "%04d%02d%02d", time.year, time.month, time.day);
        return true;
    case 'G':
        append_padded(b, clean_text(group), width);
        return true;
    case 'M':
        appendf(b, "%03d", time.millisecond);
        return true;
    case 'N':
        appendf(b, "%0*d", width, camera_number);
        return true;
    case 'O':
    {
        std::string stem = file_stem(camera_file_name);
        filename_sanitise_name(stem);
        append_padded(b, stem, width);
        return true;
    }
    case 'S':
        appendf(b, "%0*d", width, sequence);
        return true;
    case 'T':
        if (token.has_argument)
        {
            char text[PHOTO_NAME_MAX_TIME_TEXT + 1];
            const size_t n = std::strftime(text, sizeof(text), token.argument.c_str(), &time.tm);
            if (n > 0 && n <= PHOTO_NAME_MAX_TIME_TEXT)
                append(b, text, n);
        }
        else if (token.has_separator)
            appendf(b, "%02d%c%02d%c%02d", time.hour, token.separator, time.minute, token.separator, time.second);
        else
            appendf(b, "%02d%02d%02d", time.hour, time.minute, time.second);
        return true;
    case 'U':
        append_padded(b, clean_text(text_u), width);
        return true;
    case 'X':
        append_padded(b, clean_text(serial), width);
        return true;
    case 'Z':
        append_padded(b, clean_text(text_z), width);
        return true;
    default:
        return false;
    }
}
} // namespace

void photo_compute_filename(stringbuffer_t& out, const string_t& expression, const string_t& text_a,
                            const string_t& text_u, const string_t& text_z, const string_t& camera_name,
                            const string_t& serial, const string_t& group, const string_t& camera_file_name,
                            const string_t& extension, i32 camera_number, i32 sequence, i32 batch)
{
    name_time_t time;
    read_time(time);
    stringbuffer_clear(out);
    builder_t b{out, false};

    const char* text = expression.str ? expression.str : "";
    const u64 length = expression.str ? strnlen(expression.str, expression.length) : 0;
    u64 pos = 0;
    while (pos < length)
    {
        const u64 start = pos;
        while (pos < length && text[pos] != '[')
            ++pos;
        append(b, text + start, pos - start);
        if (pos >= length)
            break;
        token_t token;
        read_token(text, length, pos, token);
        if (token.matched && expand(b, token, time, text_a, text_u, text_z, camera_name, serial, group,
                                    camera_file_name, extension, camera_number, sequence, batch))
        {
            pos += token.length;
            continue;
        }
        // Not a token: the '[' is literal and the rest is read as text.
        append(b, "[", 1);
        ++pos;
    }
    if (extension.str && extension.length)
        append(b, extension.str, strnlen(extension.str, extension.length));

    stringbuffer_transform(out, invalid_to_underscore);
    // The name is one component inside its folder, whatever the expression,
    // a strftime format or an outside text put into it.
    filename_sanitise_name(out);
    if (out.length == 1 && out.str[0] == '.')
        stringbuffer_set(out, "_");
}

// --- validation ---------------------------------------------------------------------------------

void photo_validation_initialise(photo_validation_t& validation)
{
    std::memset(&validation, 0, sizeof(validation));
}

void photo_validation_release(photo_validation_t& validation)
{
    if (validation.compiled)
        regfree(&validation.regex);
    validation.compiled = false;
}

namespace
{
// glibc's regcomp copies the tree of a repeated piece once per repetition, so
// a quantifier on something already repeated ("a+++", "(x{200})+") grows
// exponentially: sixty characters can take gigabytes. Validation expressions
// come from requests, so those shapes and counts above 255 are refused before
// compiling; ordinary name patterns never need them.
bool validation_expression_is_tame(const std::string& pattern, const char*& why)
{
    const u64 kMaxCount = 255;
    std::vector<bool> group_repeats(1, false); // per open group: holds a quantifier
    bool last_repeated = false;                // the piece just read carries a quantifier
    bool last_group_repeats = false;           // the piece just read is a group holding one
    bool have_piece = false;
    for (size_t i = 0; i < pattern.size(); ++i)
    {
        const char c = pattern[i];
        if (c == '*' || c == '+' || c == '?' || c == '{')
        {
            if (c == '{')
            {
                // The counts of an interval; a '{' that opens none is left to regcomp.
                size_t j = i + 1;
                u64 count = 0;
                bool digits = false;
                for (; j < pattern.size() && pattern[j] != '}'; ++j)
                {
                    if (pattern[j] >= '0' && pattern[j] <= '9')
                    {
                        digits = true;
                        count = count * 10 + u64(pattern[j] - '0');
                        if (count > kMaxCount)
                        {
                            why = "repetition count above 255";
                            return false;
                        }
                    }
                    else if (pattern[j] == ',')
                        count = 0;
                    else
                        break;
                }
                if (j >= pattern.size() || pattern[j] != '}' || !digits)
                    continue;
                i = j;
            }
            if (have_piece && (last_repeated || last_group_repeats))
            {
                why = "a quantifier on a piece that is already repeated";
                return false;
            }
            last_repeated = true;
            group_repeats.back() = true;
            continue;
        }
        last_group_repeats = false;
        if (c == '\\')
        {
            ++i;
            last_repeated = false;
            have_piece = true;
            continue;
        }
        if (c == '[')
        {
            // A bracket expression is one piece: skip to its closing ']'
            // (a ']' right after '[' or "[^" belongs to the set).
            size_t j = i + 1;
            if (j < pattern.size() && pattern[j] == '^')
                ++j;
            if (j < pattern.size() && pattern[j] == ']')
                ++j;
            for (; j < pattern.size() && pattern[j] != ']'; ++j)
                if (pattern[j] == '[' && j + 1 < pattern.size() &&
                    (pattern[j + 1] == ':' || pattern[j + 1] == '.' || pattern[j + 1] == '='))
                {
                    const char end = pattern[j + 1];
                    size_t k = j + 2;
                    while (k + 1 < pattern.size() && !(pattern[k] == end && pattern[k + 1] == ']'))
                        ++k;
                    j = k + 1;
                }
            i = j;
            last_repeated = false;
            have_piece = true;
            continue;
        }
        if (c == '(')
        {
            group_repeats.push_back(false);
            last_repeated = false;
            have_piece = false;
            continue;
        }
        if (c == ')' && group_repeats.size() > 1)
        {
            const bool inner = group_repeats.back();
            group_repeats.pop_back();
            if (inner)
                group_repeats.back() = true;
            last_repeated = false;
            last_group_repeats = inner;
            have_piece = true;
            continue;
        }
        if (c == '|')
        {
            last_repeated = false;
            have_piece = false;
            continue;
        }
        last_repeated = false;
        have_piece = true;
    }
    return true;
}
} // namespace

bool photo_validation_compile(photo_validation_t& validation, const string_t& text)
{
    if (!text.str || text.length == 0)
    {
        photo_validation_release(validation);
        return true;
    }
    const std::string pattern(text.str, strnlen(text.str, text.length));
    const char* why = nullptr;
    if (!validation_expression_is_tame(pattern, why))
    {
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Failed to compile filename validation (%s): %s", why,
                   pattern.c_str());
        return false;
    }
    regex_t regex;
    const int error = regcomp(&regex, pattern.c_str(), REG_EXTENDED);
    if (error != 0)
    {
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA, "Failed to compile filename validation: %s", pattern.c_str());
        return false;
    }
    photo_validation_release(validation);
    validation.regex = regex;
    validation.compiled = true;
    return true;
}

bool photo_validation_is_set(const photo_validation_t& validation)
{
    return validation.compiled;
}

bool photo_validation_match(const photo_validation_t& validation, const string_t& name)
{
    if (!validation.compiled)
        return true;
    const char* text = name.str ? name.str : "";
    const u64 length = name.str ? name.length : 0;
    // A name with a zero byte inside cannot be matched whole.
    if (strnlen(text, length) != length)
        return false;
    // POSIX matching is leftmost-longest: when any match covers the whole
    // name, the match found at position 0 does.
    regmatch_t match;
    if (regexec(&validation.regex, text, 1, &match, 0) != 0)
        return false;
    return match.rm_so == 0 && static_cast<u64>(match.rm_eo) == length;
}
} // namespace orvo

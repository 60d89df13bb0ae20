// Maker and model identification from DeviceInfo strings: substring search in
// an ASCII upper-cased copy for every maker, and token rules for Canon's
// regional model names. The copy and the token list live only for one call.
#include "orvo/camera/mtp_identify.h"

#include "orvo/core/core_log.h"
#include "orvo/core/core_stringarray.h"

#include <cstring>

namespace orvo
{
namespace
{
const char* const manufacturer_names[] = {"Canon", "Fujifilm", "Nikon", "Ricoh"};

const char* const model_names[MTP_MODEL_COUNT] = {
    // Canon
    "1D MarkIII", "1Ds MarkIII", "1D MarkIV", "1D C", "1D X", "5D", "5D MarkII", "5D MarkIII", "5D MarkIV", "5DS",
    "5DS R", "6D", "6D MarkII", "7D", "7D MarkII", "40D", "50D", "60D", "70D", "77D", "80D", "100D", "200D", "350D",
    "400D", "450D", "500D", "550D", "600D", "650D", "700D", "750D", "760D", "800D", "1000D", "1100D", "1200D",
    "1300D",
    // Fujifilm
    "X-T2",
    // Nikon
    "D3", "D3s", "D3x", "D4", "D4s", "D5", "D40", "D60", "D80", "D90", "D200", "D300", "D300s", "D500", "D600",
    "D610", "D700", "D750", "D800", "D800E", "D810", "D810A", "D850", "D3000", "D3100", "D3200", "D3300", "D3400",
    "D5000", "D5100", "D5200", "D5300", "D5500", "D5600", "D7000", "D7100", "D7200", "D7500", "Df", "S2800",
    "S3600", "S6700", "S9100",
    // Ricoh
    "Theta S", "Theta V"};

struct model_pattern_t
{
    const char* text;
    u32 model;
};

// Longer names come before the shorter names they contain, so that the first
// substring found is the most specific one.
const model_pattern_t canon_patterns[] = {
    {"1DS MARKIII", 1}, {"1D MARKIII", 0}, {"5D MARKIII", 7}, {"1D MARKIV", 2}, {"5D MARKII", 6}, {"5D MARKIV", 8},
    {"6D MARKII", 12},  {"7D MARKII", 14}, {"1000D", 34},     {"1100D", 35},    {"1200D", 36},    {"1300D", 37},
    {"5DS R", 10},      {"100D", 21},      {"1D C", 3},       {"1D X", 4},      {"200D", 22},     {"350D", 23},
    {"400D", 24},       {"450D", 25},      {"500D", 26},      {"550D", 27},     {"600D", 28},     {"650D", 29},
    {"700D", 30},       {"750D", 31},      {"760D", 32},      {"800D", 33},     {"40D", 15},      {"50D", 16},
    {"5DS", 9},         {"60D", 17},       {"70D", 18},       {"77D", 19},      {"80D", 20},      {"5D", 5},
    {"6D", 11},         {"7D", 13}};

const model_pattern_t fujifilm_patterns[] = {{"X-T2", 38}};

const model_pattern_t nikon_patterns[] = {
    {"D3000", 62}, {"D300S", 51}, {"D3100", 63}, {"D3200", 64}, {"D3300", 65}, {"D3400", 66}, {"D5000", 67},
    {"D5100", 68}, {"D5200", 69}, {"D5300", 70}, {"D5500", 71}, {"D5600", 72}, {"D7000", 73}, {"D7100", 74},
    {"D7200", 75}, {"D7500", 76}, {"D800E", 58}, {"D810A", 60}, {"S2800", 78}, {"S3600", 79}, {"S6700", 80},
    {"S9100", 81}, {"D200", 49},  {"D300", 50},  {"D500", 52},  {"D600", 53},  {"D610", 54},  {"D700", 55},
    {"D750", 56},  {"D800", 57},  {"D810", 59},  {"D850", 61},  {"D3S", 40},   {"D3X", 41},   {"D40", 45},
    {"D4S", 43},   {"D60", 46},   {"D80", 47},   {"D90", 48},   {"D3", 39},    {"D4", 42},    {"D5", 44},
    {"DF", 77}};

const model_pattern_t ricoh_patterns[] = {{"THETA S", 82}, {"THETA V", 83}};

// One token rule: some token equals first, and (when second is set) some
// token anywhere in the list equals second.
struct canon_rule_t
{
    const char* first;
    const char* second;
    u32 model;
};

// Tried from the top, so the Mark rules of a body come before its bare name.
const canon_rule_t canon_rules[] = {
    {"1DC", nullptr, 3},    {"1D", "C", 3},         {"1DX", nullptr, 4},    {"1D", "X", 4},
    {"1DS", "III", 1},      {"1D", "III", 0},       {"1D", "IV", 2},        {"5D", "III", 7},
    {"5D", "II", 6},        {"5D", "IV", 8},        {"5D", nullptr, 5},     {"5DS", "R", 10},
    {"5DS", nullptr, 9},    {"6D", "II", 12},       {"6D", nullptr, 11},    {"7D", "II", 14},
    {"7D", nullptr, 13},    {"40D", nullptr, 15},   {"50D", nullptr, 16},   {"60D", nullptr, 17},
    {"70D", nullptr, 18},   {"77D", nullptr, 19},   {"9000D", nullptr, 19}, {"80D", nullptr, 20},
    {"100D", nullptr, 21},  {"REBEL", "SL1", 21},   {"KISS", "X7", 21},     {"200D", nullptr, 22},
    {"REBEL", "SL2", 22},   {"KISS", "X8", 22},     {"350D", nullptr, 23},  {"REBEL", "XT", 23},
    {"KISS", "N", 23},      {"400D", nullptr, 24},  {"REBEL", "XTI", 24},   {"KISS", "X", 24},
    {"450D", nullptr, 25},  {"REBEL", "XSI", 25},   {"KISS", "X2", 25},     {"500D", nullptr, 26},
    {"REBEL", "T1I", 26},   {"KISS", "X3", 26},     {"550D", nullptr, 27},  {"REBEL", "T2I", 27},
    {"KISS", "X4", 27},     {"600D", nullptr, 28},  {"REBEL", "T3I", 28},   {"KISS", "X5", 28},
    {"650D", nullptr, 29},  {"REBEL", "T4I", 29},   {"KISS", "X6I", 29},    {"700D", nullptr, 30},
    {"REBEL", "T5I", 30},   {"KISS", "X7I", 30},    {"750D", nullptr, 31},  {"REBEL", "T6I", 31},
    {"KISS", "X8I", 31},    {"760D", nullptr, 32},  {"REBEL", "T6S", 32},   {"8000D", nullptr, 32},
    {"800D", nullptr, 33},  {"REBEL", "T7I", 33},   {"KISS", "X9I", 33},    {"1000D", nullptr, 34},
    {"REBEL", "XS", 34},    {"KISS", "F", 34},      {"1100D", nullptr, 35}, {"REBEL", "T3", 35},
    {"KISS", "X50", 35},    {"1200D", nullptr, 36}, {"REBEL", "T5", 36},    {"KISS", "X70", 36},
    {"1300D", nullptr, 37}, {"REBEL", "T6", 37},    {"KISS", "X80", 37}};

// An ASCII upper-cased, zero-terminated copy of the text, or null (logged)
// when it cannot be allocated. The caller frees it with heap_free.
char* upper_copy(const string_t& text)
{
    const u64 num_bytes = text.length + 1;
    char* copy = static_cast<char*>(heap_alloc(num_bytes, 1, ORVO_HEAP_TAG));
    if (!copy)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "Failed to allocate memory: %llu bytes",
                   static_cast<unsigned long long>(num_bytes));
        return nullptr;
    }
    for (u64 i = 0; i < text.length; ++i)
    {
        unsigned char c = static_cast<unsigned char>(text.str[i]);
        copy[i] = static_cast<char>((c >= 'a' && c <= 'z') ? c - 'a' + 'A' : c);
    }
    copy[text.length] = 0;
    return copy;
}

// Substring search over the whole length: a string from a camera may hold a
// zero byte, which must not hide what follows it.
bool contains(const char* text, u64 length, const char* needle)
{
    const u64 n = std::strlen(needle);
    if (n > length)
        return false;
    for (u64 i = 0; i + n <= length; ++i)
    {
        if (std::memcmp(text + i, needle, n) == 0)
            return true;
    }
    return false;
}

template <size_t N>
u32 match_patterns(const model_pattern_t (&patterns)[N], const char* text, u64 length)
{
    for (const model_pattern_t& pattern : patterns)
    {
        if (contains(text, length, pattern.text))
            return pattern.model;
    }
    return MTP_MODEL_UNKNOWN;
}

bool has_token(const stringarray_t& tokens, const char* token)
{
    for (u64 i = 0; i < tokens.strings.count; ++i)
    {
        if (string_equal(tokens.strings.data[i], string_make(token)))
            return true;
    }
    return false;
}
} // namespace

mtp_manufacturer_t mtp_manufacturer_from_cstr(const string_t& text)
{
    if (text.length == 0)
        return MTP_MANUFACTURER_UNKNOWN;
    char* copy = upper_copy(text);
    if (!copy)
        return MTP_MANUFACTURER_UNKNOWN;
    static const char* const makers[] = {"CANON", "FUJIFILM", "NIKON", "RICOH"};
    mtp_manufacturer_t result = MTP_MANUFACTURER_UNKNOWN;
    for (u32 i = 0; i < 4; ++i)
    {
        if (contains(copy, text.length, makers[i]))
        {
            result = static_cast<mtp_manufacturer_t>(i);
            break;
        }
    }
    heap_free(copy, ORVO_HEAP_TAG);
    return result;
}

mtp_model_t mtp_model_from_cstr(u32 manufacturer, const string_t& text)
{
    if (text.length == 0 || manufacturer >= MTP_MANUFACTURER_UNKNOWN)
        return MTP_MODEL_UNKNOWN;
    char* copy = upper_copy(text);
    if (!copy)
        return MTP_MODEL_UNKNOWN;
    u32 model = MTP_MODEL_UNKNOWN;
    switch (manufacturer)
    {
    case MTP_MANUFACTURER_CANON:
        model = match_patterns(canon_patterns, copy, text.length);
        break;
    case MTP_MANUFACTURER_FUJIFILM:
        model = match_patterns(fujifilm_patterns, copy, text.length);
        break;
    case MTP_MANUFACTURER_NIKON:
        model = match_patterns(nikon_patterns, copy, text.length);
        break;
    case MTP_MANUFACTURER_RICOH:
        model = match_patterns(ricoh_patterns, copy, text.length);
        break;
    default:
        break;
    }
    heap_free(copy, ORVO_HEAP_TAG);
    return static_cast<mtp_model_t>(model);
}

mtp_model_t mtp_canon_model_from_cstr(u32 manufacturer, const string_t& text)
{
    if (manufacturer != MTP_MANUFACTURER_CANON)
        return MTP_MODEL_UNKNOWN;
    u32 model = MTP_MODEL_UNKNOWN;
    if (text.length)
    {
        char* copy = upper_copy(text);
        if (copy)
        {
            stringarray_t tokens;
            stringarray_initialise(tokens);
            // A failed tokenise leaves no tokens: the substring fallback decides.
            stringarray_tokenise(tokens, string_t{copy, text.length}, " -_,.\t");
            for (const canon_rule_t& rule : canon_rules)
            {
                if (has_token(tokens, rule.first) && (!rule.second || has_token(tokens, rule.second)))
                {
                    model = rule.model;
                    break;
                }
            }
            stringarray_release(tokens);
            heap_free(copy, ORVO_HEAP_TAG);
        }
    }
    if (model != MTP_MODEL_UNKNOWN)
        return static_cast<mtp_model_t>(model);
    return mtp_model_from_cstr(manufacturer, text);
}

const char* mtp_manufacturer_to_cstr(u32 manufacturer)
{
    return manufacturer < MTP_MANUFACTURER_UNKNOWN ? manufacturer_names[manufacturer] : "unknown";
}

const char* mtp_model_to_cstr(u32 model)
{
    return model < MTP_MODEL_COUNT ? model_names[model] : "unknown";
}
} // namespace orvo

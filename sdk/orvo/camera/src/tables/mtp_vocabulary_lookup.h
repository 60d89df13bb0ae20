// The records behind the generated name tables (mtp_codes_names.inc,
// mtp_property_names.inc), their binary search and the name lookup both
// vocabulary sources share. Private to those sources; every table is sorted
// by code by the generator.
#pragma once

#include "orvo/core/core_types.h"

#include <cstddef>

namespace orvo
{
struct mtp_codename_t
{
    u32 code;
    const char* name;
};

struct mtp_valuename_t
{
    u32 value;
    const char* name;
};

// The display texts of one property's raw values.
struct mtp_valuetable_t
{
    u32 property;
    const mtp_valuename_t* values;
    size_t count;
};

inline u32 mtp_vocabulary_key(const mtp_codename_t& entry)
{
    return entry.code;
}
inline u32 mtp_vocabulary_key(const mtp_valuename_t& entry)
{
    return entry.value;
}
inline u32 mtp_vocabulary_key(const mtp_valuetable_t& entry)
{
    return entry.property;
}

// The entry whose key equals code, or null.
template <typename Entry>
const Entry* mtp_vocabulary_find(const Entry* table, size_t count, u32 code)
{
    size_t lo = 0;
    size_t hi = count;
    while (lo < hi)
    {
        size_t mid = lo + (hi - lo) / 2;
        u32 key = mtp_vocabulary_key(table[mid]);
        if (key < code)
            lo = mid + 1;
        else if (key > code)
            hi = mid;
        else
            return &table[mid];
    }
    return nullptr;
}

template <typename Entry, size_t N>
const Entry* mtp_vocabulary_find(const Entry (&table)[N], u32 code)
{
    return mtp_vocabulary_find(table, N, code);
}

// The text every lookup gives for a code no table names.
constexpr const char* mtp_vocabulary_unknown = "unknown";

inline const char* mtp_vocabulary_or_unknown(const char* name)
{
    return name ? name : mtp_vocabulary_unknown;
}

// The name of code in a name table, or null.
template <size_t N>
const char* mtp_vocabulary_name(const mtp_codename_t (&table)[N], u32 code)
{
    const mtp_codename_t* entry = mtp_vocabulary_find(table, code);
    return entry ? entry->name : nullptr;
}
} // namespace orvo

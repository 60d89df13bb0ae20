// Naming of device properties and of their raw values. Names: the standard
// table on every dialect, then the device's vendor table. Values: the five
// standard properties on every dialect, then the vendor's own tables. The
// tables are generated from tables/mtp_vocabulary.txt by
// scripts/gen_ptp_vocab.py.
#include "orvo/camera/mtp_propertycodes.h"

#include "tables/mtp_vocabulary_lookup.h"

namespace orvo
{
namespace
{
#include "tables/mtp_property_names.inc"

// The vendor's own name table, or null for a dialect without one.
const char* find_vendor_name(u32 protocol, u32 property)
{
    switch (protocol)
    {
    case MTP_PROTOCOL_CANON:
        return mtp_vocabulary_name(mtp_property_names_canon, property);
    case MTP_PROTOCOL_NIKON:
        return mtp_vocabulary_name(mtp_property_names_nikon, property);
    case MTP_PROTOCOL_FUJIFILM:
        return mtp_vocabulary_name(mtp_property_names_fujifilm, property);
    default:
        return nullptr;
    }
}

template <size_t N>
const char* find_value(const mtp_valuetable_t (&tables)[N], u32 property, u32 value)
{
    const mtp_valuetable_t* table = mtp_vocabulary_find(tables, property);
    if (!table)
        return nullptr;
    const mtp_valuename_t* entry = mtp_vocabulary_find(table->values, table->count, value);
    return entry ? entry->name : nullptr;
}
} // namespace

const char* mtp_property_to_cstr(u32 protocol, u32 property)
{
    if (const char* name = mtp_vocabulary_name(mtp_property_names_standard, property))
        return name;
    const char* name = find_vendor_name(protocol, property);
    return mtp_vocabulary_or_unknown(name);
}

mtp_protocol_t mtp_property_to_protocol(u32 protocol, u32 property)
{
    // A code the vendor names is the vendor's even where it clashes with
    // another vendor's code (0xD017 is Nikon's on a Nikon, Fujifilm's on a
    // Fujifilm); standard codes never reach a vendor table.
    if (mtp_vocabulary_name(mtp_property_names_standard, property))
        return MTP_PROTOCOL_GENERIC;
    if (find_vendor_name(protocol, property))
        return static_cast<mtp_protocol_t>(protocol);
    return MTP_PROTOCOL_GENERIC;
}

const char* mtp_property_to_cstr(u32 protocol, u32 property, u32 value)
{
    if (const char* name = find_value(mtp_value_tables_standard, property, value))
        return name;
    const char* name = nullptr;
    if (protocol == MTP_PROTOCOL_NIKON)
        name = find_value(mtp_value_tables_nikon, property, value);
    else if (protocol == MTP_PROTOCOL_CANON)
        name = find_value(mtp_value_tables_canon, property, value);
    return mtp_vocabulary_or_unknown(name);
}
} // namespace orvo

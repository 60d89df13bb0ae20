// Who made a camera and which model it is, from the Manufacturer and Model
// strings of its DeviceInfo. The maker chooses the vendor extension that drives
// the camera; the model is one of the 84 cameras known by name, or not
// recognised (a camera still driven by its maker's extension). Matching ignores
// ASCII case. Names are constant texts, never null and never freed.
#pragma once

#include "orvo/core/core_string.h"

namespace orvo
{
enum mtp_manufacturer_t : u32
{
    MTP_MANUFACTURER_CANON = 0,
    MTP_MANUFACTURER_FUJIFILM = 1,
    MTP_MANUFACTURER_NIKON = 2,
    MTP_MANUFACTURER_RICOH = 3,
    MTP_MANUFACTURER_UNKNOWN = 4,
};

// An index into the model table (0 "1D MarkIII" to 83 "Theta V"), or
// MTP_MODEL_UNKNOWN. The runs of each maker: Canon 0-37, Fujifilm 38,
// Nikon 39-81, Ricoh 82-83.
enum mtp_model_t : u32
{
    MTP_MODEL_CANON_FIRST = 0,
    MTP_MODEL_FUJIFILM_FIRST = 38,
    MTP_MODEL_NIKON_FIRST = 39,
    MTP_MODEL_RICOH_FIRST = 82,
    MTP_MODEL_COUNT = 84,
    MTP_MODEL_UNKNOWN = 84,
};

// The first of "CANON", "FUJIFILM", "NIKON", "RICOH" found anywhere in the text.
mtp_manufacturer_t mtp_manufacturer_from_cstr(const string_t& text);
// The first of the maker's model names found anywhere in the text, longer
// names tried before the shorter ones they contain ("D810A" before "D810").
mtp_model_t mtp_model_from_cstr(u32 manufacturer, const string_t& text);
// Canon's regional names ("Rebel T7i", "Kiss X9i", "800D") matched by tokens,
// falling back to mtp_model_from_cstr; MTP_MODEL_UNKNOWN at once for any
// other maker.
mtp_model_t mtp_canon_model_from_cstr(u32 manufacturer, const string_t& text);

const char* mtp_manufacturer_to_cstr(u32 manufacturer);
const char* mtp_model_to_cstr(u32 model);
} // namespace orvo

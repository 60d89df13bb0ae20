// The 12 abstract camera properties (aperture, shutter speed, ISO, ...) through
// which the camera layer reads and changes a camera's settings without knowing
// its vendor: mtp_cameraproperty_t holds the value names, the current index and
// the version pairs it last took over from the device's property descriptions.
// The device record owns one per type; the vendor extension sets the code and
// the get, set and to-string functions. The standard-code functions are here.
#pragma once

#include "orvo/camera/mtp_codec.h"
#include "orvo/camera/mtp_vocabulary.h"
#include "orvo/core/core_stringarray.h"
#include "orvo/core/core_vector.h"
#include "orvo/core/core_version.h"

namespace orvo
{
struct mtp_device_t;

enum mtp_camerapropertytype_t : u32
{
    MTP_CAMERAPROPERTY_APERTURE = 0,
    MTP_CAMERAPROPERTY_SHUTTERSPEED = 1,
    MTP_CAMERAPROPERTY_ISO = 2,
    MTP_CAMERAPROPERTY_EXPOSURECOMPENSATION = 3,
    MTP_CAMERAPROPERTY_QUALITY = 4,
    MTP_CAMERAPROPERTY_EXPOSUREPROGRAM = 5,
    MTP_CAMERAPROPERTY_METERINGMODE = 6,
    MTP_CAMERAPROPERTY_FOCUSMODE = 7,
    MTP_CAMERAPROPERTY_DRIVEMODE = 8,
    MTP_CAMERAPROPERTY_WHITEBALANCE = 9,
    MTP_CAMERAPROPERTY_STORAGEMODE = 10,
    MTP_CAMERAPROPERTY_MIRRORLOCKUP = 11,
    MTP_CAMERAPROPERTY_COUNT = 12,
};

struct mtp_cameraproperty_t;

// Brings names, index and name up to date from the device's descriptions.
typedef bool (*mtp_cameraproperty_get_t)(mtp_device_t& device, mtp_cameraproperty_t& property);
// Selects the value with that index (into the value names) on the camera.
typedef bool (*mtp_cameraproperty_set_t)(mtp_device_t& device, mtp_cameraproperty_t& property, i32 index);
// Writes one value's display text; the shape of the compute_property_str hook.
typedef void (*mtp_cameraproperty_to_string_t)(mtp_device_t& device, stringbuffer_t& out, const mtp_datavalue_t& value,
                                               mtp_property_t code);

struct mtp_cameraproperty_t
{
    mtp_camerapropertytype_t type;
    // The PTP property that carries the value, MTP_PROPERTY_Undefined (0x5000)
    // when the camera has none; a property built from two carries the main one.
    i32 code;
    bool supported;       // the camera reports it settable; nothing is set unless true
    i32 current_index;    // into value_names; -1 when the camera's value is not among them
    string_t current_name; // a view into value_names, empty_str when none
    stringarray_t value_names;
    // For properties whose index does not map one-to-one onto one PTP value
    // (quality keeps one packed size/compression pair per name).
    vector_t<int> raw_values;
    version_t value_version; // the description's value version last taken over
    version_t range_version; // the description's version when the names were built
    // The same pair for a second PTP property that the camera property combines.
    version_t second_range_version;
    version_t second_value_version;
    mtp_cameraproperty_get_t get;
    mtp_cameraproperty_set_t set;
    mtp_cameraproperty_to_string_t to_string;
};

// --- record ------------------------------------------------------------------------
// Type, code 0x5000, not supported, index 0, no names, room for 8 raw values,
// zero versions, no functions.
void mtp_cameraproperty_initialise(mtp_cameraproperty_t& property, mtp_camerapropertytype_t type);
// Back to "no such property on this camera": code 0x5000, not supported, index 0,
// no names or raw values (storage kept), zero versions, no get or set. The type
// and the to-string function stay.
void mtp_cameraproperty_clear(mtp_cameraproperty_t& property);
// Frees the names and raw values; safe twice and on a zeroed record.
void mtp_cameraproperty_release(mtp_cameraproperty_t& property);
// "Aperture", "Shutter speed", ... for logs; "unknown" outside 0 to 11.
const char* mtp_camerapropertytype_to_cstr(u32 type);

// --- selecting a value ---------------------------------------------------------------
// Tries the device lock itself (busy: false). Refused while downloads are
// pending, without a set function, or when the property is not supported.
bool mtp_device_set_cameraproperty(mtp_device_t& device, mtp_camerapropertytype_t type, i32 index);

// --- standard PTP codes ----------------------------------------------------------------
// The camera-property contract over one standard device property: names built
// with the property's to-string function, one per allowed value, when the
// description's version moved; index and name when its value version moved;
// "Property value out of sync" when the value is not among the allowed ones.
// The caller holds the device lock.
bool mtp_generic_get_cameraproperty(mtp_device_t& device, mtp_cameraproperty_t& property);
// Writes the allowed value behind the index. An index outside the names, or one
// taken from names built for an older description (the camera has since changed
// its list), is refused and logged rather than sent: it may name another value.
bool mtp_generic_set_cameraproperty(mtp_device_t& device, mtp_cameraproperty_t& property, i32 index);
// Clears the property, then, when the camera lists the standard code of its
// type, gives it that code, the generic get and set functions and the device's
// generic value texts. Quality combines CompressionSetting with ImageSize (both
// must be listed); the storage mode is the program's own setting on every
// camera; mirror lock-up has no standard code (mtp_generic.h).
void mtp_cameraproperty_set_generic(mtp_cameraproperty_t& property, mtp_device_t& device);
} // namespace orvo

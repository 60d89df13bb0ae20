// PTP data codec: the transfer buffer mtp_buffer_t of a transaction's data
// phase, little-endian reads and writes of every PTP datatype at a cursor, the
// typed value mtp_datavalue_t (it owns its storage and copies deeply) and
// mtp_dataset_t, a property's allowed values with a Range expanded into a list.
// Everything read came from a camera: counts and lengths are checked against
// the bytes really present before anything is allocated or read.
#pragma once

#include "orvo/core/core_stringarray.h"
#include "orvo/core/core_time.h"
#include "orvo/core/core_vector.h"

namespace orvo
{
// PTP datatype codes: 16 bits on the wire, 32 in memory.
enum mtp_datatype_t : u32
{
    MTP_DATATYPE_UNDEFINED = 0x0000,
    MTP_DATATYPE_INT8 = 0x0001,
    MTP_DATATYPE_UINT8 = 0x0002,
    MTP_DATATYPE_INT16 = 0x0003,
    MTP_DATATYPE_UINT16 = 0x0004,
    MTP_DATATYPE_INT32 = 0x0005,
    MTP_DATATYPE_UINT32 = 0x0006,
    MTP_DATATYPE_INT64 = 0x0007,
    MTP_DATATYPE_UINT64 = 0x0008,
    MTP_DATATYPE_INT128 = 0x0009,  // named only, never held
    MTP_DATATYPE_UINT128 = 0x000A, // named only, never held
    MTP_DATATYPE_AINT8 = 0x4001,
    MTP_DATATYPE_AUINT8 = 0x4002,
    MTP_DATATYPE_AINT16 = 0x4003,
    MTP_DATATYPE_AUINT16 = 0x4004,
    MTP_DATATYPE_AINT32 = 0x4005,
    MTP_DATATYPE_AUINT32 = 0x4006,
    MTP_DATATYPE_AINT64 = 0x4007,
    MTP_DATATYPE_AUINT64 = 0x4008,
    MTP_DATATYPE_AINT128 = 0x4009,  // named only, never held
    MTP_DATATYPE_AUINT128 = 0x400A, // named only, never held
    // A list of strings. PTP has no such type: the code is our own, chosen so
    // that the array form of STR has bit 0x4000 like every other array.
    MTP_DATATYPE_ASTR = 0x4FFF,
    MTP_DATATYPE_STR = 0xFFFF,
};

// The form flag of a device property; only None, Range and Enumeration are read.
enum mtp_datasetform_t : u32
{
    MTP_DATASETFORM_NONE = 0,
    MTP_DATASETFORM_RANGE = 1,
    MTP_DATASETFORM_ENUMERATION = 2,
    MTP_DATASETFORM_DATETIME = 3,
    MTP_DATASETFORM_FIXEDLENGTHARRAY = 4,
    MTP_DATASETFORM_REGULAREXPRESSION = 5,
    MTP_DATASETFORM_BYTEARRAY = 6,
    MTP_DATASETFORM_LONGSTRING = 7,
};

// The most values a Range form expands into; see mtp_dataset_parse.
const u64 MTP_DATASET_RANGE_MAX_VALUES = 65536;
// The most UTF-16 units of a PTP string without its terminator: the count
// byte holds units + 1.
const u64 MTP_STRING_MAX_UNITS = 254;

// The transfer buffer. Empty: no data, length 0, capacity 0, owned. A slice
// views bytes of another buffer (owned false) and never frees them; the viewed
// buffer must outlive it and keep its storage meanwhile.
struct mtp_buffer_t
{
    u8* data;
    u64 length;   // valid bytes
    u64 capacity; // bytes of storage behind data
    bool owned;
};

// A 128-bit integer in wire order (first byte first).
struct uint128_t
{
    u8 bytes[16];
};

// One typed value. The member of the union that is in use follows datatype:
// the integers by their width, the arrays as vectors of their element type,
// ASTR as astr, STR as str; Undefined, the 128-bit types and unlisted codes
// hold nothing. A zeroed record is a valid Undefined value.
struct mtp_datavalue_t
{
    mtp_datatype_t datatype;
    union
    {
        i8 int8;
        u8 uint8;
        i16 int16;
        u16 uint16;
        i32 int32;
        u32 uint32;
        i64 int64;
        u64 uint64;
        vector_t<i8> aint8;
        vector_t<u8> auint8;
        vector_t<i16> aint16;
        vector_t<u16> auint16;
        vector_t<i32> aint32;
        vector_t<u32> auint32;
        vector_t<i64> aint64;
        vector_t<u64> auint64;
        stringarray_t astr;
        stringbuffer_t str;
    };
};

// The allowed values of a property. min, max and step hold the property's
// datatype and serve the Range form; values holds the array form of the
// datatype and, after any successful read, every allowed value.
struct mtp_dataset_t
{
    mtp_datasetform_t form;
    mtp_datavalue_t min;
    mtp_datavalue_t max;
    mtp_datavalue_t step;
    mtp_datavalue_t values;
};

// --- names -------------------------------------------------------------------------
const char* mtp_datatype_to_cstr(u32 datatype);
const char* mtp_datasetform_to_cstr(u32 form);
// 0 stays 0, STR becomes ASTR, every other code gains bit 0x4000.
mtp_datatype_t mtp_datatype_to_array(u32 datatype);
// 0 stays 0, ASTR becomes STR, every other code loses bit 0x4000.
mtp_datatype_t mtp_datatype_from_array(u32 datatype);
// Bit 0x4000 set and not STR (so ASTR is an array).
bool mtp_datatype_is_array(u32 datatype);

// --- buffer ------------------------------------------------------------------------
void mtp_buffer_initialise(mtp_buffer_t& buffer);
// Frees owned storage (a slice only forgets its view); safe twice and on a
// zeroed record.
void mtp_buffer_release(mtp_buffer_t& buffer);
// Sets the length to n. Owned storage that is large enough is kept with its
// bytes; otherwise new storage of exactly n bytes replaces it without the old
// bytes (a slice always gets storage of its own, so that nothing received
// lands in the buffer it views). On failure (logged) the buffer is unchanged.
bool mtp_buffer_allocate(mtp_buffer_t& buffer, u64 n);
// Length 0, storage kept.
void mtp_buffer_clear(mtp_buffer_t& buffer);
u64 mtp_buffer_capacity(const mtp_buffer_t& buffer);
// A target slice first forgets its view; then the target gets its own copy.
bool mtp_buffer_copy(mtp_buffer_t& target, const mtp_buffer_t& source);
// Makes target a view of source bytes offset .. offset + n - 1, freeing the
// target's own storage. A range outside the source is refused (logged) and
// leaves the target empty.
bool mtp_buffer_slice(mtp_buffer_t& target, const mtp_buffer_t& source, u64 offset, u64 n);

// --- reads -------------------------------------------------------------------------
// Every read starts at cursor and, on success, moves it past what it read. A
// scalar read that does not fit returns false with cursor and target unchanged.
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, i8& out);
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, u8& out);
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, i16& out);
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, u16& out);
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, i32& out);
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, u32& out);
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, i64& out);
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, u64& out);
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, long long& out);
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, unsigned long long& out);
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, uint128_t& out);

// Arrays: a u32 count, then the elements; with n, n elements and no count on
// the wire. The vector is emptied first. Storage is reserved only for the
// elements the remaining bytes can hold, so a count that lies costs nothing.
// An element that does not fit ends the read with false: the elements before
// it stay and the cursor stands after the last complete one (the count, once
// read, is not given back).
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, vector_t<i8>& out);
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, vector_t<u8>& out);
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, vector_t<i16>& out);
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, vector_t<u16>& out);
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, vector_t<i32>& out);
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, vector_t<u32>& out);
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, vector_t<i64>& out);
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, vector_t<u64>& out);
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, vector_t<i8>& out, u64 n);
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, vector_t<u8>& out, u64 n);
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, vector_t<i16>& out, u64 n);
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, vector_t<u16>& out, u64 n);
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, vector_t<i32>& out, u64 n);
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, vector_t<u32>& out, u64 n);
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, vector_t<i64>& out, u64 n);
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, vector_t<u64>& out, u64 n);

// One PTP string: a count byte (UTF-16 units, terminator included), then the
// units. Decoded to UTF-8 without regard to the locale; control characters,
// zero units and unpaired surrogates are dropped. A missing count byte fails
// with the cursor unchanged; missing units fail with the target unchanged and
// the cursor after the count byte.
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, stringbuffer_t& out);
// A list of strings: a u32 count (or n) and the strings; the list is emptied
// first. The first string that fails ends the read with false, keeping the
// strings before it.
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, stringarray_t& out);
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, stringarray_t& out, u64 n);
// A PTP date-time string, see mtp_datavalue_to_datetime. Target unchanged on
// failure.
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, datetime_t& out);
// By the value's datatype: see mtp_datavalue_parse.
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, mtp_datavalue_t& out);
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, mtp_datavalue_t& out, u64 n);
// See mtp_dataset_parse.
bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, mtp_dataset_t& out);

// --- writes ------------------------------------------------------------------------
// A write lengthens the buffer by the value's width and stores it at cursor,
// low byte first; callers clear the buffer, start at 0 and write in order.
// Fails (logged) only when storage cannot grow or the cursor lies beyond the
// buffer's length; the buffer is then unchanged.
bool mtp_buffer_write(mtp_buffer_t& buffer, u64& cursor, i8 value);
bool mtp_buffer_write(mtp_buffer_t& buffer, u64& cursor, u8 value);
bool mtp_buffer_write(mtp_buffer_t& buffer, u64& cursor, i16 value);
bool mtp_buffer_write(mtp_buffer_t& buffer, u64& cursor, u16 value);
bool mtp_buffer_write(mtp_buffer_t& buffer, u64& cursor, i32 value);
bool mtp_buffer_write(mtp_buffer_t& buffer, u64& cursor, u32 value);
bool mtp_buffer_write(mtp_buffer_t& buffer, u64& cursor, i64 value);
bool mtp_buffer_write(mtp_buffer_t& buffer, u64& cursor, u64 value);
bool mtp_buffer_write(mtp_buffer_t& buffer, u64& cursor, long long value);
bool mtp_buffer_write(mtp_buffer_t& buffer, u64& cursor, unsigned long long value);
// One PTP string from UTF-8 text (a byte that is not valid UTF-8 is taken as
// Latin-1). A text of more than MTP_STRING_MAX_UNITS units is refused (logged)
// rather than written with a count byte that wraps.
bool mtp_buffer_write(mtp_buffer_t& buffer, u64& cursor, const string_t& text);
// See mtp_datavalue_write.
bool mtp_buffer_write(mtp_buffer_t& buffer, u64& cursor, const mtp_datavalue_t& value);
// Bytes the string writer produces for text: the count byte, two per UTF-16
// unit and the terminator unit (3 for the empty text).
u64 mtp_string_num_bytes(const string_t& text);

// --- values --------------------------------------------------------------------------
// Sets the datatype and an empty content: integers 0, arrays an empty vector
// with room for 8, ASTR an empty list, STR the empty string.
void mtp_datavalue_initialise(mtp_datavalue_t& value, u32 datatype);
// Frees the storage; the datatype stays so that the value can be initialised
// again. Safe twice and on a zeroed record.
void mtp_datavalue_release(mtp_datavalue_t& value);
// Integers 0, arrays and lists empty and strings empty, storage kept.
void mtp_datavalue_clear(mtp_datavalue_t& value);
// Deep copy: the target is released and takes the source's datatype. When
// storage cannot be had (logged) the target is left empty and false returned.
bool mtp_datavalue_set(mtp_datavalue_t& target, const mtp_datavalue_t& source);
// Reads a value of the value's own datatype: integers in place, arrays as
// counted arrays, ASTR as a counted list, STR as one string. Undefined, the
// 128-bit types and unlisted codes fail without reading. With n: arrays read
// n elements and ASTR n strings without a wire count; other types fail.
bool mtp_datavalue_parse(mtp_datavalue_t& value, const mtp_buffer_t& buffer, u64& cursor);
bool mtp_datavalue_parse(mtp_datavalue_t& value, const mtp_buffer_t& buffer, u64& cursor, u64 n);
// Writes an integer or STR value; every other datatype fails and writes nothing.
bool mtp_datavalue_write(const mtp_datavalue_t& value, mtp_buffer_t& buffer, u64& cursor);
// Different datatypes are unequal; so are values that hold nothing.
bool mtp_datavalue_equals(const mtp_datavalue_t& a, const mtp_datavalue_t& b);
bool mtp_datavalue_not_equals(const mtp_datavalue_t& a, const mtp_datavalue_t& b);
// 32 bits of an integer value: 8- and 16-bit signed types sign-extended,
// unsigned ones zero-extended, wider ones truncated; 0 for other datatypes.
i32 mtp_datavalue_to_int(const mtp_datavalue_t& value);
u32 mtp_datavalue_to_uint(const mtp_datavalue_t& value);
// The same for one element of an integer array; 0 for other datatypes and
// for an index outside the array.
i32 mtp_datavalue_to_int(const mtp_datavalue_t& value, u64 index);
u32 mtp_datavalue_to_uint(const mtp_datavalue_t& value, u64 index);
// The count of an array or list, 1 for anything else.
u64 mtp_datavalue_num_elements(const mtp_datavalue_t& value);
// Index of the first element of array equal to element, or -1 (also when the
// datatypes do not pair up as array and element).
i32 mtp_datavalue_find_index(const mtp_datavalue_t& array, const mtp_datavalue_t& element);
// A new value of the element datatype holding element index (the caller
// releases it). For an index outside the array, or an integer scalar, the
// zero or empty value of the element type.
mtp_datavalue_t mtp_datavalue_get_element(const mtp_datavalue_t& array, u64 index);
// Size of the value's encoding as the writers produce it; 0 for datatypes
// without one.
u64 mtp_datavalue_num_bytes(const mtp_datavalue_t& value);
// An STR value "YYYYMMDDThhmmss" (anything after the seconds ignored) read as
// local time. Anything else, out-of-range fields included, returns false and
// leaves the record unchanged.
bool mtp_datavalue_to_datetime(const mtp_datavalue_t& value, datetime_t& datetime);
// Appends the value to the current log line; the caller holds the log lock.
void mtp_datavalue_print(const mtp_datavalue_t& value);

// --- forms -------------------------------------------------------------------------
void mtp_dataset_initialise(mtp_dataset_t& dataset, u32 form, u32 datatype);
void mtp_dataset_release(mtp_dataset_t& dataset);
// Reads the form's data (the dataset initialised with form and datatype):
// nothing for None; a u16 count and the values for Enumeration; min, max and
// step for Range, expanded into values for the integer types. A Range stops
// after MTP_DATASET_RANGE_MAX_VALUES values (logged) and one with a step that
// is not positive is refused (logged) unless min equals max.
bool mtp_dataset_parse(mtp_dataset_t& dataset, const mtp_buffer_t& buffer, u64& cursor);
// Appends the values list to the current log line; the caller holds the lock.
void mtp_dataset_print(const mtp_dataset_t& dataset);
} // namespace orvo

// Typed PTP values (mtp_datavalue_t) and the forms of device properties
// (mtp_dataset_t): life cycle, deep copy, reading and writing by datatype,
// comparison, conversion, printing and the expansion of a Range into its list.
// A value owns its vector, list or text storage; the wire-level reads are in
// mtp_codec.cpp.
#include "orvo/camera/mtp_codec.h"

#include "orvo/camera/src/mtp_codec_internal.h"
#include "orvo/core/core_log.h"

#include <cstring>
#include <type_traits>

namespace orvo
{
namespace
{
const u64 ARRAY_INITIAL_CAPACITY = 8;

// Calls f with the vector of an integer array value; false for other types.
template <typename F>
bool with_array(mtp_datavalue_t& value, F f)
{
    switch (value.datatype)
    {
    case MTP_DATATYPE_AINT8:
        f(value.aint8);
        return true;
    case MTP_DATATYPE_AUINT8:
        f(value.auint8);
        return true;
    case MTP_DATATYPE_AINT16:
        f(value.aint16);
        return true;
    case MTP_DATATYPE_AUINT16:
        f(value.auint16);
        return true;
    case MTP_DATATYPE_AINT32:
        f(value.aint32);
        return true;
    case MTP_DATATYPE_AUINT32:
        f(value.auint32);
        return true;
    case MTP_DATATYPE_AINT64:
        f(value.aint64);
        return true;
    case MTP_DATATYPE_AUINT64:
        f(value.auint64);
        return true;
    default:
        return false;
    }
}

template <typename F>
bool with_array(const mtp_datavalue_t& value, F f)
{
    return with_array(const_cast<mtp_datavalue_t&>(value), [&f](const auto& vector) { f(vector); });
}

// Calls f with the field of an integer value; false for other types.
template <typename F>
bool with_integer(mtp_datavalue_t& value, F f)
{
    switch (value.datatype)
    {
    case MTP_DATATYPE_INT8:
        f(value.int8);
        return true;
    case MTP_DATATYPE_UINT8:
        f(value.uint8);
        return true;
    case MTP_DATATYPE_INT16:
        f(value.int16);
        return true;
    case MTP_DATATYPE_UINT16:
        f(value.uint16);
        return true;
    case MTP_DATATYPE_INT32:
        f(value.int32);
        return true;
    case MTP_DATATYPE_UINT32:
        f(value.uint32);
        return true;
    case MTP_DATATYPE_INT64:
        f(value.int64);
        return true;
    case MTP_DATATYPE_UINT64:
        f(value.uint64);
        return true;
    default:
        return false;
    }
}

template <typename F>
bool with_integer(const mtp_datavalue_t& value, F f)
{
    return with_integer(const_cast<mtp_datavalue_t&>(value), [&f](const auto& field) { f(field); });
}

bool is_integer(u32 datatype)
{
    return datatype >= MTP_DATATYPE_INT8 && datatype <= MTP_DATATYPE_UINT64;
}

bool is_integer_array(u32 datatype)
{
    return datatype >= MTP_DATATYPE_AINT8 && datatype <= MTP_DATATYPE_AUINT64;
}

u64 integer_width(u32 datatype)
{
    switch (datatype & ~0x4000u)
    {
    case MTP_DATATYPE_INT8:
    case MTP_DATATYPE_UINT8:
        return 1;
    case MTP_DATATYPE_INT16:
    case MTP_DATATYPE_UINT16:
        return 2;
    case MTP_DATATYPE_INT32:
    case MTP_DATATYPE_UINT32:
        return 4;
    case MTP_DATATYPE_INT64:
    case MTP_DATATYPE_UINT64:
        return 8;
    default:
        return 0;
    }
}

// The integer value as 64 bits, signed types sign-extended.
i64 integer_bits(const mtp_datavalue_t& value)
{
    i64 bits = 0;
    with_integer(value, [&](auto field) { bits = static_cast<i64>(field); });
    return bits;
}

template <typename T>
i64 element_bits(const vector_t<T>& vector, u64 index)
{
    return index < vector.count ? static_cast<i64>(vector.data[index]) : 0;
}

// Element index of an integer array as 64 bits, 0 outside the array.
i64 array_element_bits(const mtp_datavalue_t& value, u64 index)
{
    i64 bits = 0;
    with_array(value, [&](const auto& vector) { bits = element_bits(vector, index); });
    return bits;
}

void set_integer(mtp_datavalue_t& value, i64 bits)
{
    with_integer(value, [bits](auto& field) { field = static_cast<std::remove_reference_t<decltype(field)>>(bits); });
}

template <typename T>
bool copy_vector(vector_t<T>& target, const vector_t<T>& source)
{
    if (!mtp_vector_reserve_discarding(target, source.count))
        return false;
    if (source.count)
        std::memcpy(target.data, source.data, source.count * sizeof(T));
    target.count = source.count;
    return true;
}

template <typename T>
bool vectors_equal(const vector_t<T>& a, const vector_t<T>& b)
{
    if (a.count != b.count)
        return false;
    for (u64 i = 0; i < a.count; ++i)
    {
        if (a.data[i] != b.data[i])
            return false;
    }
    return true;
}

template <typename T>
i32 vector_find(const vector_t<T>& vector, T element)
{
    for (u64 i = 0; i < vector.count; ++i)
    {
        if (vector.data[i] == element)
            return static_cast<i32>(i);
    }
    return -1;
}

template <typename T>
void print_element(T element)
{
    if (std::is_same<T, i64>::value)
        log_printf("%lld", static_cast<long long>(element));
    else if (std::is_same<T, u64>::value)
        log_printf("%llu", static_cast<unsigned long long>(element));
    else if (std::is_signed<T>::value)
        log_printf("%d", static_cast<int>(element));
    else
        log_printf("%u", static_cast<unsigned>(element));
}

bool is_leap_year(u32 year)
{
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// Reads n decimal digits at text; false at any other character.
bool read_digits(const char* text, u32 n, u32& out)
{
    out = 0;
    for (u32 i = 0; i < n; ++i)
    {
        if (text[i] < '0' || text[i] > '9')
            return false;
        out = out * 10 + static_cast<u32>(text[i] - '0');
    }
    return true;
}

// Steps a Range from min to max. min above max gives no values (a camera's
// way of saying none); a step that is not positive never reaches max and is
// refused, except for a one-value range whose step does not matter. The
// expansion is capped: the list becomes a menu on every data surface and
// lives as long as the property, and no camera offers more than the 65536
// values of a 16-bit property at step 1, so a larger range is a broken
// description that must not cost gigabytes (0 to 0xFFFFFFFF step 1).
template <typename T>
bool expand_range(T min, T max, T step, vector_t<T>& values, u32 datatype)
{
    typedef typename std::make_unsigned<T>::type unsigned_t;
    values.count = 0;
    if (min > max)
        return true;
    if (step <= 0 && min != max)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Invalid step for dataset range: %s step %lld",
                   mtp_datatype_to_cstr(datatype), static_cast<long long>(step));
        return false;
    }
    // The span fits the unsigned type whatever the signs, as min <= max.
    const unsigned_t span = static_cast<unsigned_t>(static_cast<unsigned_t>(max) - static_cast<unsigned_t>(min));
    const unsigned_t stride = step > 0 ? static_cast<unsigned_t>(step) : 1;
    const u64 steps = static_cast<u64>(span / stride); // values after the first
    u64 total = steps < MTP_DATASET_RANGE_MAX_VALUES ? steps + 1 : MTP_DATASET_RANGE_MAX_VALUES;
    if (steps >= MTP_DATASET_RANGE_MAX_VALUES)
    {
        log_writef(LOGLEVEL_WARNING, LOGMODULE_CAMERA,
                   "MTP dataset range of %s from %lld to %lld step %lld: only the first %llu values kept",
                   mtp_datatype_to_cstr(datatype), static_cast<long long>(min), static_cast<long long>(max),
                   static_cast<long long>(step), static_cast<unsigned long long>(total));
    }
    if (!mtp_vector_reserve_discarding(values, total))
        return false;
    unsigned_t value = static_cast<unsigned_t>(min);
    for (u64 i = 0; i < total; ++i)
    {
        values.data[i] = static_cast<T>(value);
        value = static_cast<unsigned_t>(value + stride);
    }
    values.count = total;
    return true;
}

bool expand_range(mtp_dataset_t& dataset)
{
    if (dataset.values.datatype != mtp_datatype_to_array(dataset.min.datatype))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "MTP dataset values of %s cannot hold a range of %s",
                   mtp_datatype_to_cstr(dataset.values.datatype), mtp_datatype_to_cstr(dataset.min.datatype));
        return false;
    }
    switch (dataset.min.datatype)
    {
    case MTP_DATATYPE_INT8:
        return expand_range(dataset.min.int8, dataset.max.int8, dataset.step.int8, dataset.values.aint8,
                            dataset.min.datatype);
    case MTP_DATATYPE_UINT8:
        return expand_range(dataset.min.uint8, dataset.max.uint8, dataset.step.uint8, dataset.values.auint8,
                            dataset.min.datatype);
    case MTP_DATATYPE_INT16:
        return expand_range(dataset.min.int16, dataset.max.int16, dataset.step.int16, dataset.values.aint16,
                            dataset.min.datatype);
    case MTP_DATATYPE_UINT16:
        return expand_range(dataset.min.uint16, dataset.max.uint16, dataset.step.uint16, dataset.values.auint16,
                            dataset.min.datatype);
    case MTP_DATATYPE_INT32:
        return expand_range(dataset.min.int32, dataset.max.int32, dataset.step.int32, dataset.values.aint32,
                            dataset.min.datatype);
    case MTP_DATATYPE_UINT32:
        return expand_range(dataset.min.uint32, dataset.max.uint32, dataset.step.uint32, dataset.values.auint32,
                            dataset.min.datatype);
    case MTP_DATATYPE_INT64:
        return expand_range(dataset.min.int64, dataset.max.int64, dataset.step.int64, dataset.values.aint64,
                            dataset.min.datatype);
    case MTP_DATATYPE_UINT64:
        return expand_range(dataset.min.uint64, dataset.max.uint64, dataset.step.uint64, dataset.values.auint64,
                            dataset.min.datatype);
    default:
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Invalid type for dataset range: %s: ",
                   mtp_datatype_to_cstr(dataset.min.datatype));
        return false;
    }
}
} // namespace

// --- values ------------------------------------------------------------------------------

void mtp_datavalue_initialise(mtp_datavalue_t& value, u32 datatype)
{
    std::memset(static_cast<void*>(&value), 0, sizeof(value));
    value.datatype = static_cast<mtp_datatype_t>(datatype);
    if (with_array(value, [](auto& vector) { vector_initialise(vector, ARRAY_INITIAL_CAPACITY, false); }))
        return;
    if (datatype == MTP_DATATYPE_ASTR)
        stringarray_initialise(value.astr);
    else if (datatype == MTP_DATATYPE_STR)
        stringbuffer_initialise(value.str);
}

void mtp_datavalue_release(mtp_datavalue_t& value)
{
    if (with_array(value, [](auto& vector) { vector_release(vector); }))
        return;
    if (value.datatype == MTP_DATATYPE_ASTR)
        stringarray_release(value.astr);
    else if (value.datatype == MTP_DATATYPE_STR)
        stringbuffer_release(value.str);
}

void mtp_datavalue_clear(mtp_datavalue_t& value)
{
    if (is_integer(value.datatype))
        value.uint64 = 0;
    else if (with_array(value, [](auto& vector) { vector.count = 0; }))
        return;
    else if (value.datatype == MTP_DATATYPE_ASTR)
        stringarray_clear(value.astr);
    else if (value.datatype == MTP_DATATYPE_STR)
        stringbuffer_clear(value.str);
}

bool mtp_datavalue_set(mtp_datavalue_t& target, const mtp_datavalue_t& source)
{
    if (&target == &source)
        return true;
    mtp_datavalue_release(target);
    mtp_datavalue_initialise(target, source.datatype);
    if (is_integer(source.datatype))
    {
        target.uint64 = 0;
        set_integer(target, integer_bits(source));
        return true;
    }
    bool ok = true;
    switch (source.datatype)
    {
    case MTP_DATATYPE_AINT8:
        ok = copy_vector(target.aint8, source.aint8);
        break;
    case MTP_DATATYPE_AUINT8:
        ok = copy_vector(target.auint8, source.auint8);
        break;
    case MTP_DATATYPE_AINT16:
        ok = copy_vector(target.aint16, source.aint16);
        break;
    case MTP_DATATYPE_AUINT16:
        ok = copy_vector(target.auint16, source.auint16);
        break;
    case MTP_DATATYPE_AINT32:
        ok = copy_vector(target.aint32, source.aint32);
        break;
    case MTP_DATATYPE_AUINT32:
        ok = copy_vector(target.auint32, source.auint32);
        break;
    case MTP_DATATYPE_AINT64:
        ok = copy_vector(target.aint64, source.aint64);
        break;
    case MTP_DATATYPE_AUINT64:
        ok = copy_vector(target.auint64, source.auint64);
        break;
    case MTP_DATATYPE_ASTR:
        ok = stringarray_set(target.astr, source.astr);
        if (!ok)
            stringarray_clear(target.astr);
        break;
    case MTP_DATATYPE_STR:
        ok = stringbuffer_copy(target.str, source.str);
        break;
    default:
        break;
    }
    return ok;
}

bool mtp_datavalue_parse(mtp_datavalue_t& value, const mtp_buffer_t& buffer, u64& cursor)
{
    if (value.datatype == MTP_DATATYPE_ASTR)
        return mtp_buffer_extract(buffer, cursor, value.astr);
    if (value.datatype == MTP_DATATYPE_STR)
        return mtp_buffer_extract(buffer, cursor, value.str);
    bool ok = false;
    if (with_integer(value, [&](auto& field) { ok = mtp_buffer_extract(buffer, cursor, field); }))
        return ok;
    if (with_array(value, [&](auto& vector) { ok = mtp_buffer_extract(buffer, cursor, vector); }))
        return ok;
    return false;
}

bool mtp_datavalue_parse(mtp_datavalue_t& value, const mtp_buffer_t& buffer, u64& cursor, u64 n)
{
    if (value.datatype == MTP_DATATYPE_ASTR)
        return mtp_buffer_extract(buffer, cursor, value.astr, n);
    bool ok = false;
    if (with_array(value, [&](auto& vector) { ok = mtp_buffer_extract(buffer, cursor, vector, n); }))
        return ok;
    return false;
}

bool mtp_datavalue_write(const mtp_datavalue_t& value, mtp_buffer_t& buffer, u64& cursor)
{
    if (value.datatype == MTP_DATATYPE_STR)
        return mtp_buffer_write(buffer, cursor, static_cast<const string_t&>(value.str));
    bool ok = false;
    if (with_integer(value, [&](auto field) { ok = mtp_buffer_write(buffer, cursor, field); }))
        return ok;
    return false;
}

bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, mtp_datavalue_t& out)
{
    return mtp_datavalue_parse(out, buffer, cursor);
}

bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, mtp_datavalue_t& out, u64 n)
{
    return mtp_datavalue_parse(out, buffer, cursor, n);
}

bool mtp_buffer_write(mtp_buffer_t& buffer, u64& cursor, const mtp_datavalue_t& value)
{
    return mtp_datavalue_write(value, buffer, cursor);
}

bool mtp_datavalue_equals(const mtp_datavalue_t& a, const mtp_datavalue_t& b)
{
    if (a.datatype != b.datatype)
        return false;
    if (is_integer(a.datatype))
        return integer_bits(a) == integer_bits(b);
    switch (a.datatype)
    {
    case MTP_DATATYPE_AINT8:
        return vectors_equal(a.aint8, b.aint8);
    case MTP_DATATYPE_AUINT8:
        return vectors_equal(a.auint8, b.auint8);
    case MTP_DATATYPE_AINT16:
        return vectors_equal(a.aint16, b.aint16);
    case MTP_DATATYPE_AUINT16:
        return vectors_equal(a.auint16, b.auint16);
    case MTP_DATATYPE_AINT32:
        return vectors_equal(a.aint32, b.aint32);
    case MTP_DATATYPE_AUINT32:
        return vectors_equal(a.auint32, b.auint32);
    case MTP_DATATYPE_AINT64:
        return vectors_equal(a.aint64, b.aint64);
    case MTP_DATATYPE_AUINT64:
        return vectors_equal(a.auint64, b.auint64);
    case MTP_DATATYPE_ASTR:
        if (a.astr.strings.count != b.astr.strings.count)
            return false;
        for (u64 i = 0; i < a.astr.strings.count; ++i)
        {
            if (!string_equal(a.astr.strings.data[i], b.astr.strings.data[i]))
                return false;
        }
        return true;
    case MTP_DATATYPE_STR:
        return string_equal(a.str, b.str);
    default:
        return false;
    }
}

bool mtp_datavalue_not_equals(const mtp_datavalue_t& a, const mtp_datavalue_t& b)
{
    return !mtp_datavalue_equals(a, b);
}

i32 mtp_datavalue_to_int(const mtp_datavalue_t& value)
{
    return static_cast<i32>(static_cast<u32>(static_cast<u64>(integer_bits(value))));
}

u32 mtp_datavalue_to_uint(const mtp_datavalue_t& value)
{
    return static_cast<u32>(static_cast<u64>(integer_bits(value)));
}

i32 mtp_datavalue_to_int(const mtp_datavalue_t& value, u64 index)
{
    return static_cast<i32>(static_cast<u32>(static_cast<u64>(array_element_bits(value, index))));
}

u32 mtp_datavalue_to_uint(const mtp_datavalue_t& value, u64 index)
{
    return static_cast<u32>(static_cast<u64>(array_element_bits(value, index)));
}

u64 mtp_datavalue_num_elements(const mtp_datavalue_t& value)
{
    u64 count = 1;
    if (with_array(value, [&](const auto& vector) { count = vector.count; }))
        return count;
    if (value.datatype == MTP_DATATYPE_ASTR)
        return value.astr.strings.count;
    return 1;
}

i32 mtp_datavalue_find_index(const mtp_datavalue_t& array, const mtp_datavalue_t& element)
{
    if (!mtp_datatype_is_array(array.datatype) || mtp_datatype_is_array(element.datatype) ||
        array.datatype != mtp_datatype_to_array(element.datatype))
        return -1;
    switch (array.datatype)
    {
    case MTP_DATATYPE_AINT8:
        return vector_find(array.aint8, element.int8);
    case MTP_DATATYPE_AUINT8:
        return vector_find(array.auint8, element.uint8);
    case MTP_DATATYPE_AINT16:
        return vector_find(array.aint16, element.int16);
    case MTP_DATATYPE_AUINT16:
        return vector_find(array.auint16, element.uint16);
    case MTP_DATATYPE_AINT32:
        return vector_find(array.aint32, element.int32);
    case MTP_DATATYPE_AUINT32:
        return vector_find(array.auint32, element.uint32);
    case MTP_DATATYPE_AINT64:
        return vector_find(array.aint64, element.int64);
    case MTP_DATATYPE_AUINT64:
        return vector_find(array.auint64, element.uint64);
    case MTP_DATATYPE_ASTR:
        for (u64 i = 0; i < array.astr.strings.count; ++i)
        {
            if (std::strcmp(array.astr.strings.data[i].str, element.str.str) == 0)
                return static_cast<i32>(i);
        }
        return -1;
    default:
        return -1;
    }
}

mtp_datavalue_t mtp_datavalue_get_element(const mtp_datavalue_t& array, u64 index)
{
    mtp_datavalue_t element;
    mtp_datavalue_initialise(element, mtp_datatype_from_array(array.datatype));
    if (is_integer_array(array.datatype))
        set_integer(element, array_element_bits(array, index));
    else if (array.datatype == MTP_DATATYPE_ASTR && index < array.astr.strings.count)
        stringbuffer_set(element.str, array.astr.strings.data[index]);
    return element;
}

u64 mtp_datavalue_num_bytes(const mtp_datavalue_t& value)
{
    if (is_integer(value.datatype))
        return integer_width(value.datatype);
    if (is_integer_array(value.datatype))
        return 4 + mtp_datavalue_num_elements(value) * integer_width(value.datatype);
    if (value.datatype == MTP_DATATYPE_ASTR)
    {
        u64 total = 4;
        for (u64 i = 0; i < value.astr.strings.count; ++i)
            total += mtp_string_num_bytes(value.astr.strings.data[i]);
        return total;
    }
    if (value.datatype == MTP_DATATYPE_STR)
        return mtp_string_num_bytes(value.str);
    return 0;
}

bool mtp_datavalue_to_datetime(const mtp_datavalue_t& value, datetime_t& datetime)
{
    if (value.datatype != MTP_DATATYPE_STR || value.str.length < 15)
        return false;
    // Exactly YYYYMMDDThhmmss: a scanf-style reading would also take signs,
    // blanks and short fields, and mktime would quietly turn a 31 February
    // into 3 March.
    const char* text = value.str.str;
    u32 year, month, day, hour, minute, second;
    if (!read_digits(text, 4, year) || !read_digits(text + 4, 2, month) || !read_digits(text + 6, 2, day) ||
        text[8] != 'T' || !read_digits(text + 9, 2, hour) || !read_digits(text + 11, 2, minute) ||
        !read_digits(text + 13, 2, second))
        return false;
    static const u32 days_in_month[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1 || hour > 23 || minute > 59 || second > 60)
        return false;
    const u32 last_day = days_in_month[month - 1] + ((month == 2 && is_leap_year(year)) ? 1 : 0);
    if (day > last_day)
        return false;
    datetime_set(datetime, static_cast<i32>(year), static_cast<i32>(month), static_cast<i32>(day),
                 static_cast<i32>(hour), static_cast<i32>(minute), static_cast<i32>(second), 0);
    return true;
}

void mtp_datavalue_print(const mtp_datavalue_t& value)
{
    switch (value.datatype)
    {
    case MTP_DATATYPE_INT8:
    case MTP_DATATYPE_INT16:
    case MTP_DATATYPE_INT32:
        log_printf("%d", static_cast<int>(mtp_datavalue_to_int(value)));
        return;
    case MTP_DATATYPE_UINT8:
    case MTP_DATATYPE_UINT16:
    case MTP_DATATYPE_UINT32:
        log_printf("%u", static_cast<unsigned>(mtp_datavalue_to_uint(value)));
        return;
    case MTP_DATATYPE_INT64:
        log_printf("%lld", static_cast<long long>(value.int64));
        return;
    case MTP_DATATYPE_UINT64:
        log_printf("%llu", static_cast<unsigned long long>(value.uint64));
        return;
    case MTP_DATATYPE_ASTR:
        for (u64 i = 0; i < value.astr.strings.count; ++i)
            log_printf("%s, ", value.astr.strings.data[i].str);
        return;
    case MTP_DATATYPE_STR:
        log_printf("%s", value.str.str);
        return;
    default:
        break;
    }
    with_array(value, [](const auto& vector) {
        for (u64 i = 0; i < vector.count; ++i)
        {
            print_element(vector.data[i]);
            log_print(", ");
        }
    });
}

// --- forms ---------------------------------------------------------------------------------

void mtp_dataset_initialise(mtp_dataset_t& dataset, u32 form, u32 datatype)
{
    dataset.form = static_cast<mtp_datasetform_t>(form);
    mtp_datavalue_initialise(dataset.min, datatype);
    mtp_datavalue_initialise(dataset.max, datatype);
    mtp_datavalue_initialise(dataset.step, datatype);
    mtp_datavalue_initialise(dataset.values, mtp_datatype_to_array(datatype));
}

void mtp_dataset_release(mtp_dataset_t& dataset)
{
    mtp_datavalue_release(dataset.min);
    mtp_datavalue_release(dataset.max);
    mtp_datavalue_release(dataset.step);
    mtp_datavalue_release(dataset.values);
}

bool mtp_dataset_parse(mtp_dataset_t& dataset, const mtp_buffer_t& buffer, u64& cursor)
{
    switch (dataset.form)
    {
    case MTP_DATASETFORM_NONE:
        return true;
    case MTP_DATASETFORM_ENUMERATION:
    {
        u16 count = 0;
        if (!mtp_buffer_extract(buffer, cursor, count))
            return false;
        return mtp_datavalue_parse(dataset.values, buffer, cursor, count);
    }
    case MTP_DATASETFORM_RANGE:
        if (!mtp_datavalue_parse(dataset.min, buffer, cursor))
        {
            log_write(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to extract MTP dataset: min_value");
            return false;
        }
        if (!mtp_datavalue_parse(dataset.max, buffer, cursor))
        {
            log_write(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to extract MTP dataset: max_value");
            return false;
        }
        if (!mtp_datavalue_parse(dataset.step, buffer, cursor))
        {
            log_write(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to extract MTP dataset: step");
            return false;
        }
        return expand_range(dataset);
    default:
        return false;
    }
}

bool mtp_buffer_extract(const mtp_buffer_t& buffer, u64& cursor, mtp_dataset_t& out)
{
    return mtp_dataset_parse(out, buffer, cursor);
}

void mtp_dataset_print(const mtp_dataset_t& dataset)
{
    mtp_datavalue_print(dataset.values);
}
} // namespace orvo

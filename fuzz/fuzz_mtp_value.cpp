// Camera bytes through the typed-value and property-form readers: the first
// byte picks a datatype, the second a form and whether an explicit count is
// used; the rest is the wire. No read may pass the data, a Range may not
// expand past its cap, and what is read must copy, compare and (for integers
// and strings) write and read back unchanged.
#include "orvo/camera/mtp_codec.h"

#include <cstddef>
#include <cstdint>

using namespace orvo;

namespace
{
const u32 datatypes[] = {
    MTP_DATATYPE_UNDEFINED, MTP_DATATYPE_INT8,    MTP_DATATYPE_UINT8,  MTP_DATATYPE_INT16,   MTP_DATATYPE_UINT16,
    MTP_DATATYPE_INT32,     MTP_DATATYPE_UINT32,  MTP_DATATYPE_INT64,  MTP_DATATYPE_UINT64,  MTP_DATATYPE_INT128,
    MTP_DATATYPE_UINT128,   MTP_DATATYPE_AINT8,   MTP_DATATYPE_AUINT8, MTP_DATATYPE_AINT16,  MTP_DATATYPE_AUINT16,
    MTP_DATATYPE_AINT32,    MTP_DATATYPE_AUINT32, MTP_DATATYPE_AINT64, MTP_DATATYPE_AUINT64, MTP_DATATYPE_AUINT128,
    MTP_DATATYPE_ASTR,      MTP_DATATYPE_STR,     0x1234};
const u32 num_datatypes = sizeof(datatypes) / sizeof(datatypes[0]);

void check(bool condition)
{
    if (!condition)
        __builtin_trap();
}

bool writable(u32 datatype)
{
    return (datatype >= MTP_DATATYPE_INT8 && datatype <= MTP_DATATYPE_UINT64) || datatype == MTP_DATATYPE_STR;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const u32 datatype = datatypes[data[0] % num_datatypes];
    const u32 form = data[1] & 0x7;
    const bool counted = (data[1] & 0x8) != 0;
    const mtp_buffer_t buffer = {const_cast<u8*>(data + 2), size - 2, size - 2, false};

    mtp_datavalue_t value;
    mtp_datavalue_initialise(value, datatype);
    u64 cursor = 0;
    bool ok = counted ? mtp_datavalue_parse(value, buffer, cursor, data[1] >> 4)
                      : mtp_datavalue_parse(value, buffer, cursor);
    check(cursor <= buffer.length);
    if (ok)
    {
        // Every element of the value came from the bytes read.
        check(mtp_datavalue_num_elements(value) <= buffer.length + 1);
        mtp_datavalue_t copy;
        mtp_datavalue_initialise(copy, MTP_DATATYPE_UNDEFINED);
        check(mtp_datavalue_set(copy, value));
        check(mtp_datavalue_equals(copy, value));
        if (writable(datatype))
        {
            mtp_buffer_t out;
            mtp_buffer_initialise(out);
            u64 written = 0;
            // Only a string of 255 units (no terminator on the wire) is too
            // long to write back.
            const bool wrote = mtp_datavalue_write(value, out, written);
            check(wrote || (datatype == MTP_DATATYPE_STR && mtp_datavalue_num_bytes(value) > 3 + 2 * 254));
            if (wrote)
            {
                check(written == out.length && written == mtp_datavalue_num_bytes(value));
                mtp_datavalue_t again;
                mtp_datavalue_initialise(again, datatype);
                u64 reread = 0;
                check(mtp_datavalue_parse(again, out, reread));
                check(reread == written && mtp_datavalue_equals(again, value));
                mtp_datavalue_release(again);
            }
            mtp_buffer_release(out);
        }
        for (u64 i = 0; i < mtp_datavalue_num_elements(value) + 2; ++i)
        {
            mtp_datavalue_t element = mtp_datavalue_get_element(value, i);
            mtp_datavalue_to_int(value, i);
            mtp_datavalue_find_index(value, element);
            mtp_datavalue_release(element);
        }
        datetime_t time;
        mtp_datavalue_to_datetime(value, time);
        mtp_datavalue_release(copy);
    }
    mtp_datavalue_release(value);

    mtp_dataset_t dataset;
    mtp_dataset_initialise(dataset, form, mtp_datatype_is_array(datatype) ? mtp_datatype_from_array(datatype) : datatype);
    cursor = 0;
    if (mtp_dataset_parse(dataset, buffer, cursor))
        check(mtp_datavalue_num_elements(dataset.values) <= MTP_DATASET_RANGE_MAX_VALUES + buffer.length);
    check(cursor <= buffer.length);
    mtp_dataset_release(dataset);
    return 0;
}

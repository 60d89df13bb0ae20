// ObjectInfo: life cycle, copying, reading the dataset and the dump, and the
// video and image-format tests on object formats. The record owns its file
// name; the protocol and handle are the holder's, not the dataset's.
#include "orvo/camera/mtp_dataset.h"

#include "orvo/core/core_log.h"

namespace orvo
{
namespace
{
// Offset of Filename from the start of the dataset: ParentObject,
// AssociationType, AssociationDesc and SequenceNumber lie between it and
// ImageBitDepth and are never looked at.
const u64 OBJECTINFO_FILENAME_OFFSET = 52;

void clear_numbers(mtp_objectinfo_t& info)
{
    info.handle = 0;
    info.storage_id = 0;
    info.format = MTP_FORMAT_Undefined;
    info.protection = 0;
    info.size = 0;
    info.thumb_format = MTP_FORMAT_Undefined;
    info.thumb_size = 0;
    info.thumb_width = 0;
    info.thumb_height = 0;
    info.width = 0;
    info.height = 0;
    info.bit_depth = 0;
    datetime_clear(info.capture_date);
}

// An empty CaptureDate is how PTP says the date is unknown: the object is
// still a photo to download, with a zero date. A date that is present must be
// well formed.
bool extract_capture_date(const mtp_buffer_t& buffer, u64& cursor, datetime_t& date)
{
    mtp_datavalue_t text;
    mtp_datavalue_initialise(text, MTP_DATATYPE_STR);
    bool ok = mtp_datavalue_parse(text, buffer, cursor);
    if (ok && text.str.length == 0)
        datetime_clear(date);
    else if (ok)
        ok = mtp_datavalue_to_datetime(text, date);
    mtp_datavalue_release(text);
    return ok;
}
} // namespace

void mtp_objectinfo_initialise(mtp_objectinfo_t& info, u32 protocol, u32 handle)
{
    clear_numbers(info);
    info.protocol = static_cast<mtp_protocol_t>(protocol);
    info.handle = handle;
    stringbuffer_initialise(info.filename);
}

void mtp_objectinfo_clear(mtp_objectinfo_t& info)
{
    clear_numbers(info);
    stringbuffer_clear(info.filename);
}

void mtp_objectinfo_release(mtp_objectinfo_t& info)
{
    stringbuffer_release(info.filename);
}

bool mtp_objectinfo_copy(mtp_objectinfo_t& target, const mtp_objectinfo_t& source)
{
    if (&target == &source)
        return true;
    target.handle = source.handle;
    target.storage_id = source.storage_id;
    target.format = source.format;
    target.protection = source.protection;
    target.size = source.size;
    target.thumb_format = source.thumb_format;
    target.thumb_size = source.thumb_size;
    target.thumb_width = source.thumb_width;
    target.thumb_height = source.thumb_height;
    target.width = source.width;
    target.height = source.height;
    target.bit_depth = source.bit_depth;
    target.capture_date = source.capture_date;
    // An empty source name empties the target's and frees its storage.
    if (stringbuffer_set(target.filename, static_cast<const string_t&>(source.filename)))
        return true;
    stringbuffer_clear(target.filename);
    log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to copy MTP objectinfo filename %s", source.filename.str);
    return false;
}

bool mtp_objectinfo_parse(mtp_objectinfo_t& info, const mtp_buffer_t& buffer, u64& cursor)
{
    info.storage_id = 0;
    info.format = MTP_FORMAT_Undefined;
    // Fixed offsets count from where the dataset starts.
    const u64 start = cursor;
    const char* failed = nullptr;
    if (!mtp_buffer_extract(buffer, cursor, info.storage_id))
        failed = "storage_id";
    else if (!mtp_buffer_extract(buffer, cursor, info.format))
        failed = "format";
    else if (!mtp_buffer_extract(buffer, cursor, info.protection))
        failed = "protection";
    else if (!mtp_buffer_extract(buffer, cursor, info.size))
        failed = "num_bytes";
    else if (!mtp_buffer_extract(buffer, cursor, info.thumb_format))
        failed = "thumb_format";
    else if (!mtp_buffer_extract(buffer, cursor, info.thumb_size))
        failed = "thumb_num_bytes";
    else if (!mtp_buffer_extract(buffer, cursor, info.thumb_width))
        failed = "thumb_width";
    else if (!mtp_buffer_extract(buffer, cursor, info.thumb_height))
        failed = "thumb_height";
    else if (!mtp_buffer_extract(buffer, cursor, info.width))
        failed = "width";
    else if (!mtp_buffer_extract(buffer, cursor, info.height))
        failed = "height";
    else if (!mtp_buffer_extract(buffer, cursor, info.bit_depth))
        failed = "depth";
    else
    {
        cursor = start + OBJECTINFO_FILENAME_OFFSET;
        if (!mtp_buffer_extract(buffer, cursor, info.filename))
            failed = "filename";
        else if (!extract_capture_date(buffer, cursor, info.capture_date))
            failed = "date_created";
    }
    if (failed)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_CAMERA, "Failed to extract MTP objectinfo: %s", failed);
        return false;
    }
    return true;
}

bool mtp_objectinfo_is_valid(const mtp_objectinfo_t& info)
{
    return info.handle != 0;
}

bool mtp_objectinfo_is_video(const mtp_objectinfo_t& info)
{
    return mtp_format_is_video(info.protocol, info.format);
}

void mtp_objectinfo_print(const mtp_objectinfo_t& info, u32 width)
{
    const int w = static_cast<int>(width);
    log_printf("\n%*sHandle:       %u", w, "", info.handle);
    log_printf("\n%*sStorage ID:   %u", w, "", info.storage_id);
    log_printf("\n%*sFormat:       %s", w, "", mtp_format_to_cstr(info.protocol, info.format));
    log_printf("\n%*sProtection:   %x", w, "", info.protection);
    log_printf("\n%*sNum bytes:    %u", w, "", info.size);
    log_printf("\n%*sWidth:        %u", w, "", info.width);
    log_printf("\n%*sHeight:       %u", w, "", info.height);
    log_printf("\n%*sFilename:     %s", w, "", info.filename.str);
    log_printf("\n%*sDate created: ", w, "");
    datetime_print(info.capture_date);
}

bool mtp_format_is_video(u32 protocol, u32 format)
{
    if (format >= MTP_FORMAT_UndefinedVideo && format <= MTP_FORMAT_3GPContainer)
        return true;
    if (format >= MTP_FORMAT_AVI && format <= MTP_FORMAT_MOV)
        return true;
    return protocol == MTP_PROTOCOL_CANON && (format == MTP_FORMAT_Canon_MOV || format == MTP_FORMAT_Canon_MOV2);
}

imageformat_t mtp_format_to_imageformat(u32 protocol, u32 format)
{
    switch (format)
    {
    case MTP_FORMAT_EXIF_JPEG:
    case MTP_FORMAT_JFIF:
    case MTP_FORMAT_JP2:
        return IMAGEFORMAT_JPEG;
    case MTP_FORMAT_PNG:
        return IMAGEFORMAT_PNG;
    case MTP_FORMAT_TIFF_EP:
    case MTP_FORMAT_TIFF:
    case MTP_FORMAT_TIFF_IT:
        return IMAGEFORMAT_TIFF;
    default:
        break;
    }
    if (protocol == MTP_PROTOCOL_CANON && (format == MTP_FORMAT_Canon_CRW || format == MTP_FORMAT_Canon_CR2))
        return IMAGEFORMAT_RAW;
    return IMAGEFORMAT_UNKNOWN;
}
} // namespace orvo

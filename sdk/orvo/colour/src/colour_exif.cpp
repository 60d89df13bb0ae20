// EXIF orientation through libexif. The library's own corrections are turned
// off so that the entry is read as the camera stored it (it would otherwise
// rewrite formats and add defaults before we look).
#include "orvo/colour/colour_exif.h"

#include <libexif/exif-data.h>

#include <climits>

namespace orvo
{
namespace
{
// The value of a one-component integer entry, or -1 for any other format.
i64 exif_entry_integer(const ExifEntry* entry, ExifByteOrder order)
{
    if (!entry->data || entry->components < 1)
        return -1;
    u32 size = exif_format_get_size(entry->format);
    if (size == 0 || entry->size < size)
        return -1;
    switch (entry->format)
    {
    case EXIF_FORMAT_BYTE:
        return entry->data[0];
    case EXIF_FORMAT_SBYTE:
        return static_cast<i8>(entry->data[0]);
    case EXIF_FORMAT_SHORT:
        return exif_get_short(entry->data, order);
    case EXIF_FORMAT_SSHORT:
        return exif_get_sshort(entry->data, order);
    case EXIF_FORMAT_LONG:
        return exif_get_long(entry->data, order);
    case EXIF_FORMAT_SLONG:
        return exif_get_slong(entry->data, order);
    default:
        return -1;
    }
}
} // namespace

imageorientation_t image_compute_orientation(const memory_t& file)
{
    if (!file.data || file.num_bytes == 0)
        return IMAGEORIENTATION_UNKNOWN;
    ExifData* exif = exif_data_new();
    if (!exif)
        return IMAGEORIENTATION_UNKNOWN;
    exif_data_unset_option(exif, EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
    // The EXIF block sits near the start of a JPEG: the part past 4 GiB, which
    // libexif's length type cannot name, never holds it.
    unsigned int length = file.num_bytes > UINT_MAX ? UINT_MAX : static_cast<unsigned int>(file.num_bytes);
    exif_data_load_data(exif, static_cast<const unsigned char*>(file.data), length);

    static const ExifIfd order_of_ifds[] = {EXIF_IFD_0, EXIF_IFD_1, EXIF_IFD_EXIF, EXIF_IFD_GPS,
                                            EXIF_IFD_INTEROPERABILITY};
    imageorientation_t orientation = IMAGEORIENTATION_UNKNOWN;
    for (ExifIfd ifd : order_of_ifds)
    {
        ExifContent* content = exif->ifd[ifd];
        ExifEntry* entry = content ? exif_content_get_entry(content, EXIF_TAG_ORIENTATION) : nullptr;
        if (!entry)
            continue;
        orientation = imageorientation_from_exif(exif_entry_integer(entry, exif_data_get_byte_order(exif)));
        break;
    }
    exif_data_unref(exif);
    return orientation;
}
} // namespace orvo

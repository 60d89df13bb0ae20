// EXIF blocks built with libexif: one Orientation entry in IFD 0 of a chosen
// format, so the reader sees exactly what a camera might have stored.
#include "support/image/image_writers.h"

#include <libexif/exif-data.h>

#include <cstdlib>
#include <cstring>

namespace lumivane_test
{
Bytes WriteExifOrientation(int exif_format, uint32_t value, bool big_endian)
{
    ExifData* exif = exif_data_new();
    exif_data_unset_option(exif, EXIF_DATA_OPTION_FOLLOW_SPECIFICATION);
    ExifByteOrder order = big_endian ? EXIF_BYTE_ORDER_MOTOROLA : EXIF_BYTE_ORDER_INTEL;
    exif_data_set_byte_order(exif, order);

    ExifEntry* entry = exif_entry_new();
    exif_content_add_entry(exif->ifd[EXIF_IFD_0], entry);
    entry->tag = EXIF_TAG_ORIENTATION;
    ExifFormat format = static_cast<ExifFormat>(exif_format);
    entry->format = format;
    entry->components = 1;
    entry->size = exif_format_get_size(format);
    ExifMem* mem = exif_mem_new_default();
    entry->data = static_cast<unsigned char*>(exif_mem_alloc(mem, entry->size));
    exif_mem_unref(mem);
    switch (format)
    {
    case EXIF_FORMAT_BYTE:
    case EXIF_FORMAT_SBYTE:
        entry->data[0] = static_cast<unsigned char>(value);
        break;
    case EXIF_FORMAT_SHORT:
    case EXIF_FORMAT_SSHORT:
        exif_set_short(entry->data, order, static_cast<ExifShort>(value));
        break;
    case EXIF_FORMAT_LONG:
    case EXIF_FORMAT_SLONG:
        exif_set_long(entry->data, order, value);
        break;
    case EXIF_FORMAT_RATIONAL:
        exif_set_rational(entry->data, order, ExifRational{value, 1});
        break;
    default:
        break;
    }
    exif_entry_unref(entry);

    unsigned char* data = nullptr;
    unsigned int size = 0;
    exif_data_save_data(exif, &data, &size);
    Bytes bytes(data, data + size);
    free(data);
    exif_data_unref(exif);
    return bytes;
}

Bytes InsertExif(const Bytes& jpeg, const Bytes& exif)
{
    Bytes out(jpeg.begin(), jpeg.begin() + 2);
    size_t length = exif.size() + 2;
    out.push_back(0xFF);
    out.push_back(0xE1);
    out.push_back(static_cast<uint8_t>(length >> 8));
    out.push_back(static_cast<uint8_t>(length & 0xFF));
    out.insert(out.end(), exif.begin(), exif.end());
    out.insert(out.end(), jpeg.begin() + 2, jpeg.end());
    return out;
}
} // namespace lumivane_test

// EXIF orientation of JPEG files: EXIF blocks built with libexif in each entry
// format and byte order, inserted into JPEGs written by libjpeg, and the
// values and files that must give unknown.
#include "colour_codec_helpers.h"
#include "orvo/colour/colour_pixelbuffer.h"
#include "support/image/image_writers.h"

#include <gtest/gtest.h>

#include <libexif/exif-format.h>

using namespace orvo;
using colour_test::Block;
using lumivane_test::Bytes;

TEST(ExifOrientation, EntriesOfJpegFiles)
{
    Bytes jpeg = lumivane_test::WriteJpeg(16, 8, 3, 90);
    struct Case
    {
        const char* name;
        int format;
        uint32_t value;
        bool big_endian;
        imageorientation_t expected;
    };
    const Case cases[] = {
        {"SHORT 6", EXIF_FORMAT_SHORT, 6, false, IMAGEORIENTATION_ROTATE90},
        {"SHORT 6 big-endian", EXIF_FORMAT_SHORT, 6, true, IMAGEORIENTATION_ROTATE90},
        {"LONG 6", EXIF_FORMAT_LONG, 6, false, IMAGEORIENTATION_ROTATE90},
        {"LONG 6 big-endian", EXIF_FORMAT_LONG, 6, true, IMAGEORIENTATION_ROTATE90},
        {"SHORT 1", EXIF_FORMAT_SHORT, 1, false, IMAGEORIENTATION_NONE},
        {"SHORT 8", EXIF_FORMAT_SHORT, 8, true, IMAGEORIENTATION_ROTATE270},
        {"SHORT 3", EXIF_FORMAT_SHORT, 3, false, IMAGEORIENTATION_ROTATE180},
        {"BYTE 2", EXIF_FORMAT_BYTE, 2, false, IMAGEORIENTATION_FLIPX},
        {"SSHORT 7", EXIF_FORMAT_SSHORT, 7, true, IMAGEORIENTATION_INVERSETRANSPOSE},
        {"SLONG 5", EXIF_FORMAT_SLONG, 5, false, IMAGEORIENTATION_TRANSPOSE},
        {"SBYTE 4", EXIF_FORMAT_SBYTE, 4, false, IMAGEORIENTATION_FLIPY},
        {"SHORT 0", EXIF_FORMAT_SHORT, 0, false, IMAGEORIENTATION_UNKNOWN},
        {"SHORT 9", EXIF_FORMAT_SHORT, 9, false, IMAGEORIENTATION_UNKNOWN},
        {"LONG 0x10006", EXIF_FORMAT_LONG, 0x10006, false, IMAGEORIENTATION_UNKNOWN},
        {"SLONG -2", EXIF_FORMAT_SLONG, 0xFFFFFFFEu, false, IMAGEORIENTATION_UNKNOWN},
        {"RATIONAL 6", EXIF_FORMAT_RATIONAL, 6, false, IMAGEORIENTATION_UNKNOWN},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        Bytes file = lumivane_test::InsertExif(jpeg, lumivane_test::WriteExifOrientation(c.format, c.value, c.big_endian));
        EXPECT_EQ(image_compute_orientation(Block(file)), c.expected);
    }
}

TEST(ExifOrientation, NothingToReadGivesUnknown)
{
    Bytes jpeg = lumivane_test::WriteJpeg(16, 8, 3, 90);
    Bytes with_exif = lumivane_test::InsertExif(jpeg, lumivane_test::WriteExifOrientation(EXIF_FORMAT_SHORT, 6));
    // Cut inside the EXIF block, after its header.
    Bytes cut(with_exif.begin(), with_exif.begin() + 20);
    Bytes text = {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'};
    struct Case
    {
        const char* name;
        memory_t block;
    };
    const Case cases[] = {
        {"no EXIF", Block(jpeg)},
        {"cut EXIF", Block(cut)},
        {"text", Block(text)},
        {"null", memory_t{nullptr, 100}},
        {"empty", memory_t{with_exif.data(), 0}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(image_compute_orientation(c.block), IMAGEORIENTATION_UNKNOWN);
    }
    // The whole file still reads.
    EXPECT_EQ(image_compute_orientation(Block(with_exif)), IMAGEORIENTATION_ROTATE90);
}

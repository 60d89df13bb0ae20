// Picture files for the colour tests and benchmarks, written at run time by
// the image libraries' own writers: libjpeg for JPEG, libpng for PNG, libtiff
// for TIFF and DNG, libexif for EXIF blocks. Pixels follow a fixed pattern so
// a test can compute what every decoded sample must be.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace lumivane_test
{
typedef std::vector<uint8_t> Bytes;

// The pattern's sample of channel c at (x, y), for 8 and 16 bits.
uint8_t PatternSample8(int x, int y, int c);
uint16_t PatternSample16(int x, int y, int c);

// Packed rows of the pattern, top row first; 16-bit samples in host order.
Bytes PatternPixels(int width, int height, int channels, int bits);

// A baseline JPEG of the pattern (channels 1 or 3), optionally progressive.
Bytes WriteJpeg(int width, int height, int channels, int quality, bool progressive = false);

struct PngOptions
{
    int width = 8;
    int height = 8;
    int colour_type = 2; // libpng's PNG_COLOR_TYPE_*: 0 grey, 2 RGB, 3 palette, 4 GA, 6 RGBA
    int bit_depth = 8;
    bool interlaced = false;
    bool transparency = false; // a tRNS chunk naming the pattern's first pixel
};
// A PNG of the pattern (palette images index the pattern's grey values).
Bytes WritePng(const PngOptions& options);

// An RGB TIFF of the pattern (8 bits, one strip per 16 rows), through a
// file in the temporary folder; channels 3 or 4.
Bytes WriteTiff(int width, int height, int channels = 3);

// An EXIF block ("Exif\0\0" and a TIFF structure) built with libexif, with an
// Orientation entry in IFD 0 of the given libexif format (EXIF_FORMAT_SHORT,
// EXIF_FORMAT_LONG, EXIF_FORMAT_RATIONAL, ...) and value, big- or
// little-endian.
Bytes WriteExifOrientation(int exif_format, uint32_t value, bool big_endian = false);
// The JPEG with the EXIF block as an APP1 segment right after its SOI.
Bytes InsertExif(const Bytes& jpeg, const Bytes& exif);

// A small DNG, written with libtiff: IFD 0 is the preview (a JPEG stored as
// its one strip, or with bitmap set an uncompressed RGB strip of the
// pattern), a sub-IFD the 16-bit CFA raw image; Orientation carries the
// given EXIF value in both.
Bytes WriteDng(const Bytes& preview_jpeg, int preview_width, int preview_height, int exif_orientation,
               bool bitmap = false);

// The PNG with its IHDR claiming another size; the chunk's CRC is computed
// again (zlib), so libpng reads the claim instead of refusing the chunk.
Bytes SetPngSize(const Bytes& png, uint32_t width, uint32_t height);

// libjpeg's own decode of a JPEG into packed RGB rows, the reference for
// what a JPEG decoder must produce; empty when libjpeg refuses the file.
Bytes DecodeJpegReference(const Bytes& jpeg, int& width, int& height);

// Writes bytes to a path, and reads a whole file; empty on failure.
bool SaveBytes(const std::string& path, const Bytes& bytes);
Bytes LoadBytes(const std::string& path);
} // namespace lumivane_test

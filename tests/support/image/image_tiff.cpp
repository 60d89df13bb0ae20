// TIFF and DNG fixtures written with libtiff into a temporary file, read back
// and removed.
#include "support/image/image_writers.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include <tiffio.h>

namespace lumivane_test
{
namespace
{
std::string TempPath()
{
    char path[] = "/tmp/lumivane_fixture_XXXXXX";
    int fd = mkstemp(path);
    if (fd >= 0)
        close(fd);
    return path;
}

void WritePatternStrips(TIFF* tif, int width, int height, int channels, int rows_per_strip)
{
    Bytes pixels = PatternPixels(width, height, channels, 8);
    size_t row_bytes = static_cast<size_t>(width) * channels;
    for (int y = 0, strip = 0; y < height; y += rows_per_strip, ++strip)
    {
        int rows = std::min(rows_per_strip, height - y);
        TIFFWriteEncodedStrip(tif, strip, pixels.data() + y * row_bytes, rows * row_bytes);
    }
}
} // namespace

Bytes WriteTiff(int width, int height, int channels)
{
    std::string path = TempPath();
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    if (!tif)
        return Bytes();
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, channels);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    if (channels == 4)
    {
        uint16_t extra = EXTRASAMPLE_ASSOCALPHA; // read back as stored
        TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
    }
    const int rows_per_strip = 16;
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, rows_per_strip);
    WritePatternStrips(tif, width, height, channels, rows_per_strip);
    TIFFClose(tif);
    Bytes bytes = LoadBytes(path);
    std::remove(path.c_str());
    return bytes;
}

Bytes WriteDng(const Bytes& preview_jpeg, int preview_width, int preview_height, int exif_orientation,
               bool bitmap)
{
    std::string path = TempPath();
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    if (!tif)
        return Bytes();
    static const uint8_t dng_version[4] = {1, 4, 0, 0};
    static const uint8_t dng_backward[4] = {1, 1, 0, 0};

    // IFD 0: the reduced-resolution preview, as DNG writers lay it out.
    TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_REDUCEDIMAGE);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, preview_width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, preview_height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, exif_orientation);
    TIFFSetField(tif, TIFFTAG_MAKE, "Lumivane");
    TIFFSetField(tif, TIFFTAG_MODEL, "Fixture");
    TIFFSetField(tif, TIFFTAG_DNGVERSION, dng_version);
    TIFFSetField(tif, TIFFTAG_DNGBACKWARDVERSION, dng_backward);
    TIFFSetField(tif, TIFFTAG_UNIQUECAMERAMODEL, "Lumivane Fixture");
    uint64_t sub_ifd = 0;
    TIFFSetField(tif, TIFFTAG_SUBIFD, 1, &sub_ifd);
    if (bitmap)
    {
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, preview_height);
        WritePatternStrips(tif, preview_width, preview_height, 3, preview_height);
    }
    else
    {
        // The JPEG goes in whole as the one strip; the JPEG codec of libtiff
        // never touches it (no tables of its own).
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_JPEG);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR);
        TIFFSetField(tif, TIFFTAG_JPEGTABLESMODE, 0);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, preview_height);
        TIFFWriteRawStrip(tif, 0, const_cast<uint8_t*>(preview_jpeg.data()), preview_jpeg.size());
    }
    TIFFWriteDirectory(tif);

    // The sub-IFD: a small 16-bit RGGB mosaic.
    const int raw_width = 64, raw_height = 48;
    TIFFSetField(tif, TIFFTAG_SUBFILETYPE, 0);
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, raw_width);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, raw_height);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_CFA);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, exif_orientation);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, raw_height);
    static const uint16_t repeat[2] = {2, 2};
    static const uint8_t pattern[4] = {0, 1, 1, 2};
    TIFFSetField(tif, TIFFTAG_CFAREPEATPATTERNDIM, repeat);
    TIFFSetField(tif, TIFFTAG_CFAPATTERN, 4, pattern);
    std::vector<uint16_t> raw(static_cast<size_t>(raw_width) * raw_height);
    for (size_t i = 0; i < raw.size(); ++i)
        raw[i] = static_cast<uint16_t>((i * 37) & 0x0FFF);
    TIFFWriteEncodedStrip(tif, 0, raw.data(), raw.size() * 2);
    TIFFWriteDirectory(tif);
    TIFFClose(tif);
    Bytes bytes = LoadBytes(path);
    std::remove(path.c_str());
    return bytes;
}
} // namespace lumivane_test

// Image format by name, extension and magic bytes, and the JPEG marker walk
// that finds the end of the stream. Every read is checked against the block's
// length: the bytes come from cameras and files.
#include "orvo/core/core_imageformat.h"

#include <cstring>

namespace orvo
{
const string_t imageformat_map[IMAGEFORMAT_COUNT] = {
    {"JPEG", 4}, {"PNG", 3}, {"Raw", 3}, {"TGA", 3}, {"TIFF", 4}, {"Unknown", 7},
};

namespace
{
struct extension_entry_t
{
    const char* extension; // upper case, with the dot
    imageformat_t format;
};

const extension_entry_t extension_table[] = {
    {".NEF", IMAGEFORMAT_RAW},   {".CR2", IMAGEFORMAT_RAW},  {".CR1", IMAGEFORMAT_RAW},   {".CRW", IMAGEFORMAT_RAW},
    {".RAW", IMAGEFORMAT_RAW},   {".DNG", IMAGEFORMAT_RAW},  {".JPG", IMAGEFORMAT_JPEG},  {".JPEG", IMAGEFORMAT_JPEG},
    {".PNG", IMAGEFORMAT_PNG},   {".TIF", IMAGEFORMAT_TIFF}, {".TIFF", IMAGEFORMAT_TIFF}, {".TGA", IMAGEFORMAT_TGA},
    {".TARGA", IMAGEFORMAT_TGA},
};

// Longer than every entry of the table: such a text cannot match.
const u64 MAX_EXTENSION = 8;

const u8 PNG_SIGNATURE[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
} // namespace

string_t imageformat_to_str(u32 format)
{
    return imageformat_map[format < IMAGEFORMAT_COUNT ? format : IMAGEFORMAT_UNKNOWN];
}

imageformat_t imageformat_from_str(const char* name)
{
    if (!name)
        return IMAGEFORMAT_UNKNOWN;
    for (u32 format = 0; format < IMAGEFORMAT_UNKNOWN; ++format)
        if (std::strcmp(name, imageformat_map[format].str) == 0)
            return static_cast<imageformat_t>(format);
    return IMAGEFORMAT_UNKNOWN;
}

imageformat_t imageformat_from_extension(const string_t& extension)
{
    if (extension.length == 0 || extension.length > MAX_EXTENSION)
        return IMAGEFORMAT_UNKNOWN;
    // Only ASCII letters change case: the bytes of other UTF-8 characters stay.
    char upper[MAX_EXTENSION + 1];
    for (u64 i = 0; i < extension.length; ++i)
    {
        char c = extension.str[i];
        upper[i] = (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    upper[extension.length] = 0;
    for (const extension_entry_t& entry : extension_table)
        if (std::strlen(entry.extension) == extension.length &&
            std::memcmp(entry.extension, upper, extension.length) == 0)
            return entry.format;
    return IMAGEFORMAT_UNKNOWN;
}

imageformat_t image_compute_format(const memory_t& block)
{
    const u8* bytes = static_cast<const u8*>(block.data);
    u64 size = bytes ? block.num_bytes : 0;
    if (size < 2)
        return IMAGEFORMAT_UNKNOWN;
    if (bytes[0] == 0xFF && bytes[1] == 0xD8)
        return IMAGEFORMAT_JPEG;
    if (size >= 8)
    {
        if ((bytes[0] == 'I' && bytes[1] == 'I' && bytes[2] == 0x2A && bytes[3] == 0x00) ||
            (bytes[0] == 'M' && bytes[1] == 'M' && bytes[2] == 0x00 && bytes[3] == 0x2A))
            return IMAGEFORMAT_TIFF;
        if (std::memcmp(bytes, PNG_SIGNATURE, sizeof(PNG_SIGNATURE)) == 0)
            return IMAGEFORMAT_PNG;
    }
    if (size < 4)
        return IMAGEFORMAT_UNKNOWN;
    // TGA has no signature: a colour map flag of 1 and a known image type is
    // as close as the header gets. Files without a colour map stay unknown.
    u8 type = bytes[2];
    if (bytes[1] == 1 && (type == 1 || type == 2 || type == 3 || type == 9 || type == 10 || type == 11))
        return IMAGEFORMAT_TGA;
    return IMAGEFORMAT_UNKNOWN;
}

u64 image_compute_payload(const memory_t& block)
{
    if (image_compute_format(block) != IMAGEFORMAT_JPEG)
        return 0;
    return jpeg_compute_payload(block);
}

u64 jpeg_compute_payload(const memory_t& block)
{
    const u8* bytes = static_cast<const u8*>(block.data);
    u64 size = bytes ? block.num_bytes : 0;
    if (size < 4)
        return 0;
    // Invariant: position <= size, so size - position never wraps.
    u64 position = 2;
    while (position < size && bytes[position] == 0xFF)
    {
        if (size - position < 2)
            return 0;
        u8 code = bytes[position + 1];
        position += 2;
        // Fill bytes: any number of FF may stand before the marker code.
        while (code == 0xFF)
        {
            if (position >= size)
                return 0;
            code = bytes[position++];
        }
        if (code == 0xD9)
            return position;
        if (code == 0x01 || (code >= 0xD0 && code <= 0xD7))
        {
            // Markers without a length.
        }
        else if (code == 0xDA)
        {
            // Entropy-coded data escapes every FF, so the first FF D9 ends the
            // scan. Only an FF that has a byte after it can start one; the
            // search for FF runs at memory speed over megabytes of photo.
            for (;;)
            {
                if (size - position < 2)
                    break;
                const void* ff = std::memchr(bytes + position, 0xFF, size - position - 1);
                if (!ff)
                {
                    position = size - 1;
                    break;
                }
                position = static_cast<u64>(static_cast<const u8*>(ff) - bytes);
                if (bytes[position + 1] == 0xD9)
                    break;
                ++position;
            }
        }
        else
        {
            if (size - position < 2)
                return 0;
            u64 length = (static_cast<u64>(bytes[position]) << 8) | bytes[position + 1];
            // The length counts its own two bytes; less is corrupt, more than
            // what is left means the stream was cut off.
            if (length < 2 || length > size - position)
                return 0;
            position += length;
        }
        if (size - position < 2)
            return 0;
    }
    return 0;
}
} // namespace orvo

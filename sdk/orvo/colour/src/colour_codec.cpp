// The codec record, its dispatchers and the checks all codecs share.
#include "colour_codec_private.h"

#include "orvo/core/core_log.h"

#include <cstring>

namespace orvo
{
void image_codec_initialise(image_codec_t& codec, const string_t& name, void* user, bool (*open)(void*),
                            void (*close)(void*), void (*destroy)(void*),
                            bool (*read_header)(void*, const memory_t&, image_desc_t&),
                            bool (*decode)(void*, pixelbuffer_t&))
{
    codec.name = name;
    codec.user = user;
    codec.open = open;
    codec.close = close;
    codec.destroy = destroy;
    codec.read_header = read_header;
    codec.decode = decode;
}

void image_codec_release(image_codec_t&)
{
}

bool image_codec_open(image_codec_t* codec)
{
    return !codec || !codec->open || codec->open(codec->user);
}

void image_codec_close(image_codec_t* codec)
{
    if (codec && codec->close)
        codec->close(codec->user);
}

void image_codec_destroy(image_codec_t* codec)
{
    if (codec && codec->destroy)
        codec->destroy(codec->user);
}

bool image_codec_read_header(image_codec_t* codec, const memory_t& file, image_desc_t& desc)
{
    if (!codec || !codec->read_header || !file.data || file.num_bytes == 0)
        return false;
    return codec->read_header(codec->user, file, desc);
}

bool image_codec_decode(image_codec_t* codec, pixelbuffer_t& target)
{
    if (!codec || !codec->decode)
        return false;
    return codec->decode(codec->user, target);
}

bool codec_check_size(const char* codec, i64 width, i64 height)
{
    if (image_size_is_valid(width, height))
        return true;
    log_writef(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: %s picture size %lldx%lld out of range", codec,
               static_cast<long long>(width), static_cast<long long>(height));
    return false;
}

bool codec_check_target(const char* codec, const pixelbuffer_t& target, const image_desc_t& header)
{
    u64 needed = pixelbuffer_compute_size(target.format, target.row_length, target.height);
    if (target.data && target.format == header.format && target.width == header.width &&
        target.height == header.height && target.row_length >= target.width && needed != 0 &&
        target.size >= needed)
        return true;
    log_writef(LOGLEVEL_ERROR, LOGMODULE_IMAGE,
               "ERROR: %s decode target %dx%d (row length %d, format 0x%x, %llu bytes) does not fit the "
               "picture %dx%d (format 0x%x)",
               codec, target.width, target.height, target.row_length, static_cast<unsigned>(target.format),
               static_cast<unsigned long long>(target.size), header.width, header.height,
               static_cast<unsigned>(header.format));
    return false;
}

void* codec_allocate(u64 size)
{
    void* block = heap_alloc(size, 16, ORVO_HEAP_TAG);
    if (block)
        std::memset(block, 0, size);
    return block;
}
} // namespace orvo

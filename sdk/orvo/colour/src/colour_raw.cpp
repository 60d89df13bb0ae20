// Raw camera files: LibRaw finds the embedded JPEG preview and the JPEG codec
// decodes it; the raw picture itself is never developed. The preview bytes
// stay LibRaw's until the handle opens the next file or closes.
//
// LibRaw 0.20 unpacks every kind of preview it knows, and some of its bitmap
// paths write past their buffers on damaged files. So the reader looks at
// which preview LibRaw found before asking for it, and unpacks only a JPEG
// preview whose claimed length fits inside the file.
#include "colour_codec_private.h"

#include "orvo/core/core_log.h"

#include <libraw/libraw.h>

#include <new>

namespace orvo
{
namespace
{
// LibRaw with a look at what its identification found, before unpacking.
class raw_preview_reader_t : public LibRaw
{
public:
    raw_preview_reader_t() : LibRaw(LIBRAW_OPTIONS_NONE)
    {
    }

    // A JPEG stored whole in the file: LibRaw would copy its claimed length
    // straight from the file and nothing else.
    bool preview_is_whole_jpeg() const
    {
        return write_thumb == &raw_preview_reader_t::jpeg_thumb && thumb_load_raw == nullptr;
    }
};

struct raw_codec_state_t
{
    image_codec_t codec;
    raw_preview_reader_t* raw; // null until open
    image_codec_t* jpeg;       // the preview's decoder, null until open
    bool preview_ready;        // the last read_header found a preview to decode
};

// The smallest JPEG stream: SOI and EOI.
const u64 MIN_JPEG_BYTES = 4;

// LibRaw reports damaged data through this hook; by default it prints.
void raw_data_error_handler(void*, const char* file, const int offset)
{
    log_writef(LOGLEVEL_WARNING, LOGMODULE_IMAGE, "RAW: damaged data in %s at offset %d", file ? file : "(memory)",
               offset);
}

bool raw_codec_open(void* user)
{
    raw_codec_state_t* state = static_cast<raw_codec_state_t*>(user);
    if (!state->raw)
    {
        state->raw = new (std::nothrow) raw_preview_reader_t();
        if (!state->raw)
        {
            log_write(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: RAW codec failure: LibRaw could not be set up");
            return false;
        }
        state->raw->set_dataerror_handler(raw_data_error_handler, state);
    }
    if (!state->jpeg)
    {
        state->jpeg = jpeg_codec_create();
        if (!state->jpeg)
            return false;
    }
    // Also after a close, which closed the inner codec too.
    return image_codec_open(state->jpeg);
}

void raw_codec_close(void* user)
{
    raw_codec_state_t* state = static_cast<raw_codec_state_t*>(user);
    delete state->raw;
    state->raw = nullptr;
    state->preview_ready = false;
    image_codec_close(state->jpeg);
}

void raw_codec_destroy(void* user)
{
    raw_codec_state_t* state = static_cast<raw_codec_state_t*>(user);
    delete state->raw;
    image_codec_destroy(state->jpeg);
    heap_free(user, ORVO_HEAP_TAG);
}

imageorientation_t raw_orientation(int flip)
{
    switch (flip)
    {
    case 6:
        return IMAGEORIENTATION_ROTATE90;
    case 5:
        return IMAGEORIENTATION_ROTATE270;
    case 3:
        return IMAGEORIENTATION_ROTATE180;
    default:
        return IMAGEORIENTATION_NONE;
    }
}

bool raw_codec_read_header(void* user, const memory_t& file, image_desc_t& desc)
{
    raw_codec_state_t* state = static_cast<raw_codec_state_t*>(user);
    // Opening the next file frees the last preview: no decode may reach it.
    state->preview_ready = false;
    if (!state->raw || !state->jpeg || !file.data)
        return false;
    raw_preview_reader_t& raw = *state->raw;
    // LibRaw 0.20's open_buffer forgets the stream of the previous file
    // instead of freeing it: recycle first, which frees it and the preview.
    raw.recycle();
    // LibRaw reads the buffer only; its interface predates const.
    if (raw.open_buffer(const_cast<void*>(file.data), file.num_bytes) != LIBRAW_SUCCESS)
        return false;
    u64 claimed = raw.imgdata.thumbnail.tlength;
    if (!raw.preview_is_whole_jpeg())
    {
        log_write(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: RAW preview is not a JPEG");
        return false;
    }
    if (claimed < MIN_JPEG_BYTES || claimed > file.num_bytes)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: RAW preview of %llu bytes in a file of %llu bytes",
                   static_cast<unsigned long long>(claimed), static_cast<unsigned long long>(file.num_bytes));
        return false;
    }
    int result = raw.unpack_thumb();
    if (result != LIBRAW_SUCCESS)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: RAW preview cannot be read: %s", libraw_strerror(result));
        return false;
    }
    const libraw_thumbnail_t& preview = raw.imgdata.thumbnail;
    if (preview.tformat != LIBRAW_THUMBNAIL_JPEG || !preview.thumb || preview.tlength == 0)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: RAW preview is not a JPEG (preview format %d)",
                   static_cast<int>(preview.tformat));
        return false;
    }
    memory_t jpeg = {preview.thumb, preview.tlength};
    if (!image_codec_read_header(state->jpeg, jpeg, desc))
        return false;
    desc.orientation = raw_orientation(raw.imgdata.sizes.flip);
    state->preview_ready = true;
    return true;
}

bool raw_codec_decode(void* user, pixelbuffer_t& target)
{
    raw_codec_state_t* state = static_cast<raw_codec_state_t*>(user);
    if (!state->preview_ready)
    {
        log_write(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: RAW decode without a header");
        return false;
    }
    state->preview_ready = false;
    return image_codec_decode(state->jpeg, target);
}
} // namespace

image_codec_t* raw_codec_create()
{
    raw_codec_state_t* state = static_cast<raw_codec_state_t*>(codec_allocate(sizeof(raw_codec_state_t)));
    if (!state)
        return nullptr;
    image_codec_initialise(state->codec, string_make("RAW"), state, raw_codec_open, raw_codec_close,
                           raw_codec_destroy, raw_codec_read_header, raw_codec_decode);
    return &state->codec;
}
} // namespace orvo

// Raw camera files: LibRaw finds the embedded JPEG preview and the JPEG codec
// decodes it; the raw picture itself is never developed. The preview bytes
// stay LibRaw's until the handle opens the next file or closes.
#include "colour_codec_private.h"

#include "orvo/core/core_log.h"

#include <libraw/libraw.h>

namespace orvo
{
namespace
{
struct raw_codec_state_t
{
    image_codec_t codec;
    libraw_data_t* raw; // null until open
    image_codec_t* jpeg; // the preview's decoder, null until open
    bool preview_ready;  // the last read_header found a preview to decode
};

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
        state->raw = libraw_init(0);
        if (!state->raw)
        {
            log_write(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: RAW codec failure: LibRaw could not be set up");
            return false;
        }
        libraw_set_dataerror_handler(state->raw, raw_data_error_handler, state);
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
    if (state->raw)
        libraw_close(state->raw);
    state->raw = nullptr;
    state->preview_ready = false;
    image_codec_close(state->jpeg);
}

void raw_codec_destroy(void* user)
{
    raw_codec_state_t* state = static_cast<raw_codec_state_t*>(user);
    if (state->raw)
        libraw_close(state->raw);
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
    // LibRaw reads the buffer only; its interface predates const.
    if (libraw_open_buffer(state->raw, const_cast<void*>(file.data), file.num_bytes) != LIBRAW_SUCCESS)
        return false;
    // LibRaw allocates what the file claims for the preview: a claim longer
    // than the file itself cannot be true.
    const libraw_thumbnail_t& claimed = state->raw->thumbnail;
    if (claimed.tlength == 0 || claimed.tlength > file.num_bytes)
        return false;
    int result = libraw_unpack_thumb(state->raw);
    if (result != LIBRAW_SUCCESS)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: RAW preview cannot be read: %s", libraw_strerror(result));
        return false;
    }
    const libraw_thumbnail_t& preview = state->raw->thumbnail;
    if (preview.tformat != LIBRAW_THUMBNAIL_JPEG || !preview.thumb || preview.tlength == 0)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: RAW preview is not a JPEG (preview format %d)",
                   static_cast<int>(preview.tformat));
        return false;
    }
    memory_t jpeg = {preview.thumb, preview.tlength};
    if (!image_codec_read_header(state->jpeg, jpeg, desc))
        return false;
    desc.orientation = raw_orientation(state->raw->sizes.flip);
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

// Raw camera files: LibRaw finds the embedded JPEG preview and the JPEG codec
// decodes it; the raw picture itself is never developed.
//
// LibRaw only says where the preview lies (colour_raw_probe.h: in a reader
// process, since it still crashes on some damaged files). The preview is then
// read straight from the caller's file, which stays alive until the decode as
// for every codec; LibRaw's own unpacking is never used, as some of its paths
// write past their buffers on damaged files.
#include "colour_codec_private.h"
#include "colour_raw_probe.h"

#include "orvo/core/core_log.h"

namespace orvo
{
namespace
{
struct raw_codec_state_t
{
    image_codec_t codec;
    image_codec_t* jpeg;  // the preview's decoder, null until open
    raw_prober_t prober; // its reader runs from the first file to the close
    bool preview_ready;   // the last read_header found a preview to decode
};

bool raw_codec_open(void* user)
{
    raw_codec_state_t* state = static_cast<raw_codec_state_t*>(user);
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
    state->preview_ready = false;
    raw_prober_release(state->prober);
    image_codec_close(state->jpeg);
}

void raw_codec_destroy(void* user)
{
    raw_codec_state_t* state = static_cast<raw_codec_state_t*>(user);
    raw_prober_release(state->prober);
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
    // Whatever happens now, a decode must not go back to the previous file.
    state->preview_ready = false;
    if (!state->jpeg || !file.data)
        return false;
    raw_preview_location_t location;
    if (!raw_prober_find_preview(state->prober, file, location))
        return false;
    memory_t jpeg = {static_cast<const u8*>(file.data) + location.offset, location.length};
    if (!image_codec_read_header(state->jpeg, jpeg, desc))
        return false;
    desc.orientation = raw_orientation(location.flip);
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
    raw_prober_initialise(state->prober);
    image_codec_initialise(state->codec, string_make("RAW"), state, raw_codec_open, raw_codec_close,
                           raw_codec_destroy, raw_codec_read_header, raw_codec_decode);
    return &state->codec;
}
} // namespace orvo

// TIFF codec over libtiff, reading from the caller's bytes through client
// procedures. Every picture is decoded as packed RGBA rows into the target,
// then re-spaced in place when the target's rows are longer. libtiff's
// messages reach our log through per-handle hooks, so instances on different
// threads never share a handler.
#include "colour_codec_private.h"

#include "orvo/core/core_log.h"

#include <cstdio>
#include <cstring>

#include <tiffio.h>

namespace orvo
{
namespace
{
struct tiff_codec_state_t
{
    image_codec_t codec;
    TIFF* tiff;
    memory_t file;
    u64 position;
    image_desc_t header;
    bool header_valid;
};

// libtiff's own buffers (strips, tiles) stay below this, whatever a header
// claims; the picture itself lives in the caller's target.
const tmsize_t TIFF_MAX_SINGLE_ALLOCATION = 256 * 1024 * 1024;

tiff_codec_state_t* state_of(thandle_t handle)
{
    return static_cast<tiff_codec_state_t*>(static_cast<void*>(handle));
}

tmsize_t tiff_read_handler(thandle_t handle, void* destination, tmsize_t n)
{
    tiff_codec_state_t* state = state_of(handle);
    if (n <= 0)
        return 0;
    u64 remaining = state->position < state->file.num_bytes ? state->file.num_bytes - state->position : 0;
    u64 count = static_cast<u64>(n) < remaining ? static_cast<u64>(n) : remaining;
    if (count)
        std::memcpy(destination, static_cast<const u8*>(state->file.data) + state->position, count);
    state->position += count;
    return static_cast<tmsize_t>(count);
}

tmsize_t tiff_write_handler(thandle_t, void*, tmsize_t)
{
    return 0;
}

toff_t tiff_seek_handler(thandle_t handle, toff_t offset, int whence)
{
    tiff_codec_state_t* state = state_of(handle);
    switch (whence)
    {
    case SEEK_SET:
        state->position = offset;
        break;
    case SEEK_CUR:
        state->position += offset;
        break;
    case SEEK_END:
        state->position = state->file.num_bytes + offset;
        break;
    default:
        break;
    }
    return state->position;
}

int tiff_close_handler(thandle_t)
{
    return 0;
}

toff_t tiff_size_handler(thandle_t handle)
{
    return state_of(handle)->file.num_bytes;
}

int tiff_map_handler(thandle_t, void**, toff_t*)
{
    return 0;
}

void tiff_unmap_handler(thandle_t, void*, toff_t)
{
}

int tiff_error_handler(TIFF*, void*, const char* module, const char* format, va_list args)
{
    char message[512];
    std::vsnprintf(message, sizeof(message), format, args);
    log_writef(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: tiff: %s: %s", module ? module : "", message);
    return 1;
}

// Unknown tags and similar notes are common in camera files: verbose only.
int tiff_warning_handler(TIFF*, void*, const char* module, const char* format, va_list args)
{
    if (!log_is_enabled(LOGLEVEL_VERBOSE, LOGMODULE_IMAGE))
        return 1;
    char message[512];
    std::vsnprintf(message, sizeof(message), format, args);
    log_writef(LOGLEVEL_VERBOSE, LOGMODULE_IMAGE, "tiff: %s: %s", module ? module : "", message);
    return 1;
}

void tiff_close(tiff_codec_state_t* state)
{
    if (state->tiff)
        TIFFClose(state->tiff);
    state->tiff = nullptr;
    state->header_valid = false;
}

bool tiff_codec_open(void* user)
{
    tiff_codec_state_t* state = static_cast<tiff_codec_state_t*>(user);
    tiff_close(state);
    state->file = memory_t{nullptr, 0};
    state->position = 0;
    return true;
}

void tiff_codec_close(void* user)
{
    tiff_close(static_cast<tiff_codec_state_t*>(user));
}

void tiff_codec_destroy(void* user)
{
    tiff_codec_close(user);
    heap_free(user, ORVO_HEAP_TAG);
}

bool tiff_codec_read_header(void* user, const memory_t& file, image_desc_t& desc)
{
    tiff_codec_state_t* state = static_cast<tiff_codec_state_t*>(user);
    // Whatever happens now, a decode must not go back to the previous file.
    state->header_valid = false;
    if (image_compute_format(file) != IMAGEFORMAT_TIFF)
        return false;
    tiff_close(state);
    state->file = file;
    state->position = 0;

    TIFFOpenOptions* options = TIFFOpenOptionsAlloc();
    if (!options)
    {
        log_write(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: tiff codec failure");
        return false;
    }
    TIFFOpenOptionsSetMaxSingleMemAlloc(options, TIFF_MAX_SINGLE_ALLOCATION);
    TIFFOpenOptionsSetErrorHandlerExtR(options, tiff_error_handler, state);
    TIFFOpenOptionsSetWarningHandlerExtR(options, tiff_warning_handler, state);
    // "m": no memory mapping, the bytes are already in memory.
    state->tiff = TIFFClientOpenExt("memory", "rm", static_cast<thandle_t>(static_cast<void*>(state)),
                                    tiff_read_handler, tiff_write_handler, tiff_seek_handler, tiff_close_handler,
                                    tiff_size_handler, tiff_map_handler, tiff_unmap_handler, options);
    TIFFOpenOptionsFree(options);
    if (!state->tiff)
        return false;

    uint32_t width = 0, height = 0;
    if (!TIFFGetField(state->tiff, TIFFTAG_IMAGEWIDTH, &width) ||
        !TIFFGetField(state->tiff, TIFFTAG_IMAGELENGTH, &height) || !codec_check_size("tiff", width, height))
    {
        tiff_close(state);
        return false;
    }
    char reason[1024];
    if (!TIFFRGBAImageOK(state->tiff, reason))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: tiff picture cannot be read as RGBA: %s", reason);
        tiff_close(state);
        return false;
    }
    state->header = {static_cast<i32>(width), static_cast<i32>(height), PIXELFORMAT_RGBA8,
                     IMAGEORIENTATION_UNKNOWN};
    state->header_valid = true;
    desc = state->header;
    return true;
}

bool tiff_codec_decode(void* user, pixelbuffer_t& target)
{
    tiff_codec_state_t* state = static_cast<tiff_codec_state_t*>(user);
    if (!state->header_valid || !state->tiff)
    {
        log_write(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: tiff decode without a header");
        return false;
    }
    if (!codec_check_target("tiff", target, state->header))
        return false;
    u32 width = static_cast<u32>(state->header.width);
    u32 height = static_cast<u32>(state->header.height);
    // The target holds row_length x height pixels, at least width x height:
    // room for the packed rows libtiff writes.
    bool ok = TIFFReadRGBAImageOriented(state->tiff, width, height, reinterpret_cast<uint32_t*>(target.data),
                                        ORIENTATION_TOPLEFT, 0) != 0;
    if (ok && static_cast<u32>(target.row_length) != width)
    {
        u64 packed = static_cast<u64>(width) * 4;
        u64 stride = static_cast<u64>(target.row_length) * 4;
        // From the last row up: a row's new place never overlaps a row not yet moved.
        for (u32 y = height; y-- > 1;)
            std::memmove(target.data + y * stride, target.data + y * packed, packed);
    }
    if (!ok)
        log_write(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: tiff decoder error");
    tiff_close(state);
    return ok;
}
} // namespace

image_codec_t* tiff_codec_create()
{
    tiff_codec_state_t* state = static_cast<tiff_codec_state_t*>(codec_allocate(sizeof(tiff_codec_state_t)));
    if (!state)
        return nullptr;
    image_codec_initialise(state->codec, string_make("tiff"), state, tiff_codec_open, tiff_codec_close,
                           tiff_codec_destroy, tiff_codec_read_header, tiff_codec_decode);
    return &state->codec;
}
} // namespace orvo

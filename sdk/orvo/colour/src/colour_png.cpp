// PNG codec over libpng 1.6 reading through a callback from the caller's
// bytes. The pixel format is taken after libpng's transformations (a tRNS
// chunk adds an alpha channel), and the row size libpng will write is checked
// against that format before any row is decoded. 16-bit samples are handed
// over in the machine's byte order. libpng's error hook jumps back to the
// step that called the library (png_jmpbuf).
#include "colour_codec_private.h"

#include "orvo/core/core_log.h"

#include <csetjmp>
#include <cstring>

#include <png.h>

namespace orvo
{
namespace
{
struct png_codec_state_t
{
    image_codec_t codec;
    png_structp png;
    png_infop info;
    u8** rows;     // row pointers, kept between files
    i32 row_capacity;
    memory_t file;
    u64 position;
    bool ok; // cleared by the error hook
    image_desc_t header;
    bool header_valid;
};

void png_error_handler(png_structp png, png_const_charp message)
{
    png_codec_state_t* state = static_cast<png_codec_state_t*>(png_get_error_ptr(png));
    if (state)
        state->ok = false;
    log_writef(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: PNG decoder error: %s", message ? message : "");
    png_longjmp(png, 1);
}

void png_warning_handler(png_structp, png_const_charp message)
{
    log_writef(LOGLEVEL_WARNING, LOGMODULE_IMAGE, "ERROR: PNG decoder warning: %s", message ? message : "");
}

void png_read_handler(png_structp png, png_bytep destination, png_size_t n)
{
    png_codec_state_t* state = static_cast<png_codec_state_t*>(png_get_io_ptr(png));
    if (!state)
        return;
    u64 remaining = state->position < state->file.num_bytes ? state->file.num_bytes - state->position : 0;
    // libpng takes whatever is in the buffer as file data: never hand it
    // fewer bytes than it asked for.
    if (n > remaining)
        png_error(png, "read past the end of the file");
    std::memcpy(destination, static_cast<const u8*>(state->file.data) + state->position, n);
    state->position += n;
}

void png_destroy_structures(png_codec_state_t* state)
{
    if (state->png)
        png_destroy_read_struct(&state->png, state->info ? &state->info : nullptr, nullptr);
    state->png = nullptr;
    state->info = nullptr;
    state->header_valid = false;
}

bool png_codec_open(void* user)
{
    png_codec_state_t* state = static_cast<png_codec_state_t*>(user);
    png_destroy_structures(state);
    heap_free(state->rows, ORVO_HEAP_TAG);
    state->rows = nullptr;
    state->row_capacity = 0;
    state->file = memory_t{nullptr, 0};
    state->position = 0;
    state->ok = true;
    return true;
}

void png_codec_close(void* user)
{
    png_codec_state_t* state = static_cast<png_codec_state_t*>(user);
    png_destroy_structures(state);
    heap_free(state->rows, ORVO_HEAP_TAG);
    state->rows = nullptr;
    state->row_capacity = 0;
}

void png_codec_destroy(void* user)
{
    png_codec_close(user);
    heap_free(user, ORVO_HEAP_TAG);
}

// The format of the rows libpng will deliver after its transformations.
pixelformat_t png_output_format(int channels, int bit_depth)
{
    static const pixelformat_t by_channels[2][4] = {
        {PIXELFORMAT_L8, PIXELFORMAT_LA8, PIXELFORMAT_RGB8, PIXELFORMAT_RGBA8},
        {PIXELFORMAT_L16, PIXELFORMAT_LA16, PIXELFORMAT_RGB16, PIXELFORMAT_RGBA16},
    };
    if (channels < 1 || channels > 4 || (bit_depth != 8 && bit_depth != 16))
        return PIXELFORMAT_INVALID;
    return by_channels[bit_depth == 16 ? 1 : 0][channels - 1];
}

bool png_codec_read_header(void* user, const memory_t& file, image_desc_t& desc)
{
    png_codec_state_t* state = static_cast<png_codec_state_t*>(user);
    // Whatever happens now, a decode must not go back to the previous file.
    state->header_valid = false;
    if (image_compute_format(file) != IMAGEFORMAT_PNG)
        return false;
    png_destroy_structures(state);
    state->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, state, png_error_handler, png_warning_handler);
    state->info = state->png ? png_create_info_struct(state->png) : nullptr;
    if (!state->png || !state->info)
    {
        log_write(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: PNG codec failure");
        png_destroy_structures(state);
        return false;
    }
    state->file = file;
    state->position = 0;
    state->ok = true;
    png_structp png = state->png;
    png_infop info = state->info;
    if (setjmp(png_jmpbuf(png)))
    {
        png_destroy_structures(state);
        return false;
    }
    png_set_read_fn(png, state, png_read_handler);
    png_set_sig_bytes(png, 0);
    // libpng's own limit, so that a lying IHDR stops inside the library.
    png_set_user_limits(png, static_cast<png_uint_32>(IMAGE_MAX_SIDE), static_cast<png_uint_32>(IMAGE_MAX_SIDE));
    png_read_info(png, info);

    png_uint_32 width = 0, height = 0;
    int bit_depth = 0, colour_type = 0;
    if (!png_get_IHDR(png, info, &width, &height, &bit_depth, &colour_type, nullptr, nullptr, nullptr) ||
        !state->ok)
    {
        png_destroy_structures(state);
        return false;
    }
    // Palette and 1-, 2- and 4-bit pictures are not read.
    if (colour_type == PNG_COLOR_TYPE_PALETTE || (bit_depth != 8 && bit_depth != 16))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: PNG colour type %d at %d bits is not supported",
                   colour_type, bit_depth);
        png_destroy_structures(state);
        return false;
    }
    if (!codec_check_size("png", width, height))
    {
        png_destroy_structures(state);
        return false;
    }
    png_set_expand(png);
    png_set_tRNS_to_alpha(png);
    if (bit_depth == 16)
    {
        const u16 probe = 1;
        u8 low_first;
        std::memcpy(&low_first, &probe, 1);
        if (low_first)
            png_set_swap(png);
    }
    png_set_interlace_handling(png);
    png_read_update_info(png, info);

    pixelformat_t format = png_output_format(png_get_channels(png, info), png_get_bit_depth(png, info));
    u64 row_bytes = png_get_rowbytes(png, info);
    if (format == PIXELFORMAT_INVALID || row_bytes != static_cast<u64>(width) * pixelformat_bytes_per_pixel(format))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_IMAGE,
                   "ERROR: PNG rows of %llu bytes for %u pixels match no pixel format (%d channels, %d bits)",
                   static_cast<unsigned long long>(row_bytes), width, png_get_channels(png, info),
                   png_get_bit_depth(png, info));
        png_destroy_structures(state);
        return false;
    }
    state->header = {static_cast<i32>(width), static_cast<i32>(height), format, IMAGEORIENTATION_UNKNOWN};
    state->header_valid = true;
    desc = state->header;
    return true;
}

bool png_codec_decode(void* user, pixelbuffer_t& target)
{
    png_codec_state_t* state = static_cast<png_codec_state_t*>(user);
    if (!state->header_valid || !state->png)
    {
        log_write(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: PNG decode without a header");
        return false;
    }
    if (!codec_check_target("png", target, state->header))
        return false;
    i32 height = state->header.height;
    if (state->row_capacity < height)
    {
        heap_free(state->rows, ORVO_HEAP_TAG);
        state->row_capacity = 0;
        state->rows = static_cast<u8**>(heap_alloc(sizeof(u8*) * static_cast<u64>(height), 16, ORVO_HEAP_TAG));
        if (!state->rows)
        {
            png_destroy_structures(state);
            return false;
        }
        state->row_capacity = height;
    }
    u64 stride = static_cast<u64>(target.row_length) * pixelformat_bytes_per_pixel(target.format);
    for (i32 y = 0; y < height; ++y)
        state->rows[y] = target.data + static_cast<u64>(y) * stride;

    state->ok = true;
    if (setjmp(png_jmpbuf(state->png)))
    {
        png_destroy_structures(state);
        return false;
    }
    png_read_image(state->png, state->rows);
    bool ok = state->ok;
    png_destroy_structures(state);
    return ok;
}
} // namespace

image_codec_t* png_codec_create()
{
    png_codec_state_t* state = static_cast<png_codec_state_t*>(codec_allocate(sizeof(png_codec_state_t)));
    if (!state)
        return nullptr;
    image_codec_initialise(state->codec, string_make("png"), state, png_codec_open, png_codec_close,
                           png_codec_destroy, png_codec_read_header, png_codec_decode);
    return &state->codec;
}
} // namespace orvo

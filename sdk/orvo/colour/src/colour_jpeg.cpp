// JPEG codec over libjpeg-turbo reading straight from the caller's bytes.
// libjpeg's fatal-error hook must not return, so it jumps back (longjmp) to
// the codec step that called the library; the steps keep no object with a
// destructor alive across library calls, so the jump skips nothing.
#include "colour_codec_private.h"

#include "orvo/core/core_log.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>
#include <jerror.h>

namespace orvo
{
namespace
{
struct jpeg_codec_state_t
{
    image_codec_t codec;
    bool ok; // cleared by the fatal-error hook
    jpeg_error_mgr error;
    jpeg_decompress_struct decompressor;
    bool created;   // the decompressor exists
    bool truncated; // the data ran out before the picture did
    void (*standard_emit)(j_common_ptr, int);
    jmp_buf jump; // where the fatal-error hook returns to
    image_desc_t header;
    bool header_valid; // a header was read and not yet decoded
};

const int ROWS_PER_READ = 16;
// Enough for the coefficients of a progressive picture at the size limit.
const long JPEG_MAX_MEMORY = 1024L * 1024 * 1024;

jpeg_codec_state_t* state_of(j_common_ptr info)
{
    return static_cast<jpeg_codec_state_t*>(info->client_data);
}

void jpeg_error_handler(j_common_ptr info)
{
    char message[JMSG_LENGTH_MAX];
    info->err->format_message(info, message);
    log_writef(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: JPEG decoder error: %s", message);
    jpeg_codec_state_t* state = state_of(info);
    if (state)
    {
        state->ok = false;
        std::longjmp(state->jump, 1);
    }
    // Without its codec the library cannot be left safely.
    std::abort();
}

void jpeg_message_handler(j_common_ptr info)
{
    char message[200];
    info->err->format_message(info, message);
    log_writef(LOGLEVEL_INFO, LOGMODULE_IMAGE, "JPEG: %s", message);
}

// Warnings pass through the standard handler; running out of data is noted,
// since libjpeg then fills the rest of the picture with grey and carries on.
void jpeg_emit_handler(j_common_ptr info, int level)
{
    jpeg_codec_state_t* state = state_of(info);
    if (state)
    {
        if (level < 0 && info->err->msg_code == JWRN_JPEG_EOF)
            state->truncated = true;
        state->standard_emit(info, level);
    }
}

bool jpeg_codec_open(void* user)
{
    jpeg_codec_state_t* state = static_cast<jpeg_codec_state_t*>(user);
    if (state->created)
        return true;
    state->ok = true;
    state->decompressor.err = jpeg_std_error(&state->error);
    state->error.error_exit = jpeg_error_handler;
    state->error.output_message = jpeg_message_handler;
    state->standard_emit = state->error.emit_message;
    state->error.emit_message = jpeg_emit_handler;
    // Set before creation, so that an error inside it finds the codec;
    // jpeg_CreateDecompress keeps err and client_data.
    state->decompressor.client_data = state;
    if (setjmp(state->jump))
        return false;
    jpeg_CreateDecompress(&state->decompressor, JPEG_LIB_VERSION, sizeof(state->decompressor));
    // A progressive file keeps every coefficient of the picture in memory,
    // and a few hundred bytes can claim 250 megapixels of them: past this
    // libjpeg fails cleanly (it has no backing store) instead of allocating.
    state->decompressor.mem->max_memory_to_use = JPEG_MAX_MEMORY;
    state->created = true;
    return true;
}

void jpeg_codec_close(void* user)
{
    jpeg_codec_state_t* state = static_cast<jpeg_codec_state_t*>(user);
    if (state->created)
        jpeg_destroy_decompress(&state->decompressor);
    state->created = false;
    state->header_valid = false;
}

void jpeg_codec_destroy(void* user)
{
    jpeg_codec_close(user);
    heap_free(user, ORVO_HEAP_TAG);
}

bool jpeg_codec_read_header(void* user, const memory_t& file, image_desc_t& desc)
{
    jpeg_codec_state_t* state = static_cast<jpeg_codec_state_t*>(user);
    // Whatever happens now, a decode must not go back to the previous file.
    state->header_valid = false;
    if (image_compute_format(file) != IMAGEFORMAT_JPEG || !state->created)
        return false;
    if (setjmp(state->jump))
    {
        jpeg_abort_decompress(&state->decompressor);
        return false;
    }
    jpeg_abort_decompress(&state->decompressor);
    state->ok = true;
    state->truncated = false;
    jpeg_mem_src(&state->decompressor, static_cast<const unsigned char*>(file.data), file.num_bytes);
    if (!state->ok)
        return false;
    int result = jpeg_read_header(&state->decompressor, FALSE);
    if (result != JPEG_HEADER_OK || !state->ok)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: JPEG decoder error: no picture in %llu bytes",
                   static_cast<unsigned long long>(file.num_bytes));
        jpeg_abort_decompress(&state->decompressor);
        return false;
    }
    i64 width = state->decompressor.image_width;
    i64 height = state->decompressor.image_height;
    if (!codec_check_size("JPEG", width, height))
    {
        jpeg_abort_decompress(&state->decompressor);
        return false;
    }
    state->header = {static_cast<i32>(width), static_cast<i32>(height), PIXELFORMAT_RGB8,
                     IMAGEORIENTATION_UNKNOWN};
    state->header_valid = true;
    desc = state->header;
    return true;
}

bool jpeg_codec_decode(void* user, pixelbuffer_t& target)
{
    jpeg_codec_state_t* state = static_cast<jpeg_codec_state_t*>(user);
    if (!state->header_valid)
    {
        log_write(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: JPEG decode without a header");
        return false;
    }
    if (!codec_check_target("JPEG", target, state->header))
        return false;
    state->header_valid = false;
    jpeg_decompress_struct& d = state->decompressor;
    if (setjmp(state->jump))
    {
        jpeg_abort_decompress(&d);
        return false;
    }
    state->ok = true;
    d.out_color_space = JCS_RGB;
    if (!jpeg_start_decompress(&d) || !state->ok || d.output_components != 3 ||
        static_cast<i64>(d.output_width) != target.width || static_cast<i64>(d.output_height) != target.height)
    {
        jpeg_abort_decompress(&d);
        return false;
    }
    u64 stride = static_cast<u64>(target.row_length) * 3;
    while (d.output_scanline < d.output_height)
    {
        JSAMPROW rows[ROWS_PER_READ];
        JDIMENSION wanted = d.output_height - d.output_scanline;
        if (wanted > ROWS_PER_READ)
            wanted = ROWS_PER_READ;
        for (JDIMENSION i = 0; i < wanted; ++i)
            rows[i] = target.data + (static_cast<u64>(d.output_scanline) + i) * stride;
        JDIMENSION read = jpeg_read_scanlines(&d, rows, wanted);
        if (read == 0 || !state->ok)
        {
            jpeg_abort_decompress(&d);
            return false;
        }
    }
    if (state->truncated)
    {
        log_write(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "ERROR: JPEG decoder error: the data ends inside the picture");
        jpeg_abort_decompress(&d);
        return false;
    }
    bool finished = jpeg_finish_decompress(&d);
    return finished && state->ok && !state->truncated;
}
} // namespace

image_codec_t* jpeg_codec_create()
{
    jpeg_codec_state_t* state = static_cast<jpeg_codec_state_t*>(codec_allocate(sizeof(jpeg_codec_state_t)));
    if (!state)
        return nullptr;
    image_codec_initialise(state->codec, string_make("JPEG"), state, jpeg_codec_open, jpeg_codec_close,
                           jpeg_codec_destroy, jpeg_codec_read_header, jpeg_codec_decode);
    return &state->codec;
}
} // namespace orvo

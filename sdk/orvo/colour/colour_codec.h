// Image codecs: a codec turns the bytes of a picture file held in memory into
// pixels. Each is a record of plain function pointers with a user pointer,
// made by a factory; four exist: JPEG (libjpeg-turbo), PNG (libpng), raw
// camera files (LibRaw finds the embedded JPEG preview, which the JPEG codec
// decodes) and TIFF (libtiff). A codec never reads files, never allocates the
// caller's pixels and keeps no decoded picture.
//
// Calling order: factory, open, any number of (read_header, decode) pairs,
// close, destroy. The caller sizes a pixel buffer from the header (format,
// width, height; row length may be longer) and hands it to decode; a codec
// instance serves one thread at a time, separate instances run side by side.
#pragma once

#include "orvo/colour/colour_pixelbuffer.h"

namespace orvo
{
struct image_codec_t
{
    string_t name; // "JPEG", "png", "RAW", "tiff"; a view, not copied
    void* user;    // first argument of every function; the codec's own record
    bool (*open)(void* user);    // may be null
    void (*close)(void* user);   // may be null
    void (*destroy)(void* user); // frees the record; may be null
    // False with no log line when the bytes are not this codec's format, so
    // the next codec can be tried; false with a logged cause for a damaged or
    // oversized picture. The bytes must stay alive until the matching decode.
    bool (*read_header)(void* user, const memory_t& file, image_desc_t& desc);
    // Writes the picture of the last read_header into the target, which must
    // have that format, width and height, a row length of at least the width
    // and storage for row length x height pixels (a target that does not is
    // refused). False, with the cause logged, when the picture is damaged.
    bool (*decode)(void* user, pixelbuffer_t& target);
};

// How the image cache names a codec: by its factory.
typedef image_codec_t* (*image_codec_factory_t)();

void image_codec_initialise(image_codec_t& codec, const string_t& name, void* user, bool (*open)(void*),
                            void (*close)(void*), void (*destroy)(void*),
                            bool (*read_header)(void*, const memory_t&, image_desc_t&),
                            bool (*decode)(void*, pixelbuffer_t&));
void image_codec_release(image_codec_t& codec);

// Dispatchers over a codec's functions; a null codec behaves like one whose
// functions are all null.
bool image_codec_open(image_codec_t* codec); // true when open is null
void image_codec_close(image_codec_t* codec);
void image_codec_destroy(image_codec_t* codec);
// False when the file has no bytes or read_header is null.
bool image_codec_read_header(image_codec_t* codec, const memory_t& file, image_desc_t& desc);
bool image_codec_decode(image_codec_t* codec, pixelbuffer_t& target);

// Factories: a new codec, not yet opened, freed by image_codec_destroy; null
// after logging "FATAL ERROR failed to allocate N bytes".
image_codec_t* jpeg_codec_create();
image_codec_t* png_codec_create();
image_codec_t* raw_codec_create();
image_codec_t* tiff_codec_create();
} // namespace orvo

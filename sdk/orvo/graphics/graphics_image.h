// The image cache: decoded pictures (image_t) keyed by file path and
// modification time, each with a reference count, and the codecs registered
// to decode them. Loading reads the file, lets the codecs try it in
// registration order, fixes the orientation, computes the histogram and makes
// up to three thumbnails. The manager runs only on the "LOAD" thread inside
// the image server (graphics_imageservice.h). A picture is written before its
// first answer is sent and only read afterwards; the cache alone frees it.
// It lives beside the texture grids it is made of: the picture and its
// thumbnails are grids whose OpenGL copies go to the dispose lists when the
// picture is released.
#pragma once

#include "orvo/colour/colour_codec.h"
#include "orvo/core/core_hashtable.h"
#include "orvo/core/core_stringid.h"
#include "orvo/graphics/graphics_texture.h"

namespace orvo
{
const int IMAGE_NUM_THUMBNAILS = 3;
// Thumbnail levels: the longer side of each, smallest first.
extern const i32 image_thumbnail_levels[IMAGE_NUM_THUMBNAILS];
const u64 IMAGE_CACHE_BUCKETS = 100;
const u64 IMAGE_CODECS_CAPACITY = 4;

struct image_t
{
    stringid_t key;     // path, ':', modification time in seconds
    stringid_t name;    // the file name with its extension
    stringid_t path;    // the path the picture was loaded from
    u64 timestamp;      // modification time, seconds since 1970, when read
    imageformat_t format;          // IMAGEFORMAT_UNKNOWN: the cache does not set it
    imageorientation_t orientation; // IMAGEORIENTATION_UNKNOWN until set
    TextureGrid picture;            // the whole picture in the codec's format
    TextureGrid thumbnails[IMAGE_NUM_THUMBNAILS]; // 64, 256, 1024
    i32 num_thumbnails;             // how many, from the first, hold a picture
    histogram_t histogram;
};

struct image_manager_codec_t
{
    i32 count;                     // registrations
    image_codec_t* codec;          // owned, opened
    image_codec_factory_t factory; // the codec's identity
};

struct image_manager_entry_t
{
    image_t* image; // owned
    i32 count;
};

// Entries are found by the address of the picture's interned key.
template <>
struct container_traits<image_manager_entry_t>
{
    typedef const char* key_type;
    static key_type key(const image_manager_entry_t& entry) { return entry.image->key.str; }
    static int compare(key_type a, key_type b)
    {
        uintptr_t x = reinterpret_cast<uintptr_t>(a);
        uintptr_t y = reinterpret_cast<uintptr_t>(b);
        return x < y ? -1 : (x > y ? 1 : 0);
    }
    static u64 hash(key_type key) { return static_cast<u32>(reinterpret_cast<uintptr_t>(key)) >> 2; }
};

struct image_manager_t
{
    vector_t<image_manager_codec_t> codecs; // registration order
    hashtable_t<image_manager_entry_t> cache;
};

// --- the picture record ----------------------------------------------------------
void image_initialise(image_t& image);
// Releases the ids and the four grids (their OpenGL copies to the dispose lists).
void image_release(image_t& image);

// --- thumbnails ------------------------------------------------------------------------
// The size of a thumbnail of level L for a w x h picture: the aspect ratio
// kept with the longer side L, each side at least 1 (a picture wider than
// L:1 still gets a row). False when the picture is smaller than L either way.
bool image_compute_thumbnail_size(i32 width, i32 height, i32 level, i32& thumb_width, i32& thumb_height);
// Makes the thumbnails of a decoded picture, stopping at the first level the
// picture is smaller than; returns how many were made.
i32 image_create_thumbnails(image_t& image);

// --- the manager (the "LOAD" thread only) -----------------------------------------
bool image_manager_initialise(image_manager_t& manager);
// Frees every cached picture whatever its count, then closes and destroys
// every codec. Safe twice.
void image_manager_release(image_manager_t& manager);
// Counted: a factory registered again only counts; false (logged) when the
// codec cannot be made or opened.
bool image_manager_register(image_manager_t& manager, image_codec_factory_t factory);
// The last unregister closes and destroys the codec; an unknown factory is ignored.
void image_manager_unregister(image_manager_t& manager, image_codec_factory_t factory);
// The picture of that file as it is now: cached and counted, or read and
// decoded. Null for a missing path or a folder (no log line) and when no
// codec decodes it ("Failed to decode image").
image_t* image_manager_load(image_manager_t& manager, const string_t& path);
// The pipeline after the file is read: the codecs in order (header, size
// check, grid, decode), orientation, histogram and thumbnails, each step
// logged. False, with "Failed to decode image" and the picture grid
// released, when no codec decodes the bytes. The path only names the file.
bool image_manager_decode(image_manager_t& manager, image_t& image, const memory_t& file, const string_t& path);
// Drops one reference; the last frees the picture. A pointer that is not a
// live picture of this cache is logged and ignored without being read.
void image_manager_unload(image_manager_t& manager, const image_t* image);
// The count of a live picture of this cache, 0 for anything else.
i32 image_manager_count(image_manager_t& manager, const image_t* image);
u64 image_manager_num_images(const image_manager_t& manager);
// Registrations of a factory (0 when not registered).
i32 image_manager_codec_count(const image_manager_t& manager, image_codec_factory_t factory);
} // namespace orvo

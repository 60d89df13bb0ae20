// The image cache: codec registry, the load pipeline (read, size check,
// decode, orientation, histogram, thumbnails) and the counted cache of
// decoded pictures; see graphics_image.h.
#include "orvo/graphics/graphics_image.h"

#include "orvo/core/core_file.h"
#include "orvo/core/core_log.h"
#include "orvo/core/core_time.h"

#include <algorithm>
#include <cinttypes>
#include <cstring>
#include <new>

#include <sys/mman.h>

namespace orvo
{
const i32 image_thumbnail_levels[IMAGE_NUM_THUMBNAILS] = {64, 256, 1024};

namespace
{
// The entry holding this picture pointer, found without reading the
// pointee: a stale pointer from a client must never be dereferenced.
image_manager_entry_t* find_entry_by_pointer(image_manager_t& manager, const image_t* image)
{
    if (!image)
        return nullptr;
    for (u64 b = 0; b < manager.cache.buckets.count; ++b)
    {
        vector_t<image_manager_entry_t>& bucket = manager.cache.buckets.data[b];
        for (u64 i = 0; i < bucket.count; ++i)
            if (bucket.data[i].image == image)
                return &bucket.data[i];
    }
    return nullptr;
}

i64 find_codec(const image_manager_t& manager, image_codec_factory_t factory)
{
    for (u64 i = 0; i < manager.codecs.count; ++i)
        if (manager.codecs.data[i].factory == factory)
            return static_cast<i64>(i);
    return -1;
}

// A picture is tens of megabytes of fresh memory whose every 4 KiB page is
// faulted in as the decoder first writes it, which on a virtual machine costs
// several times the decode. Huge pages cut those faults 512-fold. Only a
// hint: where the kernel refuses it nothing changes.
void advise_huge_pages(const pixelbuffer_t& buffer)
{
    const uintptr_t huge = uintptr_t(2) << 20;
    if (!buffer.data || buffer.capacity < 2 * huge)
        return;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(buffer.data) + huge - 1) & ~(huge - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(buffer.data) + buffer.capacity) & ~(huge - 1);
    if (end > begin)
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

void destroy_image(image_t* image)
{
    image_release(*image);
    delete image;
}

void raise_revisions(TextureGrid& grid)
{
    for (u64 i = 0; i < grid.cells.count; ++i)
        if (grid.cells.data[i].texture)
            ++grid.cells.data[i].texture->revision;
}

// The last path component.
string_t file_name_of(const string_t& path)
{
    u64 start = 0;
    for (u64 i = 0; i < path.length; ++i)
        if (path.str[i] == '/')
            start = i + 1;
    return string_make(path.str + start, path.length - start);
}

// Tries one codec on the file's bytes: header, size check, grid, decode.
// The cells' revisions move whatever the decode gave, so the device never
// keeps a copy of pixels that were overwritten.
bool decode_with(image_codec_t* codec, const memory_t& file, const string_t& path, image_t& image,
                 image_desc_t& desc)
{
    desc = {0, 0, PIXELFORMAT_INVALID, IMAGEORIENTATION_UNKNOWN};
    if (!file.data || !image_codec_read_header(codec, file, desc))
        return false;
    if (!image_size_is_valid(desc.width, desc.height) || !pixelformat_is_valid(desc.format))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "Image header refused by %s: %dx%d format 0x%x: %.*s",
                   codec->name.str, desc.width, desc.height, static_cast<unsigned>(desc.format),
                   static_cast<int>(path.length), path.str);
        return false;
    }
    if (!image.picture.Initialise(desc.format, desc.width, desc.height) || !image.picture.picture.data)
        return false;
    advise_huge_pages(image.picture.padded);
    // The grid's picture view counts its bytes up to the last pixel of the
    // last row, but codecs write whole rows of row length; the padded buffer
    // behind the view always has room for them.
    pixelbuffer_t target = image.picture.picture;
    const u64 rows_size = pixelbuffer_compute_size(target.format, target.row_length, target.height);
    if (rows_size == 0 || rows_size > image.picture.padded.capacity)
        return false;
    target.size = rows_size;
    target.capacity = rows_size;
    bool decoded = image_codec_decode(codec, target);
    raise_revisions(image.picture);
    return decoded;
}
} // namespace

void image_initialise(image_t& image)
{
    image.key = {empty_str};
    image.name = {empty_str};
    image.path = {empty_str};
    image.timestamp = 0;
    image.format = IMAGEFORMAT_UNKNOWN;
    image.orientation = IMAGEORIENTATION_UNKNOWN;
    image.num_thumbnails = 0;
    histogram_clear(image.histogram);
}

void image_release(image_t& image)
{
    stringid_release(image.key);
    stringid_release(image.name);
    stringid_release(image.path);
    image.picture.Release();
    for (int i = 0; i < IMAGE_NUM_THUMBNAILS; ++i)
        image.thumbnails[i].Release();
    image.num_thumbnails = 0;
}

bool image_compute_thumbnail_size(i32 width, i32 height, i32 level, i32& thumb_width, i32& thumb_height)
{
    thumb_width = 0;
    thumb_height = 0;
    if (width < level || height < level || level < 1)
        return false;
    const float w = static_cast<float>(width);
    const float h = static_cast<float>(height);
    const float l = static_cast<float>(level);
    if (width == height)
    {
        thumb_width = level;
        thumb_height = level;
    }
    else if (width > height)
    {
        thumb_width = level;
        thumb_height = static_cast<i32>(h * l / w);
    }
    else
    {
        thumb_width = static_cast<i32>(w * l / h);
        thumb_height = level;
    }
    // Past 64:1 the shorter side truncates to 0, and a grid of no rows
    // cannot be made: keep one.
    thumb_width = std::max(thumb_width, 1);
    thumb_height = std::max(thumb_height, 1);
    return true;
}

i32 image_create_thumbnails(image_t& image)
{
    const pixelbuffer_t& source = image.picture.picture;
    const u32 bpp = pixelformat_bytes_per_pixel(source.format);
    image.num_thumbnails = 0;
    int level = 0;
    for (; level < IMAGE_NUM_THUMBNAILS; ++level)
    {
        i32 tw = 0;
        i32 th = 0;
        if (!source.data || bpp == 0 ||
            !image_compute_thumbnail_size(source.width, source.height, image_thumbnail_levels[level], tw, th))
            break;
        TextureGrid& grid = image.thumbnails[level];
        if (!grid.Initialise(source.format, tw, th) || !grid.picture.data)
            break;
        const pixelbuffer_t& target = grid.picture;
        const float row_factor = static_cast<float>(source.height) / static_cast<float>(th);
        const float column_factor = static_cast<float>(source.width) / static_cast<float>(tw);
        for (i32 k = 0; k < th; ++k)
        {
            const i32 sy = std::min(static_cast<i32>(static_cast<float>(k) * row_factor), source.height - 1);
            const u8* source_row = source.data + static_cast<u64>(sy) * source.row_length * bpp;
            u8* target_row = target.data + static_cast<u64>(k) * target.row_length * bpp;
            for (i32 l = 0; l < tw; ++l)
            {
                const i32 sx = std::min(static_cast<i32>(static_cast<float>(l) * column_factor), source.width - 1);
                memcpy(target_row + static_cast<u64>(l) * bpp, source_row + static_cast<u64>(sx) * bpp, bpp);
            }
        }
        raise_revisions(grid);
        ++image.num_thumbnails;
    }
    if (level < IMAGE_NUM_THUMBNAILS)
        image.thumbnails[level].Release();
    return image.num_thumbnails;
}

bool image_manager_initialise(image_manager_t& manager)
{
    vector_initialise(manager.codecs, IMAGE_CODECS_CAPACITY, false);
    if (!hashtable_initialise(manager.cache, IMAGE_CACHE_BUCKETS))
        log_write(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "Failed to create image cache");
    return true;
}

void image_manager_release(image_manager_t& manager)
{
    for (u64 b = 0; b < manager.cache.buckets.count; ++b)
    {
        vector_t<image_manager_entry_t>& bucket = manager.cache.buckets.data[b];
        for (u64 i = 0; i < bucket.count; ++i)
            destroy_image(bucket.data[i].image);
        bucket.count = 0;
    }
    hashtable_release(manager.cache);
    for (u64 i = 0; i < manager.codecs.count; ++i)
    {
        image_codec_close(manager.codecs.data[i].codec);
        image_codec_destroy(manager.codecs.data[i].codec);
    }
    vector_release(manager.codecs);
}

bool image_manager_register(image_manager_t& manager, image_codec_factory_t factory)
{
    if (!factory)
        return false;
    const i64 index = find_codec(manager, factory);
    if (index >= 0)
    {
        image_manager_codec_t& entry = manager.codecs.data[index];
        ++entry.count;
        log_writef(LOGLEVEL_VERBOSE, LOGMODULE_IMAGE, "Image codec already registered: %s", entry.codec->name.str);
        return true;
    }
    image_codec_t* codec = factory();
    if (!codec)
    {
        log_write(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "Failed to create image codec");
        return false;
    }
    if (image_codec_open(codec))
    {
        image_manager_codec_t entry = {1, codec, factory};
        if (vector_insert(manager.codecs, entry))
        {
            log_writef(LOGLEVEL_INFO, LOGMODULE_IMAGE, "Registered image codec: %s", codec->name.str);
            return true;
        }
    }
    log_write(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "Failed to register image codec");
    image_codec_close(codec);
    image_codec_destroy(codec);
    return false;
}

void image_manager_unregister(image_manager_t& manager, image_codec_factory_t factory)
{
    const i64 index = find_codec(manager, factory);
    if (index < 0)
        return;
    image_manager_codec_t& entry = manager.codecs.data[index];
    if (--entry.count > 0)
        return;
    log_writef(LOGLEVEL_VERBOSE, LOGMODULE_IMAGE, "Unregistering image codec: %s", entry.codec->name.str);
    image_codec_close(entry.codec);
    image_codec_destroy(entry.codec);
    vector_remove(manager.codecs, static_cast<u64>(index));
}

bool image_manager_decode(image_manager_t& manager, image_t& image, const memory_t& bytes, const string_t& path)
{
    timer_t timer;
    timer_start(timer);
    image_codec_t* used = nullptr;
    image_desc_t desc = {0, 0, PIXELFORMAT_INVALID, IMAGEORIENTATION_UNKNOWN};
    for (u64 i = 0; bytes.data && i < manager.codecs.count && !used; ++i)
        if (decode_with(manager.codecs.data[i].codec, bytes, path, image, desc))
            used = manager.codecs.data[i].codec;
    if (!used)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "Failed to decode image: %.*s", static_cast<int>(path.length),
                   path.str);
        image.picture.Release();
        return false;
    }
    image.orientation = desc.orientation;
    if (image.orientation == IMAGEORIENTATION_UNKNOWN)
        image.orientation = image_compute_orientation(bytes);
    histogram_compute(image.histogram, image.picture.picture);
    log_writef(LOGLEVEL_INFO, LOGMODULE_IMAGE, "Decoded %s %dx%d image in %.2f ms: %.*s", used->name.str,
               desc.width, desc.height, time_compute_unitsf(timer_elapsed(timer), TIMEUNIT_MILLISECONDS),
               static_cast<int>(path.length), path.str);

    timer_start(timer);
    const i32 thumbnails = image_create_thumbnails(image);
    if (thumbnails > 0)
        log_writef(LOGLEVEL_INFO, LOGMODULE_IMAGE, "Created %d thumbnails in %.2f ms: %.*s", thumbnails,
                   time_compute_unitsf(timer_elapsed(timer), TIMEUNIT_MILLISECONDS), static_cast<int>(path.length),
                   path.str);
    return true;
}

image_t* image_manager_load(image_manager_t& manager, const string_t& path)
{
    pathinfo_t info;
    path_getinfo(path, info);
    if (!info.exists || info.is_directory)
        return nullptr;

    stringbuffer_t text;
    stringbuffer_initialise(text);
    stringbuffer_format(text, "%.*s:%" PRIu64, static_cast<int>(path.length), path.str, info.timestamp);
    stringid_t key = {empty_str};
    stringid_resolve(key, text);
    stringbuffer_release(text);
    if (image_manager_entry_t* entry = hashtable_find(manager.cache, key.str))
    {
        ++entry->count;
        log_writef(LOGLEVEL_VERBOSE, LOGMODULE_IMAGE, "Image retrieved from cache: %.*s",
                   static_cast<int>(path.length), path.str);
        stringid_release(key);
        return entry->image;
    }

    image_t* image = new (std::nothrow) image_t;
    if (!image)
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_GENERAL, "FATAL ERROR failed to allocate %d bytes",
                   static_cast<int>(sizeof(image_t)));
        stringid_release(key);
        return nullptr;
    }
    image_initialise(*image);
    image->key = key; // the lookup's reference passes to the picture
    stringid_resolve(image->path, path);
    stringid_resolve(image->name, file_name_of(path));
    filecontents_t file;
    filecontents_initialise(file);
    const bool read = filecontents_load(file, path);
    const memory_t bytes = {file.buffer.data, file.buffer.num_bytes};
    if (read)
    {
        const u64 payload = image_compute_payload(bytes);
        if (payload != 0 && payload < bytes.num_bytes)
            log_writef(LOGLEVEL_VERBOSE, LOGMODULE_IMAGE,
                       "Image file contains unused data after payload: %llu (expected %llu)",
                       static_cast<unsigned long long>(bytes.num_bytes), static_cast<unsigned long long>(payload));
    }

    const bool decoded = image_manager_decode(manager, *image, read ? bytes : memory_t{nullptr, 0}, path);
    if (decoded)
        image->timestamp = file.timestamp;
    filecontents_release(file);
    if (!decoded)
    {
        destroy_image(image);
        return nullptr;
    }

    image_manager_entry_t entry = {image, 1};
    if (!hashtable_insert(manager.cache, entry))
    {
        log_writef(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "Failed to add image to cache: %.*s",
                   static_cast<int>(path.length), path.str);
        destroy_image(image);
        return nullptr;
    }
    log_writef(LOGLEVEL_VERBOSE, LOGMODULE_IMAGE, "Image added to cache: %.*s", static_cast<int>(path.length),
               path.str);
    return image;
}

void image_manager_unload(image_manager_t& manager, const image_t* image)
{
    image_manager_entry_t* entry = find_entry_by_pointer(manager, image);
    if (!entry)
    {
        // The record may be freed already: only its address can be named.
        log_writef(LOGLEVEL_ERROR, LOGMODULE_IMAGE, "Unloaded image does not exist in cache: %p",
                   static_cast<const void*>(image));
        return;
    }
    if (entry->count-- > 1)
        return;
    image_t* removed = entry->image;
    hashtable_remove(manager.cache, removed->key.str);
    log_writef(LOGLEVEL_VERBOSE, LOGMODULE_IMAGE, "Image removed from cache: %s", removed->path.str);
    destroy_image(removed);
}

i32 image_manager_count(image_manager_t& manager, const image_t* image)
{
    image_manager_entry_t* entry = find_entry_by_pointer(manager, image);
    return entry ? entry->count : 0;
}

u64 image_manager_num_images(const image_manager_t& manager)
{
    return manager.cache.num_entries;
}

i32 image_manager_codec_count(const image_manager_t& manager, image_codec_factory_t factory)
{
    const i64 index = find_codec(manager, factory);
    return index < 0 ? 0 : manager.codecs.data[index].count;
}
} // namespace orvo

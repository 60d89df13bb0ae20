// Arbitrary bytes through the whole picture load of the image cache: every
// codec in the displays' order (JPEG, RAW, PNG, TIFF) reads the header, the
// size check runs, the texture grid is allocated, the picture decoded, its
// orientation, histogram and thumbnails made, then everything released.
// Grids above 64 MiB are refused by the allocator, as a machine without the
// memory would refuse them, so the fuzzer explores the failure path too.
#include "orvo/core/core_log.h"
#include "orvo/core/core_memory.h"
#include "orvo/graphics/graphics_image.h"

#include <cstdlib>
#include <cstring>
#include <vector>

using namespace orvo;

namespace
{
void discard(const string_t&, void*)
{
}

const u64 kLargestBlock = 64ull << 20;

void* allocate(u64 size, void*)
{
    return size > kLargestBlock ? nullptr : malloc(size);
}

void release(void* pointer, void*)
{
    free(pointer);
}

const heap_allocator_t kLimitedHeap = {allocate, release, nullptr, nullptr};

image_manager_t& manager()
{
    static image_manager_t m = [] {
        log_open();
        log_set_handler(discard, nullptr);
        heap_set_allocator(&kLimitedHeap);
        image_manager_t made;
        image_manager_initialise(made);
        image_manager_register(made, jpeg_codec_create);
        image_manager_register(made, raw_codec_create);
        image_manager_register(made, png_codec_create);
        image_manager_register(made, tiff_codec_create);
        return made;
    }();
    return m;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    image_manager_t& m = manager();
    // Exactly size bytes: a read past the end is an AddressSanitizer report.
    std::vector<u8> bytes(data, data + size);
    const memory_t file = {size ? bytes.data() : nullptr, size};

    image_t* image = new image_t;
    image_initialise(*image);
    const bool decoded = image_manager_decode(m, *image, file, string_make("fuzz"));
    const pixelbuffer_t& picture = image->picture.picture;
    if (decoded)
    {
        if (!picture.data || !image_size_is_valid(picture.width, picture.height))
            __builtin_trap();
        if (image->num_thumbnails < 0 || image->num_thumbnails > IMAGE_NUM_THUMBNAILS)
            __builtin_trap();
        for (int i = 0; i < image->num_thumbnails; ++i)
        {
            const pixelbuffer_t& thumb = image->thumbnails[i].picture;
            if (!thumb.data || thumb.width < 1 || thumb.height < 1 || thumb.width > image_thumbnail_levels[i] ||
                thumb.height > image_thumbnail_levels[i])
                __builtin_trap();
        }
    }
    else if (picture.data)
        __builtin_trap(); // a failed load keeps no picture
    image_release(*image);
    delete image;
    return 0;
}

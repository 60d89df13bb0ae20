// The RGB histogram of a picture: 256 float bins per channel with their
// maxima, and an (object id, generation) pair that names one state so that
// consumers such as histogram meshes rebuild only when it moved. Plain record,
// no locks, no allocation.
#pragma once

#include "orvo/colour/colour_pixelbuffer.h"

namespace orvo
{
enum histogram_channel_index_t : u32
{
    HISTOGRAM_RED = 0,
    HISTOGRAM_GREEN = 1,
    HISTOGRAM_BLUE = 2,
};

const u32 HISTOGRAM_BINS = 256;

struct histogram_channel_t
{
    float maximum;               // the largest bin
    float bins[HISTOGRAM_BINS]; // pixel counts per 8-bit value
};

struct histogram_t
{
    float maximum;  // the largest of the three channel maxima
    i32 object_id;  // from version_object_id<version_id_allocator_t>
    i32 generation; // 1 after a clear, raised by every compute
    histogram_channel_t channels[3]; // R, G, B
};

// Zeroes the record, takes a fresh object id and sets the generation to 1.
void histogram_clear(histogram_t& histogram);
// Counts the pixels of an RGB8 or RGBA8 buffer (alpha ignored) and raises the
// generation; any other buffer, or one without data, leaves the histogram
// untouched.
void histogram_compute(histogram_t& histogram, const pixelbuffer_t& buffer);
} // namespace orvo

// What the codecs share: the size check that every header passes before its
// picture may be allocated, the check of a caller's target against the header
// it was sized from, and the allocation of a codec record.
#pragma once

#include "orvo/colour/colour_codec.h"

namespace orvo
{
// image_size_is_valid with the cause logged at Error in module Image.
bool codec_check_size(const char* codec, i64 width, i64 height);
// True when the target matches the header (format, width, height), its row
// length is at least the width and its storage holds row length x height
// pixels; otherwise logs at Error in module Image and returns false.
bool codec_check_target(const char* codec, const pixelbuffer_t& target, const image_desc_t& header);
// A zeroed block of the given size through the heap (logged on failure).
void* codec_allocate(u64 size);
} // namespace orvo

// The content hash: FarmHash's 128-bit Fingerprint128 of a block of bytes,
// as 16 bytes (low 64-bit half, then high half, each least significant byte
// first) or as those 16 bytes in 32 lower-case hex digits. Downloaded photos
// are hashed and verified with the text form. No shared state.
#pragma once

#include "orvo/core/core_string.h"

namespace orvo
{
const u64 HASH_NUM_BYTES = 16;
const u64 HASH_TEXT_LENGTH = 32;

// The 16 bytes replace the buffer's contents. False, with the buffer as it
// was, when it cannot grow or bytes is null while n is not 0.
bool compute_hash(memorybuffer_t& out, const void* bytes, u64 n);
bool compute_hash(memorybuffer_t& out, const string_t& text);
// The 32 hex digits replace the text. False with the empty text when the
// scratch block or the text cannot be allocated or bytes is null while n is
// not 0.
bool compute_hash(stringbuffer_t& out, const void* bytes, u64 n);
bool compute_hash(stringbuffer_t& out, const string_t& text);
} // namespace orvo

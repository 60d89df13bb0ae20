// RFC 4648 base64 with the standard alphabet, '=' padding and no line breaks,
// between a byte buffer and a text buffer; used to carry raw bytes in JSON.
// The decoder is lenient by design: it validates nothing and reads characters
// outside the alphabet as zero bits. No shared state; targets are the caller's.
#pragma once

#include "orvo/core/core_string.h"

namespace orvo
{
extern const char base64_alphabet[65];   // "A..Za..z0..9+/" and a zero byte
extern const u8 base64_reverse[128];     // 6-bit value of each ASCII character, 0 outside the alphabet

// Replaces the text with the encoding of the bytes. False with the empty text
// (storage kept) for empty input or when the text cannot grow.
bool base64_encode(const memorybuffer_t& bytes, stringbuffer_t& text);
// Replaces the bytes with the decoding of the text. False with an empty
// buffer (storage kept) when the text is empty, its length is not a multiple
// of 4, or the buffer cannot grow. Exactly one or two '=' at the end shorten
// the result by that many bytes; any other character outside the alphabet
// (bytes from 0x80 up among them) counts as six zero bits.
bool base64_decode(memorybuffer_t& bytes, const string_t& text);
} // namespace orvo

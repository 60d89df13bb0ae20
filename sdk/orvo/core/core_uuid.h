// Random (version 4) UUID texts, the identities of new photos: 16 bytes from
// getrandom with the version and variant bits set, written in the usual
// 8-4-4-4-12 lower-case form. No shared state.
#pragma once

#include "orvo/core/core_string.h"

namespace orvo
{
const u64 UUID_TEXT_LENGTH = 36;

// Replaces the text with a new UUID. False with the empty text when the
// system gives no random bytes or the text cannot grow (cause logged).
bool uuid_generate(stringbuffer_t& out);
} // namespace orvo

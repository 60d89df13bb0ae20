// Arbitrary text through the lenient base64 decoder (JSON peers send it), then
// back through the encoder and the decoder: the sizes follow the padding rule
// and a second round gives the same bytes. The decoded bytes are also hashed.
#include "orvo/core/core_base64.h"
#include "orvo/core/core_hash.h"

#include <cstring>

using namespace orvo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const string_t text = {size ? reinterpret_cast<const char*>(data) : empty_str.str, size};
    memorybuffer_t bytes;
    memorybuffer_initialise(bytes);
    const bool decoded = base64_decode(bytes, text);
    if (decoded != (size != 0 && size % 4 == 0))
        __builtin_trap();
    if (decoded)
    {
        u64 padding = 0;
        while (padding < size && data[size - 1 - padding] == '=')
            ++padding;
        u64 expected = size / 4 * 3 - ((padding == 1 || padding == 2) ? padding : 0);
        if (bytes.num_bytes != expected || bytes.data[bytes.num_bytes] != 0)
            __builtin_trap();

        stringbuffer_t encoded;
        stringbuffer_initialise(encoded);
        if (!base64_encode(bytes, encoded) || encoded.length != 4 * ((bytes.num_bytes + 2) / 3))
            __builtin_trap();
        memorybuffer_t again;
        memorybuffer_initialise(again);
        if (!base64_decode(again, encoded) || again.num_bytes != bytes.num_bytes ||
            std::memcmp(again.data, bytes.data, bytes.num_bytes) != 0)
            __builtin_trap();

        stringbuffer_t hash;
        stringbuffer_initialise(hash);
        if (!compute_hash(hash, bytes.data, bytes.num_bytes) || hash.length != HASH_TEXT_LENGTH)
            __builtin_trap();
        stringbuffer_release(hash);
        memorybuffer_release(again);
        stringbuffer_release(encoded);
    }
    memorybuffer_release(bytes);
    return 0;
}

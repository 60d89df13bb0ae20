// The out-of-line part of the hash tables: the ELF hash of texts.
#include "orvo/core/core_hashtable.h"

namespace orvo
{
u32 elf_hash(const char* text)
{
    u32 h = 0;
    for (const char* p = text; p && *p; ++p)
    {
        // The original takes each byte as a signed 8-bit value; keep that so
        // non-ASCII texts land in the same buckets.
        h = (h << 4) + static_cast<u32>(static_cast<i32>(static_cast<i8>(*p)));
        u32 g = h & 0xF0000000u;
        if (g != 0)
            h ^= g >> 24;
        h &= ~g;
    }
    return h;
}
} // namespace orvo

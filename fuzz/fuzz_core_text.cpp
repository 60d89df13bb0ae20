// Arbitrary bytes through the UTF-8 iterator, trimming, removal, mapping,
// tokenising and the conversions: none may read past the text or crash.
#include "orvo/core/core_string.h"
#include "orvo/core/core_stringarray.h"

#include <cstring>
#include <string>

using namespace orvo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size); // terminated copy
    stringbuffer_t buffer;
    stringbuffer_initialise(buffer);
    stringbuffer_set(buffer, string_make(text.c_str(), std::strlen(text.c_str())));

    utf8iterator_t it;
    utf8iterator_initialise(it, buffer.str);
    u64 steps = 0;
    while (utf8iterator_next(it))
    {
        if (it.position + it.step > buffer.length)
            __builtin_trap();
        ++steps;
    }

    stringbuffer_t copy;
    stringbuffer_initialise(copy);
    stringbuffer_copy(copy, buffer);
    stringbuffer_trim(copy, is_whitespace);
    stringbuffer_remove(copy, is_dot);
    stringbuffer_transform(copy, invalid_to_underscore);
    if (copy.length > buffer.length || copy.str[copy.length] != 0)
        __builtin_trap();

    stringarray_t array;
    stringarray_initialise(array);
    stringarray_tokenise(array, buffer, " ,;");
    stringbuffer_t joined;
    stringbuffer_initialise(joined);
    stringarray_concatenate(array, joined, ',');

    std::string narrow;
    string_to_std(buffer, narrow);
    std::wstring wide;
    string_to_std(buffer, wide);
    stringbuffer_set(copy, narrow);
    stringbuffer_set(copy, wide);

    stringbuffer_release(joined);
    stringarray_release(array);
    stringbuffer_release(copy);
    stringbuffer_release(buffer);
    return 0;
}

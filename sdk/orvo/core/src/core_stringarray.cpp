// stringarray_t: strings packed into one storage, views re-based from their
// offsets whenever the storage moves.
#include "orvo/core/core_stringarray.h"

#include <cstring>

namespace orvo
{
static const u64 STRINGARRAY_INITIAL_COUNT = 16;

void stringarray_initialise(stringarray_t& array)
{
    vector_initialise(array.strings, STRINGARRAY_INITIAL_COUNT, false);
    vector_initialise(array.offsets, STRINGARRAY_INITIAL_COUNT, false);
    array.text = nullptr;
    array.text_capacity = 0;
    array.text_length = 0;
}

void stringarray_release(stringarray_t& array)
{
    vector_release(array.strings);
    vector_release(array.offsets);
    heap_free(array.text, ORVO_HEAP_TAG);
    array.text = nullptr;
    array.text_capacity = 0;
    array.text_length = 0;
}

void stringarray_clear(stringarray_t& array)
{
    array.strings.count = 0;
    array.offsets.count = 0;
    array.text_length = 0;
}

static void stringarray_rebase(stringarray_t& array)
{
    for (u64 i = 0; i < array.strings.count; ++i)
        array.strings.data[i].str = array.text + array.offsets.data[i];
}

bool stringarray_append(stringarray_t& array, const string_t& source)
{
    // The caller may pass one of our own views, which the slot reservation below can move.
    const string_t text = source;
    // Reserve the view and offset slots first so that a failure changes nothing.
    if (!vector_insert(array.strings, empty_str))
        return false;
    array.strings.count--;
    if (!vector_insert(array.offsets, u64(0)))
        return false;
    array.offsets.count--;

    const u64 offset = array.text_length;
    if (array.text_length + text.length + 1 >= array.text_capacity)
    {
        u64 capacity = (array.text_capacity + text.length + 1) * 2;
        char* storage = static_cast<char*>(heap_alloc(capacity, 1, ORVO_HEAP_TAG));
        if (!storage)
            return false;
        if (array.text_length)
            std::memcpy(storage, array.text, array.text_length);
        // The source may be one of our own strings: copy it before the old storage goes.
        if (text.length)
            std::memcpy(storage + offset, text.str, text.length);
        heap_free(array.text, ORVO_HEAP_TAG);
        array.text = storage;
        array.text_capacity = capacity;
        stringarray_rebase(array);
    }
    else if (text.length)
        std::memmove(array.text + offset, text.str, text.length);
    array.text[offset + text.length] = 0;
    array.text_length += text.length + 1;
    vector_insert(array.strings, string_t{array.text + offset, text.length});
    vector_insert(array.offsets, offset);
    return true;
}

bool stringarray_set(stringarray_t& destination, const stringarray_t& source)
{
    if (&destination == &source)
        return true;
    stringarray_clear(destination);
    for (u64 i = 0; i < source.strings.count; ++i)
    {
        if (!stringarray_append(destination, source.strings.data[i]))
            return false;
    }
    return true;
}

bool stringarray_copy(stringarray_t& destination, const stringarray_t& source)
{
    return stringarray_set(destination, source);
}

void stringarray_move(stringarray_t& from, stringarray_t& to)
{
    if (&from == &to)
        return;
    stringarray_release(to);
    to = from;
    from.strings = vector_t<string_t>{nullptr, 0, 0, false};
    from.offsets = vector_t<u64>{nullptr, 0, 0, false};
    from.text = nullptr;
    from.text_capacity = 0;
    from.text_length = 0;
}

bool stringarray_tokenise(stringarray_t& array, const string_t& text, const char* delimiters)
{
    stringarray_clear(array);
    const u64 needed = text.length + 1;
    if (array.text_capacity < needed)
    {
        char* storage = static_cast<char*>(heap_alloc(needed, 1, ORVO_HEAP_TAG));
        if (!storage)
            return false;
        heap_free(array.text, ORVO_HEAP_TAG);
        array.text = storage;
        array.text_capacity = needed;
    }
    if (text.length)
        std::memmove(array.text, text.str, text.length);
    array.text[text.length] = 0;
    const char* delims = delimiters ? delimiters : "";

    u64 i = 0;
    while (i < text.length)
    {
        while (i < text.length && array.text[i] && std::strchr(delims, array.text[i]))
            ++i;
        if (i >= text.length || !array.text[i])
            break;
        u64 start = i;
        while (i < text.length && array.text[i] && !std::strchr(delims, array.text[i]))
            ++i;
        bool at_end = i >= text.length || !array.text[i];
        array.text[i] = 0;
        if (!vector_insert(array.strings, string_t{array.text + start, i - start}) ||
            !vector_insert(array.offsets, start))
        {
            stringarray_clear(array);
            return false;
        }
        if (at_end)
            break;
        ++i;
    }
    array.text_length = needed;
    return true;
}

bool stringarray_concatenate(const stringarray_t& array, stringbuffer_t& buffer, char separator)
{
    stringbuffer_clear(buffer);
    for (u64 i = 0; i < array.strings.count; ++i)
    {
        if (i > 0 && !stringbuffer_append(buffer, separator))
            return false;
        if (!stringbuffer_append(buffer, array.strings.data[i]))
            return false;
    }
    return true;
}
} // namespace orvo

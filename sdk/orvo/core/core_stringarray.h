// stringarray_t: a list of strings packed into one text storage, each string
// zero-terminated at its offset. Views handed out stay valid until the next
// append that grows the storage, a tokenise, or release.
#pragma once

#include "orvo/core/core_string.h"
#include "orvo/core/core_vector.h"

namespace orvo
{
struct stringarray_t
{
    vector_t<string_t> strings;
    char* text;
    u64 text_capacity;
    u64 text_length; // bytes used, terminators included
    vector_t<u64> offsets;
};

void stringarray_initialise(stringarray_t& array);
void stringarray_release(stringarray_t& array);
// Empties the list and keeps the storage.
void stringarray_clear(stringarray_t& array);
// Clear, then append each source string in order.
bool stringarray_set(stringarray_t& destination, const stringarray_t& source);
// The same as stringarray_set, in the (target, source) order of every _copy.
bool stringarray_copy(stringarray_t& destination, const stringarray_t& source);
// to takes everything of from (its own storage freed first); from is empty.
void stringarray_move(stringarray_t& from, stringarray_t& to);
// False (array unchanged) when the storage cannot grow.
bool stringarray_append(stringarray_t& array, const string_t& text);
// Splits text in the manner of strtok: runs of delimiters separate tokens and
// produce no empty ones. False (array empty) when allocation fails.
bool stringarray_tokenise(stringarray_t& array, const string_t& text, const char* delimiters);
// Joins the strings with the separator between them.
bool stringarray_concatenate(const stringarray_t& array, stringbuffer_t& buffer, char separator);
} // namespace orvo

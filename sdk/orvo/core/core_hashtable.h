// Hash table of sorted bucket vectors that rejects duplicate keys. The element
// type names its key, hash and order through container_traits<T> (see
// core_vector.h). The bucket count is fixed at initialise; the table never
// frees the pointees of pointer elements.
#pragma once

#include "orvo/core/core_vector.h"

namespace orvo
{
template <typename T>
struct hashtable_t
{
    u64 num_entries;
    vector_t<vector_t<T>> buckets;
};

// Buckets start with room for this many elements.
const u64 HASHTABLE_BUCKET_CAPACITY = 8;

// False when an allocation failed; the table then has no buckets.
template <typename T>
bool hashtable_initialise(hashtable_t<T>& table, u64 num_buckets);
template <typename T>
void hashtable_release(hashtable_t<T>& table);
// True when added; false when the key is present or the bucket cannot grow.
template <typename T>
bool hashtable_insert(hashtable_t<T>& table, const T& element);
// The stored element, or null.
template <typename T>
T* hashtable_find(hashtable_t<T>& table, const typename container_traits<T>::key_type& key);
template <typename T>
void hashtable_remove(hashtable_t<T>& table, const typename container_traits<T>::key_type& key);

// ELF hash of a zero-terminated text, bytes taken as signed 8-bit values; the
// result is below 2^28. The string-id dictionary buckets by it.
u32 elf_hash(const char* text);
} // namespace orvo

#include "orvo/core/inline/core_hashtable.inl"

// Inline bodies of vector_t<T>; included by core_vector.h only.
#pragma once

#include <cstring>
#include <type_traits>

namespace orvo
{
namespace detail
{
template <typename K>
u64 hash_key(const K& key, std::true_type /*pointer*/)
{
    // Address keys: drop the alignment bits so neighbours spread over buckets.
    return static_cast<u64>(reinterpret_cast<uintptr_t>(key)) >> 2;
}

template <typename K>
u64 hash_key(const K& key, std::false_type /*pointer*/)
{
    return static_cast<u64>(key);
}

// Keys with operator< compare by it; plain records that never sort (views in a
// plain vector) fall back to their bytes so that every vector compiles.
template <typename K>
auto compare_keys(const K& a, const K& b, int) -> decltype(a < b, int())
{
    return a < b ? -1 : (b < a ? 1 : 0);
}

template <typename K>
int compare_keys(const K& a, const K& b, long)
{
    return std::memcmp(&a, &b, sizeof(K));
}
} // namespace detail

template <typename T>
int container_traits<T>::compare(const key_type& a, const key_type& b)
{
    return detail::compare_keys(a, b, 0);
}

template <typename T>
u64 container_traits<T>::hash(const key_type& key)
{
    return detail::hash_key(key, std::is_pointer<key_type>());
}

template <typename T>
void vector_initialise(vector_t<T>& vector, u64 capacity, bool sorted)
{
    vector.count = 0;
    vector.sorted = sorted;
    vector.data = capacity ? static_cast<T*>(heap_alloc(capacity * sizeof(T), alignof(T), ORVO_HEAP_TAG)) : nullptr;
    vector.capacity = vector.data ? capacity : 0;
}

template <typename T>
void vector_release(vector_t<T>& vector)
{
    heap_free(vector.data, ORVO_HEAP_TAG);
    vector.data = nullptr;
    vector.count = 0;
    vector.capacity = 0;
}

template <typename T>
bool vector_search(const vector_t<T>& vector, const typename container_traits<T>::key_type& key, u64& index)
{
    typedef container_traits<T> traits;
    u64 lo = 0;
    u64 hi = vector.count;
    while (lo < hi)
    {
        u64 mid = lo + (hi - lo) / 2;
        int order = traits::compare(traits::key(vector.data[mid]), key);
        if (order < 0)
            lo = mid + 1;
        else if (order > 0)
            hi = mid;
        else
        {
            index = mid;
            return true;
        }
    }
    index = lo;
    return false;
}

namespace detail
{
// Steps 3 and 4 of an insert: grow if full, open a hole at position, store.
template <typename T>
bool vector_place(vector_t<T>& vector, u64 position, const T& element)
{
    static_assert(std::is_trivially_copyable<T>::value, "vector_t holds plain records and pointers");
    if (vector.count == vector.capacity)
    {
        u64 capacity = vector_grown_capacity(vector.capacity);
        T* data = static_cast<T*>(
            heap_realloc(vector.data, vector.capacity * sizeof(T), capacity * sizeof(T), alignof(T), ORVO_HEAP_TAG));
        if (!data)
            return false;
        vector.data = data;
        vector.capacity = capacity;
    }
    if (position < vector.count)
        std::memmove(static_cast<void*>(vector.data + position + 1), vector.data + position,
                     (vector.count - position) * sizeof(T));
    std::memcpy(static_cast<void*>(vector.data + position), &element, sizeof(T));
    ++vector.count;
    return true;
}
} // namespace detail

template <typename T>
bool vector_insert(vector_t<T>& vector, const T& element)
{
    u64 position = vector.count;
    if (vector.sorted)
        vector_search(vector, container_traits<T>::key(element), position);
    return detail::vector_place(vector, position, element);
}

template <typename T>
void vector_remove(vector_t<T>& vector, u64 index)
{
    if (index >= vector.count)
        return;
    if (index + 1 < vector.count)
        std::memmove(static_cast<void*>(vector.data + index), vector.data + index + 1,
                     (vector.count - index - 1) * sizeof(T));
    --vector.count;
}
} // namespace orvo

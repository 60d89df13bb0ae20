// The growable array vector_t<T>, plain or kept sorted, for plain records and
// pointers: elements move by raw byte copies and never see a constructor or a
// destructor. A full vector grows to twice its capacity plus two. The owner
// of pointer elements frees the pointees before releasing the vector.
#pragma once

#include "orvo/core/core_memory.h"

namespace orvo
{
template <typename T>
struct vector_t
{
    T* data;
    u64 count;
    u64 capacity;
    bool sorted;
};

// How an element type names its key. The default makes the element its own
// key (integers, pointers compared by address). Records that sort or hash by
// something else specialise this next to their definition.
template <typename T>
struct container_traits
{
    typedef T key_type;
    static key_type key(const T& element) { return element; }
    static int compare(const key_type& a, const key_type& b);
    static u64 hash(const key_type& key);
};

// Growth rule shared by vectors and hash-table buckets.
inline u64 vector_grown_capacity(u64 capacity)
{
    return capacity * 2 + 2;
}

template <typename T>
void vector_initialise(vector_t<T>& vector, u64 capacity, bool sorted);
template <typename T>
void vector_release(vector_t<T>& vector);
// Appends (plain) or inserts by binary search (sorted; an equal key goes just
// before the equal element the search met). False when the vector cannot grow;
// it is then unchanged.
template <typename T>
bool vector_insert(vector_t<T>& vector, const T& element);
// Removes the element at index, keeping the order.
template <typename T>
void vector_remove(vector_t<T>& vector, u64 index);
// Binary search of a sorted vector: true with the index of an equal key, false
// with the index where the key would go.
template <typename T>
bool vector_search(const vector_t<T>& vector, const typename container_traits<T>::key_type& key, u64& index);
} // namespace orvo

#include "orvo/core/inline/core_vector.inl"

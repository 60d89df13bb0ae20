// Internals shared by the two halves of the PTP codec, mtp_codec.cpp (wire
// reads and writes) and mtp_datavalue.cpp (typed values and forms). Private
// to those sources.
#pragma once

#include "orvo/core/core_memory.h"
#include "orvo/core/core_vector.h"

namespace orvo
{
// Room for n elements without growth: a vector with less capacity gets fresh
// storage of exactly n and loses its elements, which the caller then writes
// from index 0 and counts itself. False when the allocation fails; the vector
// is then unchanged.
template <typename T>
bool mtp_vector_reserve_discarding(vector_t<T>& vector, u64 n)
{
    if (n <= vector.capacity)
        return true;
    T* data = static_cast<T*>(heap_alloc(n * sizeof(T), alignof(T), ORVO_HEAP_TAG));
    if (!data)
        return false;
    heap_free(vector.data, ORVO_HEAP_TAG);
    vector.data = data;
    vector.capacity = n;
    return true;
}
} // namespace orvo

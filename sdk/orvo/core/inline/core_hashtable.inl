// Inline bodies of hashtable_t<T>; included by core_hashtable.h only.
#pragma once

namespace orvo
{
namespace detail
{
template <typename T>
vector_t<T>* hashtable_bucket(hashtable_t<T>& table, const typename container_traits<T>::key_type& key)
{
    if (table.buckets.count == 0)
        return nullptr;
    return &table.buckets.data[container_traits<T>::hash(key) % table.buckets.count];
}
} // namespace detail

template <typename T>
bool hashtable_initialise(hashtable_t<T>& table, u64 num_buckets)
{
    table.num_entries = 0;
    vector_initialise(table.buckets, num_buckets, false);
    if (num_buckets == 0)
        return true;
    if (table.buckets.capacity != num_buckets)
    {
        vector_release(table.buckets);
        return false;
    }
    for (u64 i = 0; i < num_buckets; ++i)
    {
        vector_t<T>& bucket = table.buckets.data[i];
        vector_initialise(bucket, HASHTABLE_BUCKET_CAPACITY, true);
        if (bucket.capacity != HASHTABLE_BUCKET_CAPACITY)
        {
            for (u64 j = 0; j < i; ++j)
                vector_release(table.buckets.data[j]);
            vector_release(table.buckets);
            return false;
        }
        table.buckets.count = i + 1;
    }
    return true;
}

template <typename T>
void hashtable_release(hashtable_t<T>& table)
{
    for (u64 i = 0; i < table.buckets.count; ++i)
        vector_release(table.buckets.data[i]);
    vector_release(table.buckets);
    table.num_entries = 0;
}

template <typename T>
bool hashtable_insert(hashtable_t<T>& table, const T& element)
{
    const typename container_traits<T>::key_type key = container_traits<T>::key(element);
    vector_t<T>* bucket = detail::hashtable_bucket(table, key);
    if (!bucket)
        return false;
    u64 position = 0;
    if (vector_search(*bucket, key, position))
        return false;
    if (!detail::vector_place(*bucket, position, element))
        return false;
    ++table.num_entries;
    return true;
}

template <typename T>
T* hashtable_find(hashtable_t<T>& table, const typename container_traits<T>::key_type& key)
{
    vector_t<T>* bucket = detail::hashtable_bucket(table, key);
    u64 position = 0;
    if (!bucket || !vector_search(*bucket, key, position))
        return nullptr;
    return &bucket->data[position];
}

template <typename T>
void hashtable_remove(hashtable_t<T>& table, const typename container_traits<T>::key_type& key)
{
    vector_t<T>* bucket = detail::hashtable_bucket(table, key);
    u64 position = 0;
    if (!bucket || !vector_search(*bucket, key, position))
        return;
    vector_remove(*bucket, position);
    --table.num_entries;
}
} // namespace orvo

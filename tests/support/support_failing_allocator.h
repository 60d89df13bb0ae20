// An allocator for heap_set_allocator that fails the N-th allocation from now
// (or every one), so that tests reach the failure paths of the containers.
#pragma once

#include "orvo/core/core_memory.h"

namespace lumivane_test
{
class FailingAllocator
{
public:
    // Installs itself; fail_after = 0 fails the very next allocation.
    explicit FailingAllocator(long fail_after = 0, bool fail_forever = true);
    ~FailingAllocator();
    FailingAllocator(const FailingAllocator&) = delete;
    FailingAllocator& operator=(const FailingAllocator&) = delete;

    long Failures() const { return m_failures; }
    long Allocations() const { return m_allocations; }

private:
    static void* Allocate(orvo::u64 size, void* user);
    static void Release(void* pointer, void* user);
    orvo::heap_allocator_t m_hooks;
    long m_fail_after;
    bool m_fail_forever;
    long m_allocations = 0;
    long m_failures = 0;
};
} // namespace lumivane_test

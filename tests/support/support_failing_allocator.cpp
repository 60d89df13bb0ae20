#include "support/support_failing_allocator.h"

#include <cstdlib>

namespace lumivane_test
{
FailingAllocator::FailingAllocator(long fail_after, bool fail_forever)
    : m_fail_after(fail_after), m_fail_forever(fail_forever)
{
    m_hooks.allocate = &FailingAllocator::Allocate;
    m_hooks.release = &FailingAllocator::Release;
    m_hooks.reallocate = nullptr; // growth goes through Allocate, so it can fail too
    m_hooks.user = this;
    orvo::heap_set_allocator(&m_hooks);
}

FailingAllocator::~FailingAllocator()
{
    orvo::heap_set_allocator(nullptr);
}

void* FailingAllocator::Allocate(orvo::u64 size, void* user)
{
    FailingAllocator* self = static_cast<FailingAllocator*>(user);
    long index = self->m_allocations++;
    bool fail = self->m_fail_forever ? index >= self->m_fail_after : index == self->m_fail_after;
    if (fail)
    {
        ++self->m_failures;
        return nullptr;
    }
    return std::malloc(size);
}

void FailingAllocator::Release(void* pointer, void*)
{
    std::free(pointer);
}
} // namespace lumivane_test

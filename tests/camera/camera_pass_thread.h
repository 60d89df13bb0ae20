// The camera thread of the tests: a message thread that counts its passes.
// Requests are delivered as they come, between passes, so a round trip says
// nothing about the passes run; a test that waits for work done in passes
// (polling, detection, automatic connection) waits for passes.
#pragma once

#include "orvo/core/core_message_thread.h"

#include <atomic>

namespace camera_test
{
class PassCountingThread : public orvo::MessageThread
{
public:
    void Update() override
    {
        orvo::MessageThread::Update();
        passes.fetch_add(1, std::memory_order_acq_rel);
    }
    // The passes begun after this call that have ended: one more than asked,
    // since the pass running now may have begun before what was just sent.
    template <typename PumpUntil>
    bool WaitPasses(int count, PumpUntil pump_until)
    {
        const unsigned long long target = passes.load(std::memory_order_acquire) + count + 1;
        return pump_until([&] { return passes.load(std::memory_order_acquire) >= target; });
    }
    std::atomic<unsigned long long> passes{0};
};
} // namespace camera_test

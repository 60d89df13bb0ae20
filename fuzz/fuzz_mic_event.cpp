// The reassembly of event containers from interrupt packets. Input: one byte
// giving the packet size (1 to 64), then the bytes of the interrupt stream,
// cut into packets of that size.
#include "orvo/camera/src/mic/camera_mic_container.h"

#include <cstddef>
#include <cstdint>

using namespace orvo;

namespace
{
void on_event(const mic_event_t& event, void* user)
{
    if (event.num_parameters > MIC_MAX_EVENT_PARAMETERS)
        __builtin_trap();
    u64 sum = event.code;
    for (u32 i = 0; i < event.num_parameters; ++i)
        sum += event.parameters[i];
    *static_cast<u64*>(user) += sum;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    size_t packet = (data[0] % 64) + 1;
    mic_eventparser_t parser;
    mic_eventparser_initialise(parser);
    u64 sum = 0;
    for (size_t offset = 1; offset < size; offset += packet)
    {
        size_t n = size - offset < packet ? size - offset : packet;
        mic_eventparser_feed(parser, data + offset, n, on_event, &sum);
        if (parser.have > MIC_MAX_EVENT_SIZE)
            __builtin_trap();
    }
    return 0;
}

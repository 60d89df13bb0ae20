// A capturing log handler for tests: opens the log, collects every piece the
// handler receives and splits them into whole lines. Restores the default
// handler and closes the log when destroyed.
#pragma once

#include "orvo/core/core_log.h"

#include <mutex>
#include <string>
#include <vector>

namespace lumivane_test
{
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // Every piece in arrival order (the byte-order mark first).
    std::vector<std::string> Pieces();
    // Complete lines without their "\n", the byte-order mark left out.
    std::vector<std::string> Lines();
    // True when some line contains the text.
    bool Contains(const std::string& text);
    // How many lines contain the text.
    size_t Count(const std::string& text);
    void Clear();

private:
    static void Handler(const orvo::string_t& text, void* user);
    std::mutex m_mutex;
    std::vector<std::string> m_pieces;
};
} // namespace lumivane_test

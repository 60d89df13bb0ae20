#include "support/support_log_capture.h"

namespace lumivane_test
{
LogCapture::LogCapture()
{
    orvo::log_open();
    orvo::log_set_handler(&LogCapture::Handler, this);
}

LogCapture::~LogCapture()
{
    orvo::log_set_handler(nullptr, nullptr);
    orvo::log_close();
}

void LogCapture::Handler(const orvo::string_t& text, void* user)
{
    // Runs under the log lock; this mutex is ours alone, so no lock order issue.
    LogCapture* self = static_cast<LogCapture*>(user);
    std::lock_guard<std::mutex> guard(self->m_mutex);
    self->m_pieces.emplace_back(text.str, text.length);
}

std::vector<std::string> LogCapture::Pieces()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_pieces;
}

std::vector<std::string> LogCapture::Lines()
{
    std::string all;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        for (const std::string& piece : m_pieces)
        {
            if (piece != std::string(orvo::utf8_bom.str, orvo::utf8_bom.length))
                all += piece;
        }
    }
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t i = 0; i < all.size(); ++i)
    {
        if (all[i] == '\n')
        {
            lines.push_back(all.substr(start, i - start));
            start = i + 1;
        }
    }
    return lines;
}

bool LogCapture::Contains(const std::string& text)
{
    return Count(text) != 0;
}

size_t LogCapture::Count(const std::string& text)
{
    size_t n = 0;
    for (const std::string& line : Lines())
        n += line.find(text) != std::string::npos ? 1 : 0;
    return n;
}

void LogCapture::Clear()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_pieces.clear();
}
} // namespace lumivane_test

#include "support/support_text.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace lumivane_test
{
orvo::string_t S(const char* text)
{
    return orvo::string_make(text);
}

orvo::string_t S(const std::string& text)
{
    return orvo::string_make(text.data(), text.size());
}

std::string Str(const orvo::string_t& text)
{
    return std::string(text.str, text.length);
}

std::string ReadFile(const std::string& path)
{
    std::string bytes;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return "<missing>";
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof(chunk), f)) > 0)
        bytes.append(chunk, n);
    std::fclose(f);
    return bytes;
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    const size_t written = std::fwrite(bytes.data(), 1, bytes.size(), f);
    ASSERT_EQ(std::fclose(f), 0) << path;
    ASSERT_EQ(written, bytes.size()) << path;
}
} // namespace lumivane_test

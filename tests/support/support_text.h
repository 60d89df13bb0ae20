// Text and whole-file helpers the test suites share: string_t views of test
// strings and back, and reading or writing a file's bytes in one call. The
// views borrow the caller's storage; nothing here owns memory.
#pragma once

#include "orvo/core/core_string.h"

#include <string>

namespace lumivane_test
{
// A view of a C string (up to its terminator) or of a std::string's bytes.
orvo::string_t S(const char* text);
orvo::string_t S(const std::string& text);

// The bytes of a view as a std::string.
std::string Str(const orvo::string_t& text);

// The file's bytes, or "<missing>" when it cannot be opened.
std::string ReadFile(const std::string& path);

// Writes bytes as the whole file; a failure is a fatal test failure, so call
// it under ASSERT_NO_FATAL_FAILURE where later steps need the file.
void WriteFile(const std::string& path, const std::string& bytes);
} // namespace lumivane_test

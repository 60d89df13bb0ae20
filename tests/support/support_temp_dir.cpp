#include "support/support_temp_dir.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace lumivane_test
{
TempDir::TempDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "lumivane-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    m_path = pattern;
}

TempDir::~TempDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string TempDir::File(const std::string& name) const
{
    return m_path + "/" + name;
}
} // namespace lumivane_test

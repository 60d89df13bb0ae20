// A temporary folder of a test's own, removed with everything in it when the
// fixture goes away.
#pragma once

#include <string>

namespace lumivane_test
{
class TempDir
{
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return m_path; }
    // Path of a name inside the folder.
    std::string File(const std::string& name) const;

private:
    std::string m_path;
};
} // namespace lumivane_test

// The few operating-system facts the foundation asks of Linux: whether a
// debugger is attached, a trap into it, the system version for the log and
// the running executable's path.
#pragma once

#include "orvo/core/core_string.h"

namespace orvo
{
// True when /proc/self/status names a tracer.
bool platform_debugger_attached();
// Traps into an attached debugger; does nothing when none is attached.
void platform_debugger_break();
// "Linux 6.1.0 x86_64" from uname; false (buffer untouched) when uname fails.
bool platform_system_version(stringbuffer_t& out);
// Architecture tag for the log's opening line: "x64", "arm64" or uname's machine.
const char* platform_architecture();
// The compiler that built the program: "clang" or "gcc".
const char* platform_compiler();
// Absolute path of the running executable, from /proc/self/exe.
bool platform_executable_path(stringbuffer_t& out);
} // namespace orvo

// Sanitizer suppressions for this executable, for the display stack only.
// LeakSanitizer: the D-Bus connection that Qt's platform plug-in opens keeps
// a block for the life of the process. ThreadSanitizer: Qt's D-Bus thread
// and the main thread hand Qt's own objects over through Qt's futex-based
// locks, and llvmpipe's rasteriser threads hand scenes and fences over
// through atomics in the uninstrumented driver (Qt's D-Bus thread also runs a
// GLib loop); the sanitizer sees none of it.
// Leaks and races in our own
// libraries and in the tests still fail.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __tsan_default_suppressions();

extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libdbus-1.so\n";
}

extern "C" const char* __tsan_default_suppressions()
{
    return "race:libQt5Core.so\n"
           "race:libQt5DBus.so\n"
           "race:libQt5Gui.so\n"
           "race:libQt5XcbQpa.so\n"
           "race:libglib-2.0.so\n"
           "race:swrast_dri.so\n";
}

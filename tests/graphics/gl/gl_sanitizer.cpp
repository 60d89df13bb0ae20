// LeakSanitizer's suppressions for this executable: the D-Bus connection
// that Qt's platform plug-in opens keeps a block for the life of the process.
// Leaks from our own libraries and from the tests still fail.
extern "C" const char* __lsan_default_suppressions();

extern "C" const char* __lsan_default_suppressions()
{
    return "leak:libdbus-1.so\n";
}

// Windows port tests: the port named by FWU_TEST_PORT (say \\.\com5), with
// the line peer at its far end; under Wine a pseudo-terminal that the
// host-built line peer serves.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "tests/support/test_line.h"

const char *test_line_path()
{
    const char *path = std::getenv("FWU_TEST_PORT");
    if (path == nullptr || *path == '\0') {
        std::fprintf(stderr, "FWU_TEST_PORT is not set: name the port with the line peer on it\n");
        std::exit(2);
    }
    return path;
}

bool second_open_fails(const char **why_not)
{
    // Wine's ntdll exports its version; Windows' does not.
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    if (ntdll == nullptr || GetProcAddress(ntdll, "wine_get_version") == nullptr)
        return true;
    *why_not = "Wine lets a second CreateFileA with share mode 0 on the same port succeed; "
               "Windows fails it with error 5 (access denied)";
    return false;
}

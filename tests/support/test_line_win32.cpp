// Windows port tests: the port named by FWU_TEST_PORT (say \\.\com5), with
// the line peer at its far end. Under Wine, tests/wine/run-port-tests maps
// the port to a pseudo-terminal served by the host-built line peer.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "tests/support/test_line.h"

const char *test_line_path()
{
    const char *path = std::getenv("FWU_TEST_PORT");
    if (path == nullptr || *path == '\0') {
        std::fprintf(stderr, "FWU_TEST_PORT is not set: name the port with the line peer on it, "
                             "or run these tests through tests/wine/run-port-tests\n");
        std::exit(2);
    }
    return path;
}

// Wine's ntdll exports its version; Windows' does not.
static bool running_under_wine()
{
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool second_open_fails()
{
    return !running_under_wine();
}

const char *platform_difference_note()
{
    if (!running_under_wine())
        return "";
    return "Wine lets a second CreateFileA with share mode 0 on the same port succeed; "
           "Windows fails it with error 5 (access denied)";
}

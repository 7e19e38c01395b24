// gtest's Notification made from a Win32 event. gtest builds its own on
// std::mutex, which this compiler's win32 thread model does not have; gtest
// takes this one instead when GTEST_HAS_NOTIFICATION_ is set. Forced into
// every translation unit that includes gtest (see CMakeLists.txt).
#pragma once

#include <windows.h>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
public:
    Notification() : event_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {}
    ~Notification() { CloseHandle(event_); }
    Notification(const Notification &) = delete;
    Notification &operator=(const Notification &) = delete;

    void Notify() { SetEvent(event_); }
    void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

private:
    HANDLE event_;
};

}  // namespace internal
}  // namespace testing

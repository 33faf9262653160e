// SleepWin32.cpp: the busy wait's sleep.
#include "platform/Sleep.h"

#include <windows.h>

namespace Database::Platform {

void SleepMilliseconds(int milliseconds) noexcept {
    // A negative wait would become an almost endless one as a DWORD.
    ::Sleep(milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0);
}

}  // namespace Database::Platform

// SleepPosix.cpp: the busy wait's sleep.
#include "platform/Sleep.h"

#include <chrono>
#include <thread>

namespace Database::Platform {

void SleepMilliseconds(int milliseconds) noexcept {
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace Database::Platform

// Sleep.h: blocking the calling thread for a while (the busy wait between lock attempts).
#pragma once

namespace Database::Platform {

void SleepMilliseconds(int milliseconds) noexcept;

}  // namespace Database::Platform

// LargePagesWin32.cpp: Windows gives large pages only to processes holding the lock-pages
// privilege, and only for memory allocated as such; the hint does nothing there.
#include "platform/LargePages.h"

namespace Database::Platform {

void PreferLargePages(void*, std::size_t) noexcept {}

}  // namespace Database::Platform

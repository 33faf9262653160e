// WideText.h: UTF-16 text in the library's wide character type, which is wchar_t on Windows and
// char16_t elsewhere (ZrGameDatabase/Platform.h), so one test source serves both.
#pragma once

#include <string>

#include "ZrGameDatabase/Platform.h"

#if defined(_WIN32)
#  define ZRDB_WIDE(text) L##text
#else
#  define ZRDB_WIDE(text) u##text
#endif

namespace Database::Testing {

using WideString = std::basic_string<WideChar>;

}  // namespace Database::Testing

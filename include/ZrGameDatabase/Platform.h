// Platform.h: the export macro of the library and the wide character type of its interfaces.
//
// Every exported class carries ZRDB_API; the library is built with hidden visibility, so nothing
// else leaves it. Wide text is UTF-16 on every platform: wchar_t is UTF-16 only on Windows, so
// elsewhere the interfaces take char16_t.
#pragma once

#if defined(_WIN32)
#  if defined(ZRDB_STATIC)
#    define ZRDB_API
#  elif defined(ZRDB_BUILDING)
#    define ZRDB_API __declspec(dllexport)
#  else
#    define ZRDB_API __declspec(dllimport)
#  endif
#else
#  define ZRDB_API __attribute__((visibility("default")))
#endif

namespace Database {

#if defined(_WIN32)
using WideChar = wchar_t;
#else
using WideChar = char16_t;
#endif

}  // namespace Database

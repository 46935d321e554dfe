#pragma once

// Every Windows ANSI code page, and the one Windows would take for a POSIX locale.

#include <memory>

#include "text/code_page.h"
#include "text/cp1252.h"

namespace nivra {

/// The code page for `id` (874, 932, 936, 949, 950, 1250 to 1258, 65001), or null.
std::unique_ptr<AnsiCodePage> make_code_page(unsigned id);

/// Windows' default ANSI code page for the language of the locale the POSIX variables
/// name (the first set of the three, as setlocale takes them); 1252 for C, POSIX and none,
/// 65001 for a language that Windows gives no ANSI code page. The charset is ignored.
unsigned ansi_code_page_for_locale(const char* lc_all, const char* lc_ctype, const char* lang);

}  // namespace nivra

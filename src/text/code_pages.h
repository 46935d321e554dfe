#pragma once

// Every Windows ANSI code page, and the one Windows would take for a POSIX locale.

#include <memory>
#include <string_view>

#include "text/code_page.h"
#include "text/cp1252.h"

namespace nivra {

/// The code page for `id` (874, 932, 936, 949, 950, 1250 to 1258, 65001), or null.
std::unique_ptr<AnsiCodePage> make_code_page(unsigned id);

/// Windows' default ANSI code page for the language of the locale the POSIX variables
/// name (the first set of the three, as setlocale takes them); 1252 for C, POSIX and none,
/// 65001 for a language that Windows gives no ANSI code page. The charset is ignored.
unsigned ansi_code_page_for_locale(const char* lc_all, const char* lc_ctype, const char* lang);

/// The code page of a run, and where it came from.
struct CodePageChoice {
  unsigned id = 1252;
  std::string_view variable;  ///< the locale variable it came from; "" when none is set
  std::string_view value;     ///< that variable's value
  bool by_language = true;    ///< false: the variables name no language (C, POSIX, none)
};

/// ansi_code_page_for_locale(), with where the choice came from. The views point into the
/// arguments.
CodePageChoice code_page_choice(const char* lc_all, const char* lc_ctype, const char* lang);

}  // namespace nivra

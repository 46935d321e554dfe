#include "text/code_pages.h"

#include <algorithm>
#include <utility>
#include <string_view>

#include "text/code_page_tables.h"
#include "text/double_byte.h"
#include "text/single_byte.h"
#include "text/unicode.h"

namespace nivra {

namespace {

struct LanguageCodePage {
  std::string_view language;
  unsigned code_page;
};

// Windows' default ANSI code page by language; a language not listed takes 1252.
constexpr LanguageCodePage LANGUAGES[] = {
    {"th", 874},    {"ja", 932},    {"zh", 936},    {"ko", 949},
    {"cs", 1250},   {"pl", 1250},   {"hu", 1250},   {"sk", 1250},   {"sl", 1250},
    {"hr", 1250},   {"ro", 1250},   {"sq", 1250},   {"bs", 1250},   {"tk", 1250},
    {"ru", 1251},   {"uk", 1251},   {"be", 1251},   {"bg", 1251},   {"mk", 1251},
    {"sr", 1251},   {"kk", 1251},   {"ky", 1251},   {"tt", 1251},   {"mn", 1251},
    {"ba", 1251},   {"sah", 1251},  {"tg", 1251},
    {"el", 1253},
    {"tr", 1254},   {"az", 1254},   {"uz", 1254},
    {"he", 1255},   {"iw", 1255},
    {"ar", 1256},   {"fa", 1256},   {"ur", 1256},   {"ug", 1256},   {"ckb", 1256},
    {"et", 1257},   {"lv", 1257},   {"lt", 1257},
    {"vi", 1258},
    // Languages that Windows writes in Unicode only.
    {"hi", 65001},  {"bn", 65001},  {"ta", 65001},  {"te", 65001},  {"ml", 65001},
    {"kn", 65001},  {"gu", 65001},  {"pa", 65001},  {"mr", 65001},  {"or", 65001},
    {"as", 65001},  {"ne", 65001},  {"sa", 65001},  {"kok", 65001}, {"si", 65001},
    {"km", 65001},  {"lo", 65001},  {"my", 65001},  {"am", 65001},  {"ti", 65001},
    {"hy", 65001},  {"ka", 65001},  {"bo", 65001},  {"dv", 65001},  {"syr", 65001},
    {"chr", 65001}, {"ps", 65001},  {"mt", 65001},  {"mi", 65001},
};

/// The languages written in both scripts, by the code page of each.
struct ScriptCodePages {
  std::string_view language;
  unsigned latin, cyrillic;
};
constexpr ScriptCodePages BOTH_SCRIPTS[] = {
    {"sr", 1250, 1251}, {"bs", 1250, 1251}, {"uz", 1254, 1251}, {"az", 1254, 1251}};

}  // namespace

std::unique_ptr<AnsiCodePage> make_code_page(unsigned id) {
  if (id == 1252) return std::make_unique<Cp1252CodePage>();
  if (id == 65001) return std::make_unique<Utf8CodePage>();
  for (std::size_t i = 0; i < KNOWN_CODE_PAGE_COUNT; ++i) {
    const CodePageTables& t = KNOWN_CODE_PAGES[i];
    if (t.id != id) continue;
    // Windows also writes a few private-use characters as bytes it refuses to read back;
    // these code pages refuse to write them, so that what one program writes the other
    // reads.
    if (t.dbcs) return std::make_unique<DoubleByteCodePage>(*t.dbcs);
    return std::make_unique<SingleByteCodePage>(*t.single);
  }
  return nullptr;
}

namespace {

unsigned code_page_of_language(std::string_view name);

}  // namespace

unsigned ansi_code_page_for_locale(const char* lc_all, const char* lc_ctype, const char* lang) {
  return code_page_choice(lc_all, lc_ctype, lang).id;
}

CodePageChoice code_page_choice(const char* lc_all, const char* lc_ctype, const char* lang) {
  CodePageChoice choice;
  const std::pair<std::string_view, const char*> variables[] = {
      {"LC_ALL", lc_all}, {"LC_CTYPE", lc_ctype}, {"LANG", lang}};
  for (const auto& [variable, value] : variables) {
    if (value && *value) {
      choice.variable = variable;
      choice.value = value;
      break;
    }
  }
  const std::string_view language =
      choice.value.substr(0, choice.value.find_first_of("_.@"));
  choice.by_language = !language.empty() && language != "C" && language != "POSIX";
  choice.id = code_page_of_language(choice.value);
  return choice;
}

namespace {

unsigned code_page_of_language(std::string_view name) {
  // language[_territory][.charset][@modifier]
  const std::size_t at = name.find('@');
  const std::string_view modifier = at == name.npos ? std::string_view() : name.substr(at + 1);
  const std::string_view base = name.substr(0, std::min(name.find('.'), at));
  const std::size_t underscore = base.find('_');
  const std::string_view language = base.substr(0, underscore);
  const std::string_view territory =
      underscore == base.npos ? std::string_view() : base.substr(underscore + 1);

  if (language == "zh")
    return territory == "TW" || territory == "HK" || territory == "MO" ? 950 : 936;
  for (const ScriptCodePages& s : BOTH_SCRIPTS) {
    if (language != s.language) continue;
    if (modifier == "latin") return s.latin;
    if (modifier == "cyrillic") return s.cyrillic;
  }
  for (const LanguageCodePage& l : LANGUAGES)
    if (language == l.language) return l.code_page;
  return 1252;  // C, POSIX, none, and every language Windows writes in Western code
}

}  // namespace

}  // namespace nivra

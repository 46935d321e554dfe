// Our code pages held to Windows' own under Wine, for every byte, every pair after a lead
// byte and every BMP character. Run by code-pages.sh, which sets up the Windows side:
// NIVRA_CODE_PAGE_DUMP names code_page_dump.exe, WINEPREFIX a fresh prefix.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>

#include "text/code_pages.h"
#include "text/unicode.h"

namespace nivra {
namespace {

/// What Windows makes of a code page, as code_page_dump.exe writes it.
struct WindowsView {
  unsigned acp = 0;
  std::map<unsigned, std::string> bytes;      ///< byte or pair -> "lead", "-" or UTF-8
  std::map<char32_t, std::string> written;    ///< BMP character -> its bytes
};

std::string utf8_of(char32_t cp) {
  std::string s;
  utf8_append(cp, s);
  return s;
}

/// Runs the dump under Wine with LC_ALL set to `locale` and reads it back.
WindowsView windows_view(const std::string& locale) {
  const std::string file = std::string(std::getenv("WINEPREFIX")) + "/dump-" + locale + ".txt";
  const std::string command = "LC_ALL=" + locale + " timeout 300 wine '" +
                              std::getenv("NIVRA_CODE_PAGE_DUMP") + "' '" + file + "'";
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  WindowsView view;
  std::ifstream in(file);
  std::string kind, code, value;
  while (in >> kind >> code) {
    if (kind == "acp") {
      view.acp = unsigned(std::stoul(code));
      continue;
    }
    in >> value;
    const unsigned n = unsigned(std::stoul(code, nullptr, 16));
    if (kind == "u") {
      std::string bytes;
      for (std::size_t i = 0; i < value.size(); i += 2)
        bytes.push_back(char(std::stoul(value.substr(i, 2), nullptr, 16)));
      view.written[n] = bytes;
    } else {
      const bool mark = value == "lead" || value == "-";
      view.bytes[n] = mark ? value : utf8_of(char32_t(std::stoul(value, nullptr, 16)));
    }
  }
  return view;
}

/// What our code page makes of `bytes` read whole: its UTF-8, or "-" when refused.
std::string read_by(AnsiCodePage& page, const std::string& bytes) {
  std::string out;
  const Converted c = page.to_utf8(bytes, true, out);
  return c.lossless() && c.used == bytes.size() ? out : "-";
}

const struct {
  const char* locale;
  unsigned id;
} CODE_PAGES[] = {
    {"th_TH.UTF-8", 874},   {"ja_JP.UTF-8", 932},  {"zh_CN.UTF-8", 936},  {"ko_KR.UTF-8", 949},
    {"zh_TW.UTF-8", 950},   {"pl_PL.UTF-8", 1250}, {"ru_RU.UTF-8", 1251}, {"en_US.UTF-8", 1252},
    {"el_GR.UTF-8", 1253},  {"tr_TR.UTF-8", 1254}, {"he_IL.UTF-8", 1255}, {"ar_SA.UTF-8", 1256},
    {"lt_LT.UTF-8", 1257},  {"vi_VN.UTF-8", 1258}, {"hi_IN.UTF-8", 65001},
};

TEST(WineCodePages, EveryByteAndCharacterAsWindowsHasIt) {
  for (const auto& cp : CODE_PAGES) {
    SCOPED_TRACE(cp.locale);
    const WindowsView windows = windows_view(cp.locale);
    ASSERT_EQ(windows.acp, cp.id);
    ASSERT_EQ(ansi_code_page_for_locale(cp.locale, nullptr, nullptr), cp.id);
    const auto page = make_code_page(cp.id);
    ASSERT_NE(page, nullptr);

    std::ostringstream faults;
    int count = 0;
    const auto fault = [&](const std::string& what) {
      if (++count <= 12) faults << what << "\n";
    };
    char hex[64];
    for (unsigned b = 0; b < 256; ++b) {
      const std::string byte(1, char(b));
      const std::string& expected = windows.bytes.at(b);
      if (expected != "lead") {
        if (read_by(*page, byte) != expected) {
          std::snprintf(hex, sizeof hex, "byte %02X", b);
          fault(hex);
        }
        continue;
      }
      // Alone, a lead byte waits for its trail byte, and is refused at the end.
      std::string out;
      const Converted cut = page->to_utf8(byte, false, out);
      if (cut.used != 0 || !cut.lossless() || read_by(*page, byte) != "-") {
        std::snprintf(hex, sizeof hex, "lead byte %02X alone", b);
        fault(hex);
      }
      for (unsigned t = 0; t < 256; ++t) {
        const auto it = windows.bytes.find(b << 8 | t);
        const std::string expected_pair = it == windows.bytes.end() ? "-" : it->second;
        if (read_by(*page, byte + char(t)) != expected_pair) {
          std::snprintf(hex, sizeof hex, "pair %02X%02X", b, t);
          fault(hex);
        }
      }
    }
    for (char32_t c = 0; c < 0x10000; ++c) {
      if (c >= 0xD800 && c < 0xE000) continue;
      const auto it = windows.written.find(c);
      std::string out;
      const Converted w = page->from_utf8(utf8_of(c), true, out);
      const std::string ours = w.lossless() ? out : "-";
      // Bytes Windows writes but does not read back as the character are refused.
      const std::string written = it == windows.written.end() ? "-" : it->second;
      bool read_back = true;
      if (written != "-" && cp.id != 65001) {
        const auto* b = reinterpret_cast<const unsigned char*>(written.data());
        const unsigned code = written.size() == 1 ? b[0] : b[0] << 8 | b[1];
        const auto read = windows.bytes.find(code);
        read_back = written.size() <= 2 && read != windows.bytes.end() && read->second == utf8_of(c);
      }
      if (ours != (read_back ? written : std::string("-"))) {
        std::snprintf(hex, sizeof hex, "U+%04X", unsigned(c));
        fault(hex);
      }
    }
    EXPECT_EQ(count, 0) << "first differences from Windows:\n" << faults.str();
  }
}

// Windows takes the code page from the language as we do, wherever Wine knows the locale
// (it knows neither script of sr_RS, bs_BA, uz_UZ and az_AZ, and gives kk_KZ 65001).
TEST(WineCodePages, LanguagesTakeWindowsCodePage) {
  const char* const locales[] = {
      "cs_CZ", "pl_PL", "hu_HU", "sk_SK", "sl_SI", "hr_HR", "ro_RO", "sq_AL", "tk_TM", "ru_RU",
      "uk_UA", "be_BY", "bg_BG", "mk_MK", "ky_KG", "tt_RU", "mn_MN", "ba_RU", "sah_RU", "tg_TJ",
      "tr_TR", "ar_EG", "fa_IR", "ur_PK", "ug_CN", "ckb_IQ", "et_EE", "lv_LV", "vi_VN", "zh_SG",
      "zh_HK", "zh_MO", "bn_IN", "ta_IN", "te_IN", "ml_IN", "kn_IN", "gu_IN", "pa_IN", "mr_IN",
      "or_IN", "as_IN", "ne_NP", "sa_IN", "kok_IN", "si_LK", "km_KH", "lo_LA", "my_MM", "am_ET",
      "ti_ER", "hy_AM", "ka_GE", "bo_CN", "dv_MV", "syr_SY", "chr_US", "ps_AF", "mt_MT", "mi_NZ",
      "de_DE", "fr_FR", "es_ES", "pt_BR", "it_IT", "nl_NL", "sv_SE", "da_DK", "nb_NO", "fi_FI",
      "is_IS", "ga_IE", "cy_GB", "eu_ES", "ca_ES", "af_ZA", "sw_KE", "id_ID", "iu_CA", "hsb_DE"};
  for (const char* locale : locales) {
    const std::string command = std::string("LC_ALL=") + locale + ".UTF-8 timeout 120 wine '" +
                                std::getenv("NIVRA_CODE_PAGE_DUMP") + "'";
    // A loaded machine may make Wine miss its time once: a second try, then a failure.
    unsigned acp = 0;
    int got = 0;
    for (int attempt = 0; attempt < 2 && got != 1; ++attempt) {
      FILE* pipe = popen(command.c_str(), "r");
      ASSERT_NE(pipe, nullptr);
      got = std::fscanf(pipe, "%u", &acp);
      pclose(pipe);
    }
    ASSERT_EQ(got, 1) << command;
    EXPECT_EQ(ansi_code_page_for_locale(locale, nullptr, nullptr), acp) << locale;
  }
}

}  // namespace
}  // namespace nivra

#include "platform/win32/win32_code_page.h"

#include <windows.h>

#include "text/unicode.h"

namespace nivra {

namespace {

constexpr std::size_t npos = std::string_view::npos;

}  // namespace

/// The buffers of one conversion, taken from the spares and given back.
class Win32CodePage::Borrowed {
 public:
  explicit Borrowed(Win32CodePage& page) : page_(page) {
    Lock lock(page_.mutex_);
    if (!page_.spare_.empty()) {
      scratch_ = std::move(page_.spare_.back());
      page_.spare_.pop_back();
    }
  }
  ~Borrowed() {
    if (!scratch_) return;
    Lock lock(page_.mutex_);
    page_.spare_.push_back(std::move(scratch_));
  }
  Borrowed(const Borrowed&) = delete;
  Borrowed& operator=(const Borrowed&) = delete;
  Scratch& operator*() {
    if (!scratch_) scratch_ = std::make_unique<Scratch>();
    return *scratch_;
  }

 private:
  Win32CodePage& page_;
  std::unique_ptr<Scratch> scratch_;
};

Win32CodePage::Win32CodePage() : id_(GetACP()) {
  CPINFO info;
  if (GetCPInfo(CP_ACP, &info) && info.MaxCharSize == 2) {
    pairs_ = true;
    for (int i = 0; i + 1 < MAX_LEADBYTES && info.LeadByte[i]; i += 2)
      for (unsigned b = info.LeadByte[i]; b <= info.LeadByte[i + 1]; ++b) lead_[b] = true;
  }
}

std::size_t Win32CodePage::whole_length(std::string_view text) const {
  std::size_t i = 0;
  while (i < text.size()) i += lead_[static_cast<unsigned char>(text[i])] ? 2 : 1;
  return i > text.size() ? text.size() - 1 : text.size();
}

bool Win32CodePage::to_wide(Scratch& s, unsigned code_page, std::string_view text) {
  s.wide.resize(text.size());  // never more units than bytes, from either code page
  if (text.empty()) return true;
  const int n = MultiByteToWideChar(code_page, 0, text.data(), int(text.size()), s.wide.data(),
                                    int(s.wide.size()));
  s.wide.resize(std::size_t(n));
  return n > 0;
}

bool Win32CodePage::from_wide(Scratch& s, unsigned code_page, std::string& out, bool* inexact) {
  if (s.wide.empty()) return true;
  BOOL used_default = FALSE;
  // Without WC_NO_BEST_FIT_CHARS Windows writes a look-alike (A for U+0100) and says
  // nothing; with it, a character without an exact counterpart sets the flag. UTF-8
  // takes neither.
  const bool utf8 = code_page == CP_UTF8;
  const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
  BOOL* used = utf8 ? nullptr : &used_default;
  const int units = int(s.wide.size());
  const int n =
      WideCharToMultiByte(code_page, flags, s.wide.data(), units, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return false;
  const std::size_t at = out.size();
  out.resize(at + std::size_t(n));
  const int written =
      WideCharToMultiByte(code_page, flags, s.wide.data(), units, out.data() + at, n, nullptr, used);
  if (written != n) {
    out.resize(at);
    return false;
  }
  if (inexact) *inexact = used_default;
  return true;
}

std::size_t Win32CodePage::first_undecodable(unsigned code_page, std::string_view text) const {
  // The service fails on no text at all: a piece that was only a lead byte cut at its end.
  if (text.empty()) return npos;
  if (MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text.data(), int(text.size()), nullptr,
                          0) != 0)
    return npos;
  // Character by character, a lead byte with its trail byte, to find the first bad one.
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t len =
        lead_[static_cast<unsigned char>(text[i])] && i + 1 < text.size() ? 2 : 1;
    if (MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, text.data() + i, int(len), nullptr,
                            0) == 0)
      return i;
    i += len;
  }
  return 0;  // bad only as a whole: blame its start
}

bool Win32CodePage::reads_back(Scratch& s) {
  if (s.probe.empty()) return s.wide.empty();
  s.back.resize(s.probe.size());  // never more units than bytes
  const int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, s.probe.data(),
                                    int(s.probe.size()), s.back.data(), int(s.back.size()));
  return n > 0 && std::wstring_view(s.back.data(), std::size_t(n)) == s.wide;
}

std::size_t Win32CodePage::first_unmappable(Scratch& s, std::string_view text) {
  bool inexact = false;
  s.probe.clear();
  if (!to_wide(s, CP_UTF8, text) || !from_wide(s, CP_ACP, s.probe, &inexact)) return 0;
  // Windows writes a few private-use characters as bytes it refuses to read: they are
  // refused as a character without bytes is.
  if (!inexact && reads_back(s)) return npos;
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  for (const auto* c = p; c < end;) {
    char32_t cp = 0;
    const std::size_t len = utf8_decode(c, end, cp);
    s.probe.clear();
    if (!to_wide(s, CP_UTF8, std::string_view(reinterpret_cast<const char*>(c), len)) ||
        !from_wide(s, CP_ACP, s.probe, &inexact) || inexact || !reads_back(s))
      return std::size_t(c - p);
    c += len;
  }
  return 0;
}

Converted Win32CodePage::to_utf8(std::string_view text, bool last, std::string& out) {
  const std::string_view piece = last ? text : text.substr(0, whole_length(text));
  Converted c;
  c.loss = first_undecodable(CP_ACP, piece);
  c.used = c.loss == npos ? piece.size() : c.loss;
  Borrowed scratch(*this);
  if (!to_wide(*scratch, CP_ACP, piece.substr(0, c.used)) ||
      !from_wide(*scratch, CP_UTF8, out, nullptr))
    c.failed = true;
  return c;
}

Converted Win32CodePage::from_utf8(std::string_view text, bool last, std::string& out) {
  const std::string_view piece = last ? text : text.substr(0, utf8_whole_length(text));
  // Windows decodes malformed UTF-8 without a word, so its validity is checked strictly
  // here; what is valid goes to the system's own tables.
  const std::size_t invalid = utf8_first_invalid(piece);
  const std::string_view valid = piece.substr(0, invalid);
  Borrowed scratch(*this);
  const std::size_t unmappable = first_unmappable(*scratch, valid);
  Converted c;
  c.loss = unmappable != npos ? unmappable : invalid;
  c.used = c.loss == npos ? piece.size() : c.loss;
  bool inexact = false;
  if (!to_wide(*scratch, CP_UTF8, piece.substr(0, c.used)) ||
      !from_wide(*scratch, CP_ACP, out, &inexact) || inexact)
    c.failed = true;
  return c;
}

}  // namespace nivra

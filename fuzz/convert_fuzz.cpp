// libFuzzer target: arbitrary bytes converted by the vector code and by the portable code,
// which must agree; then the bytes as the content of one source file, signed and then
// unsigned by convert_file on a real folder. Whatever the bytes, a file that is left
// alone is unchanged and a converted one has its backup; for ANSI text (no signature,
// no UTF-16 or UTF-32 byte-order mark, not UTF-8 text already) unsign after sign gives it back.

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "convert/convert_file.h"
#include "platform/posix/posix_host.h"
#include "platform/posix/posix_platform.h"
#include "text/code_page.h"
#include "text/cp1252.h"
#include "text/unicode.h"
#include "text/vector.h"

namespace {

using namespace nivra;

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "property broken: %s\n", what);
  std::abort();
}

/// The folder the file is converted in; a plain array, so that it outlives exit().
const char* folder() {
  static char path[64] = "";
  if (!*path) {
    // In memory where there is a tmpfs: replacing files on a disk waits for the disk.
    std::strcpy(path, access("/dev/shm", W_OK) == 0 ? "/dev/shm/nivra-fuzz-XXXXXX"
                                                    : "/tmp/nivra-fuzz-XXXXXX");
    check(mkdtemp(path) != nullptr, "mkdtemp");
    std::atexit([] {
      for (const char* name : {"/f.c", "/f.c.OLD"}) unlink((std::string(path) + name).c_str());
      rmdir(path);
    });
  }
  return path;
}

/// The path of `name` in the folder.
std::string at(const std::string& name) { return std::string(folder()) + "/" + name; }

std::string read(const std::string& name) {
  std::string out;
  const int fd = open(at(name).c_str(), O_RDONLY);
  if (fd < 0) return "<missing>";
  char buf[65536];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) out.append(buf, std::size_t(n));
  close(fd);
  return out;
}

/// The names in the folder, temporaries included.
std::size_t entries() {
  std::size_t n = 0;
  DIR* d = opendir(folder());
  while (const dirent* e = readdir(d))
    n += std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0;
  closedir(d);
  return n;
}

/// Runs convert_file over f.c in `direction`; returns the message it would print.
std::string convert(Direction direction) {
  PosixPlatform platform;
  PosixHost host;
  Cp1252CodePage acp;
  Budget budget;
  Converter converter(platform, host, acp, direction, budget);
  Dir dir;
  check(platform.open_root(folder(), dir).ok(), "open folder");
  const Outcome outcome = converter.convert_file(dir, "f.c", at("f.c"));
  platform.close_dir(dir);
  return std::string(outcome.message);
}

/// Windows-1252 with gaps, and characters of three bytes and beyond the BMP in place of
/// some of its own: every path of the single-byte code.
const SingleByteTable& gapped_table() {
  static const SingleByteTable table = [] {
    SingleByteTable t = cp1252_table();
    for (unsigned i = 0; i < 128; i += 9) t.high[i] = NO_CHARACTER;
    for (unsigned i = 4; i < 128; i += 11) t.high[i] = 0x0E00 + i;
    t.high[0x7F] = 0x1F600;
    return t;
  }();
  return table;
}

/// What every conversion makes of `text` with the code in use, as one string.
std::string conversions(std::string_view text) {
  SingleByteCodePage gapped(gapped_table());
  Cp1252CodePage cp1252;
  std::string all = std::to_string(utf8_first_invalid(text)) + std::to_string(is_ascii(text));
  for (bool last : {true, false}) {
    for (AnsiCodePage* page : {static_cast<AnsiCodePage*>(&gapped),
                               static_cast<AnsiCodePage*>(&cp1252)}) {
      for (int way = 0; way < 2; ++way) {
        std::string out;
        const Converted c = way == 0 ? page->to_utf8(text, last, out)
                                     : page->from_utf8(text, last, out);
        all += "|" + std::to_string(c.used) + " " + std::to_string(c.loss) + " " + out;
      }
    }
    std::string out;
    const Converted c = copy_utf8(text, last, out);
    all += "|" + std::to_string(c.used) + " " + std::to_string(c.loss) + " " + out;
  }
  return all;
}

/// The vector code of each instruction set gives what the portable code gives.
void compare_with_portable(std::string_view text) {
  const TextKernels& before = text_kernels();
  use_text_kernels(portable_text_kernels());
  const std::string expected = conversions(text);
  for (const TextKernels* k : runnable_text_kernels()) {
    use_text_kernels(*k);
    check(conversions(text) == expected, k->name);
  }
  use_text_kernels(before);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  compare_with_portable(std::string_view(reinterpret_cast<const char*>(data), size));
  // Short inputs repeated, so that they fill the vector code's blocks of up to 64 bytes.
  if (size > 0 && size < 300) {
    std::string repeated;
    while (repeated.size() < 300) repeated += input;
    compare_with_portable(repeated);
  }
  unlink(at("f.c.OLD").c_str());
  const int fd = open(at("f.c").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  check(fd >= 0 && write(fd, input.data(), size) == ssize_t(size) && close(fd) == 0, "write");

  const bool is_signed = input.starts_with(UTF8_SIGNATURE);
  // A UTF-16 or UTF-32 byte-order mark (FF FE 00 00 begins with the UTF-16 one).
  const bool utf16 = input.starts_with("\xFF\xFE") || input.starts_with("\xFE\xFF") ||
                     input.starts_with(std::string_view("\0\0\xFE\xFF", 4));
  const bool utf8_text = !is_ascii(input) && utf8_first_invalid(input) == std::string::npos;

  // Unsign first: either converted, with the input as backup, or left as it was.
  const std::string unsigned_out = convert(Direction::unsign);
  if (unsigned_out.empty()) {
    check(is_signed && read("f.c.OLD") == input, "unsign kept its backup");
  } else {
    check(read("f.c") == input && read("f.c.OLD") == "<missing>", "unsign left the file alone");
  }
  check(entries() == (unsigned_out.empty() ? 2 : 1), "no temporary left by unsign");

  // Then sign the original content.
  unlink(at("f.c.OLD").c_str());
  const int again = open(at("f.c").c_str(), O_WRONLY | O_TRUNC);
  check(again >= 0 && write(again, input.data(), size) == ssize_t(size) && close(again) == 0,
        "rewrite");
  const std::string signed_out = convert(Direction::sign);
  check(entries() == (signed_out.empty() ? 2 : 1), "no temporary left by sign");
  if (!signed_out.empty()) {
    check(is_signed || utf16, "only signed, UTF-16 or UTF-32 files are left alone by sign");
    check(read("f.c") == input && read("f.c.OLD") == "<missing>", "sign left the file alone");
    return 0;
  }
  const std::string signed_form = read("f.c");
  check(signed_form.starts_with(UTF8_SIGNATURE) && read("f.c.OLD") == input, "sign's backup");
  check(utf8_first_invalid(signed_form) == std::string::npos, "sign writes UTF-8");
  if (utf8_text) check(signed_form.substr(3) == input, "UTF-8 text keeps its bytes");
  if (is_signed || utf16 || utf8_text) return 0;

  // ANSI: the round trip gives back every byte, and the backup holds the signed form.
  unlink(at("f.c.OLD").c_str());
  check(convert(Direction::unsign).empty(), "the signed form of ANSI text unsigns");
  check(read("f.c") == input, "unsign(sign(x)) == x");
  check(read("f.c.OLD") == signed_form, "unsign's backup is the signed form");
  return 0;
}

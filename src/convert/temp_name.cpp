#include "convert/temp_name.h"

#include "platform/file_system.h"
#include "platform/io.h"

namespace nivra {

namespace {

constexpr std::string_view TEMPORARY_PREFIX = ".nivra-";
constexpr std::size_t DIGEST_DIGITS = 16;
constexpr std::string_view KIND_TEXT[] = {"new", "old", "cpy", "was", "nam", "bak", "lnk", ""};

/// The prefix of the file whose name has the digest `digest`.
std::string prefix_of(std::uint64_t digest) {
  std::string out(TEMPORARY_PREFIX);
  hex::append(out, digest, DIGEST_DIGITS);
  out.push_back('-');
  return out;
}

}  // namespace

std::string_view TempName::kind_text(Kind kind) { return KIND_TEXT[int(kind)]; }

std::string TempName::format() const {
  std::string out = prefix_of(digest);
  out.append(run.format()).append(".").append(kind_text(kind));
  return out;
}

std::optional<TempName> TempName::parse(std::string_view name) {
  const std::size_t from = TEMPORARY_PREFIX.size() + DIGEST_DIGITS + 1, dot = name.rfind('.');
  if (!name.starts_with(TEMPORARY_PREFIX) || dot == name.npos || dot < from ||
      name[from - 1] != '-')
    return std::nullopt;
  const auto digest = hex::value(name.substr(TEMPORARY_PREFIX.size(), DIGEST_DIGITS));
  const auto run = RunTag::parse(name.substr(from, dot - from));
  if (!digest || !run) return std::nullopt;
  TempName out{*digest, *run, Kind::other};
  for (int k = 0; k < int(Kind::other); ++k)
    if (name.substr(dot + 1) == KIND_TEXT[k]) out.kind = Kind(k);
  return out;
}

std::string TempName::prefix(std::string_view name) { return prefix_of(of(name, {}, {}).digest); }

std::string TempName::with_kind(std::string_view temp, Kind kind) {
  std::string out(temp.substr(0, temp.rfind('.') + 1));
  return out.append(kind_text(kind));
}

bool is_temporary_name(std::string_view name) { return name.starts_with(TEMPORARY_PREFIX); }

std::string temporary_prefix(const std::string& name) { return TempName::prefix(name); }

std::string temporary_name(const std::string& name, std::string_view kind, std::string_view run) {
  std::string out = TempName::prefix(name);
  out.append(run).append(".").append(kind);
  return out;
}

Status write_name_record(FileSystem& fs, Dir dir, const std::string& temp,
                         const std::string& name) {
  const std::string record = name_record(temp);
  File file;
  Status s = fs.create(dir, record, file);
  if (!s.ok()) return s;
  s = write_all(fs, file, name);
  const Status closed = fs.close(file);
  if (s.ok()) s = closed;
  if (!s.ok()) fs.remove(dir, record);
  return s;
}

std::string read_name_record(FileSystem& fs, Dir dir, const std::string& record) {
  File file;
  if (!fs.open_read(dir, record, file).ok()) return {};
  FileStat stat;
  std::string name;
  if (fs.stat(file, stat).ok() && stat.regular && stat.size != 0 && stat.size <= NAME_RECORD_MAX)
    name.resize(std::size_t(stat.size));
  if (!read_fully(fs, file, 0, name.data(), name.size()).ok()) name.clear();
  fs.close(file);
  return name;
}

}  // namespace nivra

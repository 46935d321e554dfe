#include "main/program.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "convert/reasons.h"
#include "platform/threads.h"
#include "walk/walk.h"

namespace nivra {

Status find_root(Host& host, std::string_view argv0, std::string& root) {
  const char sep = host.separator();
  std::string source(argv0);
  if (source.find(sep) == std::string::npos) {
    const Status s = host.executable_path(source);
    if (!s.ok()) return s;
  }
  // A program in the root of the file system gets "" (on Windows, the drive: "C:").
  root = source.substr(0, source.rfind(sep));
  return Status{};
}

namespace {

constexpr std::string_view NOT_THE_PROGRAMS =
    "does not hold the running program under its name";
constexpr std::string_view FOUND_THROUGH_PATH =
    "found through PATH, in a folder of programs, not in a tree: copy the program into the "
    "root of the tree and start it by its path, as ./";
constexpr std::string_view ARGUMENTS_IGNORED =
    ": arguments are ignored: the tree is always the folder that holds the program\n";
constexpr std::string_view PROGRAM_UNKNOWN = "the system cannot tell which file the program is";

enum class Holding { yes, no, unknown };

/// Opens folder `root` (whose path may lead through links) where it holds the running
/// program as `name`, the same file as the system's own; `holding` says whether it does.
Status open_holding(FileSystem& platform, Host& host, const std::string& root,
                    const std::string& name, Dir& dir, Holding& holding) {
  const Status s = platform.open_root(root, dir);
  if (!s.ok()) return s;
  FileStat program, named;
  if (!host.executable_stat(program))
    holding = host.identifies_program() ? Holding::unknown : Holding::yes;
  else if (platform.stat_at(dir, name, named).ok() && named.same_file(program))
    holding = Holding::yes;
  else
    holding = Holding::no;
  if (holding != Holding::yes) platform.close_dir(dir);
  return Status{};
}

}  // namespace

int run_program(FileSystem& platform, Host& host, AnsiCodePage& acp, Direction direction,
                Reporter& reporter, std::string_view argv0, unsigned processors,
                const CodePageChoice& choice) {
  Walk run(platform, host, acp, direction, reporter);
  run.name_code_page(choice);
  const char sep = host.separator();
  // Where '/' separates, a bare name was found through PATH (Windows' cmd looks in the
  // current folder first, so there it means the program's own folder).
  if (sep == '/' && !argv0.empty() && argv0.find(sep) == std::string_view::npos) {
    std::string why(FOUND_THROUGH_PATH);
    run.report(Outcome{Outcome::failed, MSG_DIR_FAILED, std::string(argv0), why.append(argv0)});
    return 1;
  }
  std::string root;
  Status s = find_root(host, argv0, root);
  if (!s.ok()) {
    run.report(Outcome{Outcome::failed, MSG_DIR_FAILED, std::string(argv0), reason(platform, s)});
    return 1;
  }
  // The folder must hold the program itself under the name argument 0 gives: one on the
  // path may have been swapped for a link since the program started. Else the folder of the
  // running program is taken, which must hold it under that name too.
  const std::string shown = root.empty() ? std::string(1, sep) : root;
  const bool named = argv0.find(sep) != std::string_view::npos;
  Dir dir;
  Holding holds = Holding::yes;
  std::string name;
  if (named) {
    name = argv0.substr(argv0.rfind(sep) + 1);
    s = open_holding(platform, host, root, name, dir, holds);
  }
  if (!named || (s.ok() && holds == Holding::no)) {
    std::string program;
    s = host.executable_path(program);
    const std::size_t cut = program.rfind(sep);
    if (s.ok() && cut == std::string::npos) s = Status{Fault::not_found, ENOENT};
    if (s.ok()) {
      root = program.substr(0, cut);
      if (!named) name = program.substr(cut + 1);
      s = open_holding(platform, host, root, name, dir, holds);
    }
  }
  if (s.ok() && holds != Holding::yes) {
    const std::string_view why = holds == Holding::no ? NOT_THE_PROGRAMS : PROGRAM_UNKNOWN;
    run.report(Outcome{Outcome::failed, MSG_DIR_FAILED, shown, std::string(why)});
    return 1;
  }
  if (!s.ok()) {
    run.report(Outcome{Outcome::failed, MSG_DIR_FAILED, shown, reason(platform, s)});
    return 1;
  }
  // On a share what the file system can do is learnt before the files beside the first
  // are converted: the platform asks of the folder now, and the first file goes alone.
  const bool shared = platform.caps(dir).shared;
  run.use_workers(worker_count(processors, shared), shared);
  run.walk_directory(dir, root);
  platform.close_dir(dir);
  return run.failed() ? 1 : 0;
}

int program_main(int argc, native_char** argv, Direction direction) {
  System system = start_system(argc, argv);
  if (argc > 1)
    system.reporter->diagnostic(std::string(traits(direction).program).append(ARGUMENTS_IGNORED));
  int status = run_program(*system.files, *system.host, *system.code_page, direction,
                           *system.reporter, system.argv0, processors(),
                           system.code_page_choice);
  if (!system.reporter->finish()) {
    std::fprintf(stderr, "%s: standard output: %s\n", traits(direction).program.data(),
                 std::strerror(errno));
    status = 1;
  }
  return status;
}

}  // namespace nivra

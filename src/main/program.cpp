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

int run_program(FileSystem& platform, Host& host, AnsiCodePage& acp, Direction direction,
                Reporter& reporter, std::string_view argv0, unsigned processors) {
  std::string root;
  Status s = find_root(host, argv0, root);
  if (!s.ok()) {
    Walk run(platform, host, acp, direction, reporter);
    run.report(Outcome{Outcome::failed, MSG_DIR_FAILED, std::string(argv0), reason(platform, s)});
    return 1;
  }
  Dir dir;
  s = platform.open_root(root, dir);
  if (!s.ok()) {
    Walk run(platform, host, acp, direction, reporter);
    run.report(Outcome{Outcome::failed, MSG_DIR_FAILED,
                       root.empty() ? std::string(1, host.separator()) : root,
                       reason(platform, s)});
    return 1;
  }
  Walk run(platform, host, acp, direction, reporter,
           worker_count(processors, platform.shared(dir)));
  run.walk_directory(dir, root);
  platform.close_dir(dir);
  return run.failed() ? 1 : 0;
}

int program_main(int argc, native_char** argv, Direction direction) {
  System system = start_system(argc, argv);
  int status = run_program(*system.files, *system.host, *system.code_page, direction,
                           *system.reporter, system.argv0, processors());
  if (!system.reporter->finish()) {
    std::fprintf(stderr, "%s: standard output: %s\n", traits(direction).program.data(),
                 std::strerror(errno));
    status = 1;
  }
  return status;
}

}  // namespace nivra

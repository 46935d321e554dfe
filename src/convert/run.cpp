#include "convert/run.h"

namespace nivra {

void report_failure(Run& run, std::string_view message, std::string_view path,
                    std::string_view reason) {
  run.failed = true;
  run.reporter.message(message);
  std::string line(traits(run.direction).program);
  line.append(": ").append(path).append(": ").append(reason).append("\n");
  run.reporter.diagnostic(line);
}

void report_skip(Run& run, std::string_view message) { run.reporter.message(message); }

}  // namespace nivra

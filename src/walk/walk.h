#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "convert/convert_file.h"
#include "platform/reporter.h"
#include "text/code_pages.h"
#include "walk/workers.h"

namespace nivra {

/// True when `name`, an entry's bare name, ends in .c, .cpp or .h in any case.
bool is_source_file(std::string_view name);

/// How many files a run converts at once: one for each processor it may use, at most 8;
/// 16 on a share. With a single processor, one: no threads at all.
unsigned worker_count(unsigned processors, bool shared);

/// One walk of a tree: converts what it meets and reports what became of it.
class Walk {
 public:
  /// With `workers` above 1, that many files are converted side by side; what is
  /// reported, and in which order, stays what one file at a time gives.
  Walk(FileSystem& fs, Host& host, AnsiCodePage& acp, Direction direction, Reporter& reporter,
       unsigned workers = 1)
      : fs_(fs),
        host_(host),
        direction_(direction),
        reporter_(reporter),
        budget_(workers, host.open_files()),
        converter_(fs, host, acp, direction, budget_) {}

  /// How many files the walk converts at once from now on. With `first_alone`, the first
  /// file is converted before any other starts: what the file system is learnt from it
  /// (whether it keeps links, lists attributes) is known before the workers meet it.
  void use_workers(unsigned workers, bool first_alone = false) {
    budget_.set_workers(workers);
    first_alone_ = first_alone;
  }
  /// Walks `dir` (whose path is `path`) depth first, in the order the system lists it:
  /// every subdirectory is walked when it is met, every source file converted.
  void walk_directory(Dir dir, const std::string& path);
  /// Prints the message of `outcome`, and for a skip or a failure "PROGRAM: PATH: REASON"
  /// on standard error.
  void report(const Outcome& outcome);
  /// Where `choice` came from no language, its notice goes to standard error once, before
  /// the outcome of the first file whose text beyond ASCII meets the code page.
  void name_code_page(const CodePageChoice& choice);
  /// Whether anything failed so far.
  bool failed() const { return failures_ > 0; }

 private:
  struct Level;
  /// Reports what the walk itself meets, in its place among the conversions' outcomes.
  using Note = std::function<void(const Outcome&)>;
  /// Lists `dir`, whose path is `path`, onto the top of `stack`, and puts back the
  /// originals of names a killed run left empty there. `opened_by`: the walk's budget,
  /// where the walk opened `dir` and its folder closes it.
  void enter(std::vector<Level>& stack, Dir dir, Budget* opened_by, const std::string& path,
             const Note& note);
  /// Handles `entry`, whose path is `path`, of the folder on top of `stack`: walks into a
  /// subdirectory, converts a source file (on `workers` where there are some).
  void visit(std::vector<Level>& stack, const Entry& entry, const std::string& path,
             Workers* workers, const Note& note);

  FileSystem& fs_;
  Host& host_;
  Direction direction_;
  Reporter& reporter_;
  Budget budget_;  ///< what the files converted at once share; before converter_, which holds it
  Converter converter_;
  bool first_alone_ = false;
  int failures_ = 0;
  std::string code_page_notice_;  ///< "" once given, or when there is none to give
};

}  // namespace nivra

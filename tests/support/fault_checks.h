#pragma once

// What a run that met a fault may leave, checked against the same run without it, and the
// tree the fault tests run over: for the in-memory platform and the real one alike.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "convert/direction.h"

namespace nivra::test {

/// Every name below a root by relative path, as the snapshots of the trees give it.
using Tree = std::map<std::string, std::string>;

/// One run: its exit status, what it printed, and the tree it left.
struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
  Tree tree;
};

/// The tree a run meets, and what the same run does with no fault.
struct Unfaulted {
  Tree before;
  RunResult after;
};

/// A file of the fault tests' tree, with its content and permission bits, or a symbolic
/// link to `target`.
struct TreeEntry {
  std::string path;
  std::string content;
  unsigned mode = 0644;
  std::string target;  ///< of a symbolic link; "" for a file
};
/// A dozen source files of every kind the programs meet, and some they must leave alone.
const std::vector<TreeEntry>& fault_tree();

/// What `tree` holds at `path`, if anything.
std::optional<std::string> at(const Tree& tree, const std::string& path);

/// Checks run `r` of `direction` over the tree at `root`, which met an injected fault or
/// was killed, against the unfaulted run `b`: every name holds its complete old or new
/// content; a converted file has its original as NAME.OLD (or, where the last rename
/// failed, under its temporary name); no temporary is left but by a failed removal or
/// as the only copy of an original. A run that succeeded is the unfaulted one; one that
/// failed prints only failure and skip messages, and one diagnostic on a path under `root`
/// for each failure.
void check_faulted(const Unfaulted& b, const RunResult& r, Direction direction,
                   std::string_view root, bool removal_failed);

}  // namespace nivra::test

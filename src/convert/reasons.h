#pragma once

// The words for why a file or folder failed, as the diagnostics on standard error give
// them: the core's own for the faults it detects itself, the system's for the others.

#include <string>

#include "platform/file_system.h"

namespace nivra {

/// The words for the faults that the core itself detects, whatever the system; null for
/// the others, which only the platform can describe.
inline const char* describe_own_fault(const Status& status) {
  switch (status.fault) {
    case Fault::none: return "no error";
    case Fault::too_large: return "not enough memory";
    case Fault::stalled: return "the system stored nothing and gave no reason";
    case Fault::replaced: return "another file was put under its name while it was converted";
    case Fault::modified: return "its content changed while it was converted";
    default: return nullptr;
  }
}

/// Why a call failed, in the words a diagnostic gives.
inline std::string reason(FileSystem& fs, const Status& status) {
  if (const char* own = describe_own_fault(status)) return own;
  return fs.describe(status);
}

}  // namespace nivra

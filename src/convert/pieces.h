#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "convert/budget.h"
#include "convert/read_buffer.h"
#include "convert/transcode_lines.h"
#include "platform/threads.h"

namespace nivra {

/// How text of an encoding may be cut so that no character straddles the cut.
enum class CutRule {
  anywhere,         ///< a single-byte code page: every byte is a character
  after_low_byte,   ///< a double-byte code page: after a byte below 0x40, never a trail byte
  utf8_start,       ///< before a byte that does not continue a UTF-8 character
  utf16le_start,    ///< at an even offset, before a code unit that is no low surrogate
  utf16be_start,
  every_fourth,     ///< UTF-32: at an offset that is a multiple of four
};

/// The rule for text in `source`, where the ANSI code page is the one numbered `acp`.
CutRule cut_rule(Encoding source, unsigned acp);

/// The last offset `c` of `text` with `from <= c` where `text` may be cut by `rule`, such
/// that the bytes before `c` and those after it convert as they would together; npos if
/// there is none. Only what `text` holds is looked at: `c` may equal text.size() only
/// where the byte before the cut decides.
std::size_t last_cut(std::string_view text, std::size_t from, CutRule rule);

/// Threads that convert the pieces of one large file at once, each into its own buffer,
/// while the owner reads the next pieces and writes out the finished ones in order. The
/// threads of every file together hold at most Budget::PIECES pieces, so that memory stays
/// bounded whatever the number of files converted side by side.
class Pieces {
 public:
  /// The text is cut about this many bytes apart.
  static constexpr std::size_t PIECE_BYTES = std::size_t(512) << 10;
  /// A cut is looked for at most this far back from the end of what was read.
  static constexpr std::size_t MOST_CARRIED = std::size_t(64) << 10;

  struct Slot {
    ReadBuffer input;
    std::size_t size = 0;     ///< bytes of input that make the piece
    std::uint64_t at = 0;     ///< the offset of the piece in its file
    std::string output;
    Converted converted;
    bool short_of_memory = false;  ///< the piece could not get the memory it needed
    bool busy = false;        ///< handed to its thread, not yet taken back
    Semaphore go;             ///< posted when the piece is handed over, or to stop
    Semaphore done;           ///< posted when the piece is converted
    std::unique_ptr<Thread> thread;
  };

  /// Up to `threads` threads converting with `transcoder`; fewer where other files hold
  /// the pieces of `budget`, or where the system gives no more threads.
  Pieces(const Transcoder& transcoder, unsigned threads, Budget& budget);
  /// Waits for the pieces handed over, and stops the threads.
  ~Pieces();
  Pieces(const Pieces&) = delete;
  Pieces& operator=(const Pieces&) = delete;

  /// How many pieces are converted at once; below 2 the file is better converted in turn.
  std::size_t count() const { return slots_.size(); }
  Slot& slot(std::size_t i) { return *slots_[i % slots_.size()]; }
  /// Hands the slot's piece to its thread.
  void hand(Slot& slot);
  /// Waits until the slot's piece is converted, if it was handed over.
  void take(Slot& slot);

 private:
  void convert(Slot& slot);
  Converted convert_piece(Slot& slot);

  Transcoder transcoder_;
  Budget& budget_;
  std::vector<std::unique_ptr<Slot>> slots_;
  bool stopping_ = false;
};

}  // namespace nivra

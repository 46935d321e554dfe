#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "convert/budget.h"
#include "convert/direction.h"
#include "convert/pieces.h"
#include "convert/read_buffer.h"
#include "convert/replace.h"
#include "platform/file_system.h"
#include "platform/host.h"
#include "text/code_page.h"

namespace nivra {

/// Converts files in one direction, reusing its buffers from file to file.
class Converter {
 public:
  /// Large files, pieces and writing behind take their share of `budget`, which the
  /// copies of the converter share.
  Converter(FileSystem& fs, Host& host, AnsiCodePage& acp, Direction direction,
            Budget& budget);

  /// Rewrites the source file `name` of `dir` (whose full path is `path`) in the
  /// direction, keeping its former content as NAME.OLD. The file is replaced in one step
  /// once its new content is complete, so on every failure it stays as it was.
  Outcome convert_file(Dir dir, const std::string& name, const std::string& path,
                       const Neighbours& neighbours = {});

  /// What earlier runs left, and this run's recovery of it.
  Recovery& recovery() { return replacer_.recovery(); }

  /// The tag of this run's temporary names.
  const std::string& run() const { return replacer_.run(); }
  /// Lets the new content of a large file be written on a thread of its own while the
  /// rest is converted.
  void write_behind(bool allowed) { write_behind_ = allowed; }
  /// Lets a file of at least `from` bytes be cut into pieces of about `piece_bytes`,
  /// converted on up to `threads` threads at once; below 2 threads, none is cut.
  void pieces(unsigned threads, std::uint64_t from = PIECES_FROM,
              std::size_t piece_bytes = Pieces::PIECE_BYTES) {
    pieces_ = threads;
    pieces_from_ = from;
    piece_bytes_ = piece_bytes;
  }
  /// Files at least this large are cut into pieces where threads may be used.
  static constexpr std::uint64_t PIECES_FROM = std::uint64_t(4) << 20;

 private:
  struct Plan;
  struct Large;
  Outcome convert(Dir dir, const std::string& name, const std::string& path,
                  const Neighbours& neighbours);
  Status open_source(Dir dir, const std::string& name, Closer& closer, FileStat& read,
                     Large& large, bool& opened);
  Outcome convert_text(const Target& target, const Neighbours& neighbours);
  Status read_at(File file, std::uint64_t offset, std::size_t n, std::size_t keep = 0);
  template <typename Visit>
  Status each_block(File file, const FileStat& read, Visit visit);
  Status choose_plan(File file, const FileStat& read, Plan& plan);
  Status reads_in_code_page(File file, const FileStat& read, bool& reads);
  std::string loss_reason(File file, const Plan& plan, std::uint64_t offset);
  Status write_text(File from, FileStat& read, const Plan& plan, File to,
                    Converted& converted, Status& read_fault);
  Status write_pieces(File from, const FileStat& read, const Plan& plan, Pieces& pieces,
                      Digest& digest, BlockWriter& writer, std::uint64_t& offset,
                      Converted& converted);
  bool collect(Pieces& pieces, Pieces::Slot& slot, BlockWriter& writer, Converted& converted,
               Status& ended);
  Status read_piece(File from, std::uint64_t offset, std::size_t n, std::size_t carry,
                    Pieces::Slot& slot);

  FileSystem& fs_;
  AnsiCodePage& acp_;
  Direction direction_;
  Budget& budget_;
  Replacer replacer_;
  ReadBuffer buffer_;             ///< a block of the file being converted
  std::uint64_t held_at_ = 0;     ///< the offset in the file of what buffer_ holds
  std::size_t held_ = 0;          ///< how many bytes of the file buffer_ holds
  std::string block_;             ///< output waiting to be written
  std::string lead_;              ///< the first bytes of the file, before its text
  bool met_code_page_ = false;    ///< the file's text beyond ASCII went through acp_
  bool write_behind_ = false;
  unsigned pieces_ = 0;
  std::uint64_t pieces_from_ = PIECES_FROM;
  std::size_t piece_bytes_ = Pieces::PIECE_BYTES;
};

}  // namespace nivra

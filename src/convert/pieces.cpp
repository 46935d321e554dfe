#include "convert/pieces.h"

#include <algorithm>
#include <new>

namespace nivra {

namespace {

bool is_low_surrogate(unsigned unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

}  // namespace

CutRule cut_rule(Encoding source, unsigned acp) {
  switch (source) {
    case Encoding::utf8: return CutRule::utf8_start;
    case Encoding::utf16le: return CutRule::utf16le_start;
    case Encoding::utf16be: return CutRule::utf16be_start;
    case Encoding::utf32le:
    case Encoding::utf32be: return CutRule::every_fourth;
    case Encoding::ansi: break;
  }
  if (acp == 65001) return CutRule::utf8_start;
  if (acp == 874 || (acp >= 1250 && acp <= 1258)) return CutRule::anywhere;
  // Any other code page may pair bytes; none of them takes a byte below 0x40 for the
  // second of a pair.
  return CutRule::after_low_byte;
}

std::size_t last_cut(std::string_view text, std::size_t from, CutRule rule) {
  constexpr std::size_t none = std::string_view::npos;
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  switch (rule) {
    case CutRule::anywhere:
      return from <= text.size() ? text.size() : none;
    case CutRule::every_fourth: {
      const std::size_t c = text.size() & ~std::size_t(3);
      return from <= c && c > 0 ? c : none;
    }
    case CutRule::after_low_byte:
      for (std::size_t c = text.size(); c > from && c > 0; --c)
        if (byte(c - 1) < 0x40) return c;
      return from == 0 ? 0 : none;
    case CutRule::utf8_start:
      for (std::size_t c = text.size(); c-- > from;)
        if ((byte(c) & 0xC0) != 0x80) return c;
      return none;
    case CutRule::utf16le_start:
    case CutRule::utf16be_start: {
      const bool big = rule == CutRule::utf16be_start;
      if (text.size() < 2) return none;
      for (std::size_t c = (text.size() - 2) & ~std::size_t(1);; c -= 2) {
        if (c < from) return none;
        const unsigned unit = big ? byte(c) << 8 | byte(c + 1) : byte(c + 1) << 8 | byte(c);
        if (!is_low_surrogate(unit)) return c;
        if (c < 2) return none;
      }
    }
  }
  return none;
}

Pieces::Pieces(const Transcoder& transcoder, unsigned threads, Budget& budget)
    : transcoder_(transcoder), budget_(budget) {
  const int take = budget_.take_pieces(int(threads));
  try {
    // A thread that started is never dropped: joined, it would wait for its piece for ever.
    slots_.reserve(std::size_t(take));
    for (int i = 0; i < take; ++i) {
      auto slot = std::make_unique<Slot>();
      Slot* s = slot.get();
      slot->thread = std::make_unique<Thread>([this, s] { convert(*s); });
      if (!slot->thread->started()) break;
      slots_.push_back(std::move(slot));
    }
  } catch (const std::bad_alloc&) {
    // Fewer pieces at once, as where the system gives no more threads.
  }
  budget_.give_pieces(take - int(slots_.size()));
}

Pieces::~Pieces() {
  for (auto& slot : slots_) take(*slot);
  stopping_ = true;
  for (auto& slot : slots_) {
    slot->go.post();
    slot->thread.reset();
  }
  budget_.give_pieces(int(slots_.size()));
}

void Pieces::hand(Slot& slot) {
  slot.busy = true;
  slot.go.post();
}

void Pieces::take(Slot& slot) {
  if (!slot.busy) return;
  // Posted once the piece is converted: its thread takes no lock and waits for nothing.
  slot.done.wait();
  slot.busy = false;
}

void Pieces::convert(Slot& slot) {
  for (;;) {
    slot.go.wait();  // a piece, or the destructor's word to stop
    if (stopping_) return;
    slot.output.clear();
    slot.short_of_memory = false;
    try {
      slot.converted = convert_piece(slot);
    } catch (const std::bad_alloc&) {
      slot.short_of_memory = true;
    }
    slot.done.post();
  }
}

Converted Pieces::convert_piece(Slot& slot) {
  // Each piece begins and ends with a whole character, so each is converted as the
  // last: a character cut short at its end is cut short in the file too.
  Converted c = transcode_lines(transcoder_, std::string_view(slot.input.data(), slot.size),
                                true, slot.output);
  // A codec that leaves the end of the text unused would lose it.
  if (c.lossless() && c.used < slot.size) c.failed = true;
  return c;
}

}  // namespace nivra

#pragma once
// Pieces as bits, in BitTorrent order: the high bit (0x80) of byte 0 is piece
// 0. The same bytes go on the wire, into the resume record and to callers of
// the published bitmap. Spare bits after the last piece stay clear.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <span>
#include <vector>

namespace pf {

// Bits held elsewhere, read only. Pieces past the bytes count as clear.
class BitfieldView {
 public:
  BitfieldView() = default;
  BitfieldView(std::span<const uint8_t> bytes) : bytes_(bytes) {}  // NOLINT: a view converts freely
  BitfieldView(const std::vector<uint8_t>& bytes) : bytes_(bytes) {}  // NOLINT

  bool Test(int64_t piece) const {
    if (piece < 0 || static_cast<uint64_t>(piece) / 8 >= bytes_.size()) return false;
    return (bytes_[static_cast<size_t>(piece / 8)] & Mask(piece)) != 0;
  }
  // Some piece is set.
  bool Any() const { return std::any_of(bytes_.begin(), bytes_.end(), [](uint8_t b) { return b != 0; }); }
  std::span<const uint8_t> Bytes() const { return bytes_; }

  static uint8_t Mask(int64_t piece) { return static_cast<uint8_t>(0x80u >> (piece % 8)); }
  static size_t BytesFor(int64_t pieces) { return pieces <= 0 ? 0 : static_cast<size_t>((pieces + 7) / 8); }

 private:
  std::span<const uint8_t> bytes_;
};

class Bitfield {
 public:
  Bitfield() = default;
  explicit Bitfield(int64_t pieces) { Resize(pieces); }

  // Keeps the bits that stay; new ones are clear.
  void Resize(int64_t pieces) {
    size_ = std::max<int64_t>(pieces, 0);
    bytes_.resize(BitfieldView::BytesFor(size_), 0);
    ClearSpare();
  }
  int64_t Size() const { return size_; }
  bool Empty() const { return size_ == 0; }

  bool Test(int64_t piece) const { return piece < size_ && BitfieldView(bytes_).Test(piece); }
  // Out of range: nothing happens.
  void Set(int64_t piece, bool on = true) {
    if (piece < 0 || piece >= size_) return;
    uint8_t& byte = bytes_[static_cast<size_t>(piece / 8)];
    byte = on ? static_cast<uint8_t>(byte | BitfieldView::Mask(piece))
              : static_cast<uint8_t>(byte & ~BitfieldView::Mask(piece));
  }
  void SetAll(bool on) {
    std::fill(bytes_.begin(), bytes_.end(), on ? 0xFF : 0x00);
    ClearSpare();
  }
  // Takes `bytes` as the bits of `pieces` pieces: missing bytes are clear,
  // bytes beyond and spare bits are dropped.
  void Assign(std::span<const uint8_t> bytes, int64_t pieces) {
    Resize(0);
    Resize(pieces);
    std::copy_n(bytes.begin(), std::min(bytes.size(), bytes_.size()), bytes_.begin());
    ClearSpare();
  }
  int64_t Count() const {
    int64_t n = 0;
    for (uint8_t b : bytes_) n += std::popcount(b);
    return n;
  }
  bool All() const { return Count() == size_; }
  bool Any() const { return BitfieldView(bytes_).Any(); }

  std::span<const uint8_t> Bytes() const { return bytes_; }
  operator BitfieldView() const { return BitfieldView(bytes_); }  // NOLINT: reading needs no copy
  bool operator==(const Bitfield& other) const = default;

 private:
  void ClearSpare() {
    if (size_ % 8 != 0) bytes_.back() &= static_cast<uint8_t>(0xFF00u >> (size_ % 8));
  }

  std::vector<uint8_t> bytes_;
  int64_t size_ = 0;
};

}  // namespace pf

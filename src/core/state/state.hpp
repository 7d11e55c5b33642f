#pragma once
// The byte layout shared by every persistent state (what pickling stores): a
// header of the magic "ostrel", a kind byte and a version byte, then fields as
// unsigned LEB128 varints and raw bytes. Little-endian and independent of the
// word size by construction. Reading trusts nothing: a `StateReader` stops at
// the first fault, remembers its message, and from then on reads zeros, so a
// parser checks `ok()` before it relies on what it read, and `fits()` before
// it allocates for a count it read.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace ostrel {

// What a state holds.
enum class StateKind : std::uint8_t {
  Array = 'A',  // a result array of the binding
  Counts = 'C',
  Model = 'M',
  Mixture = 'X',  // a mixture grown in order (its estimator depends on it)
};

class StateWriter {
 public:
  // Starts a state of `kind` in layout `version`.
  StateWriter(StateKind kind, std::uint8_t version);

  void byte(std::uint8_t value) { bytes_.push_back(static_cast<char>(value)); }
  void varint(std::uint64_t value) {
    if (value < 0x80) {
      byte(static_cast<std::uint8_t>(value));
      return;
    }
    long_varint(value);
  }
  // Room for `n` more bytes.
  void reserve_more(std::size_t n) { bytes_.reserve(bytes_.size() + n); }
  // At most `most` more bytes, written by write(std::uint8_t* at), which
  // returns the end of what it wrote. Room that is not written is never
  // touched, so a generous bound costs address space only.
  template <class Write>
  void write_raw(std::size_t most, Write&& write) {
    // The bytes so far stay in front. (The size that this library's
    // resize_and_overwrite hands the operation may be the new capacity, so
    // it is not used.)
    const std::size_t before = bytes_.size();
    bytes_.resize_and_overwrite(before + most, [&](char* data, std::size_t) {
      std::uint8_t* begin = reinterpret_cast<std::uint8_t*>(data) + before;
      return static_cast<std::size_t>(reinterpret_cast<char*>(write(begin)) - data);
    });
  }
  void raw(std::span<const std::uint8_t> bytes);
  // The low `size` bytes (1 to 8) of `value`, least significant first.
  void word(std::uint64_t value, std::size_t size);
  // The IEEE 754 bit pattern of `value`, as an 8-byte word.
  void float64(double value) { word(std::bit_cast<std::uint64_t>(value), 8); }

  std::string take() && { return std::move(bytes_); }

 private:
  void long_varint(std::uint64_t value);
  std::string bytes_;
};

class StateReader {
 public:
  explicit StateReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}

  // The kind of the state; a fault (and Counts) when the header is not one.
  StateKind kind();
  // Reads the version byte; a fault unless it is at most `newest`.
  std::uint8_t version(std::uint8_t newest);

  std::uint8_t byte();
  std::uint64_t varint() {
    if (at_ < bytes_.size() && bytes_[at_] < 0x80) return bytes_[at_++];
    return long_varint();
  }
  // A varint that must not exceed `largest`; `what` names it in the fault.
  std::uint64_t varint_at_most(std::uint64_t largest, std::string_view what) {
    const std::uint64_t value = varint();
    return value > largest && ok() ? above(value, largest, what) : value;
  }
  std::span<const std::uint8_t> raw(std::size_t size);
  // A `size`-byte (1 to 8) little-endian word, and a double's bit pattern.
  std::uint64_t word(std::size_t size);
  double float64() { return std::bit_cast<double>(word(8)); }

  // Whether `count` items of at least `bytes_each` bytes each can still
  // follow: false (and a fault) when the rest of the state is too short for
  // them, so that nothing is allocated for items the bytes cannot hold.
  bool fits(std::uint64_t count, std::size_t bytes_each) {
    return bytes_each == 1 && count <= remaining() && ok() ? true : check_fits(count, bytes_each);
  }

  // Records a fault (the first one wins) with `what` is wrong.
  void fail(std::string what);
  // A fault unless every byte was read.
  void expect_end();

  bool ok() const noexcept { return error_.empty(); }
  explicit operator bool() const noexcept { return ok(); }
  // The message of the first fault: "invalid ostrel state: " + what.
  const std::string& error() const noexcept { return error_; }
  std::size_t remaining() const noexcept { return bytes_.size() - at_; }
  // The bytes not read yet.
  std::span<const std::uint8_t> rest() const noexcept { return bytes_.subspan(at_); }

 private:
  std::uint64_t long_varint();
  // Faults that `value` exceeds `largest`; returns 0.
  std::uint64_t above(std::uint64_t value, std::uint64_t largest, std::string_view what);
  bool check_fits(std::uint64_t count, std::size_t bytes_each);
  std::span<const std::uint8_t> bytes_;
  std::size_t at_ = 0;
  std::string error_;
};

}  // namespace ostrel

// Varints and the header of persistent states.

#include "state/state.hpp"

#include <string>
#include <utility>

namespace ostrel {

namespace {

constexpr std::string_view MAGIC = "ostrel";

}  // namespace

StateWriter::StateWriter(StateKind kind, std::uint8_t version) {
  bytes_.append(MAGIC);
  byte(static_cast<std::uint8_t>(kind));
  byte(version);
}

void StateWriter::long_varint(std::uint64_t value) {
  while (value >= 0x80) {
    byte(static_cast<std::uint8_t>(value | 0x80));
    value >>= 7;
  }
  byte(static_cast<std::uint8_t>(value));
}

void StateWriter::raw(std::span<const std::uint8_t> bytes) {
  bytes_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

void StateWriter::word(std::uint64_t value, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) byte(static_cast<std::uint8_t>(value >> (8 * i)));
}

void StateReader::fail(std::string what) {
  if (ok()) error_ = "invalid ostrel state: " + std::move(what);
  at_ = bytes_.size();
}

StateKind StateReader::kind() {
  const bool header =
      remaining() >= MAGIC.size() &&
      std::string_view(reinterpret_cast<const char*>(bytes_.data() + at_), MAGIC.size()) == MAGIC;
  if (!header) {
    fail("it does not start with the ostrel header");
    return StateKind::Counts;
  }
  at_ += MAGIC.size();
  const std::uint8_t kind = byte();
  if (kind != static_cast<std::uint8_t>(StateKind::Array) &&
      kind != static_cast<std::uint8_t>(StateKind::Counts) &&
      kind != static_cast<std::uint8_t>(StateKind::Model) &&
      kind != static_cast<std::uint8_t>(StateKind::Mixture)) {
    fail("unknown kind " + std::to_string(kind));
    return StateKind::Counts;
  }
  return static_cast<StateKind>(kind);
}

std::uint8_t StateReader::version(std::uint8_t newest) {
  const std::uint8_t version = byte();
  if (ok() && (version == 0 || version > newest)) {
    fail("layout version " + std::to_string(version) + " is not one this ostrel reads (1 to " +
         std::to_string(newest) + ")");
  }
  return version;
}

std::uint8_t StateReader::byte() {
  if (at_ >= bytes_.size()) {
    fail("it ends early");
    return 0;
  }
  return bytes_[at_++];
}

std::uint64_t StateReader::long_varint() {
  std::uint64_t value = 0;
  for (unsigned shift = 0;; shift += 7) {
    const std::uint8_t b = byte();
    if (!ok()) return 0;
    // The tenth byte holds the top bit only; a longer or wider varint is not
    // one that was written, and neither is one with a redundant zero byte.
    if (shift == 63 && b > 1) {
      fail("a number does not fit 64 bits");
      return 0;
    }
    value |= std::uint64_t{b & 0x7Fu} << shift;
    if ((b & 0x80) == 0) {
      if (b == 0 && shift != 0) {
        fail("a number is not written in its shortest form");
        return 0;
      }
      return value;
    }
  }
}

std::uint64_t StateReader::above(std::uint64_t value, std::uint64_t largest,
                                 std::string_view what) {
  fail(std::string(what) + " " + std::to_string(value) + " is above " + std::to_string(largest));
  return 0;
}

std::span<const std::uint8_t> StateReader::raw(std::size_t size) {
  if (size > remaining()) {
    fail("it ends early");
    return {};
  }
  const auto out = bytes_.subspan(at_, size);
  at_ += size;
  return out;
}

std::uint64_t StateReader::word(std::size_t size) {
  const auto bytes = raw(size);
  std::uint64_t value = 0;
  for (std::size_t i = bytes.size(); i-- > 0;) value = (value << 8) | bytes[i];
  return value;
}

bool StateReader::check_fits(std::uint64_t count, std::size_t bytes_each) {
  if (!ok()) return false;
  if (bytes_each != 0 && count > remaining() / bytes_each) {
    fail("it ends early");
    return false;
  }
  return true;
}

void StateReader::expect_end() {
  if (ok() && remaining() != 0) fail("it has " + std::to_string(remaining()) + " bytes too many");
}

}  // namespace ostrel

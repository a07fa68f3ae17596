// Helpers shared by the fuzzers: turning fuzz input into strings that hit the
// interesting cases often, and copying them into buffers of exactly their
// length so that the address sanitizer catches a read past the end.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

#include "tests/support/Printable.h"
#include "tests/support/References.h"

namespace refwarden::fuzz {

// A string from the input. Half the time its bytes are folded onto a small
// alphabet (by default of pattern and path bytes), so that matches and near
// matches are common; otherwise they stay raw, NUL and high bytes included.
inline std::string ConsumeString(FuzzedDataProvider& input, bool small, std::size_t maxLength,
                                 std::string_view alphabet = "ab*./jpgh:") {
  std::string s = input.ConsumeRandomLengthString(maxLength);
  if (small) {
    for (char& c : s) c = alphabet[static_cast<unsigned char>(c) % alphabet.size()];
  }
  return s;
}

// A heap copy of exactly s.size() bytes, no terminator.
class ExactBuffer {
 public:
  explicit ExactBuffer(std::string_view s) : size_(s.size()), bytes_(new char[s.size()]) {
    if (!s.empty()) std::memcpy(bytes_.get(), s.data(), s.size());
  }
  const char* data() const { return bytes_.get(); }
  int length() const { return static_cast<int>(size_); }
  std::string_view view() const { return {bytes_.get(), size_}; }

 private:
  std::size_t size_;
  std::unique_ptr<char[]> bytes_;
};

using testing::Printable;

// Reports a mismatch with the inputs that caused it and stops the run.
[[noreturn]] inline void Mismatch(const std::string& what) {
  std::fprintf(stderr, "MISMATCH: %s\n", what.c_str());
  std::abort();
}

}  // namespace refwarden::fuzz

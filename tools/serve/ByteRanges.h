// A request's Range header read against the length of what would be sent
// (HTTP byte ranges): the one span to send, a 416, or the whole.
#pragma once

#include <cstdint>
#include <string_view>

namespace refwarden {

struct RangeAnswer {
  enum Kind { kWhole, kPartial, kUnsatisfiable };
  Kind kind = kWhole;
  std::uint64_t first = 0;  // kPartial: the first byte to send
  std::uint64_t count = 0;  // kPartial: how many bytes, at least 1
};

// More ranges than this in one header are taken for an attack: the whole is sent.
inline constexpr int kMaxRanges = 16;

// Returns what to send for the Range header value `range` on `length` bytes:
// kPartial when the satisfiable ranges, merged where they overlap or touch,
// form one span; kUnsatisfiable when `range` is a valid "bytes" range set of
// which no range is satisfiable; kWhole otherwise: no header, another unit, a
// malformed set, more than kMaxRanges ranges, or several disjoint spans (a
// server may ignore Range, and the whole file once is never larger than it).
RangeAnswer AnswerRange(std::string_view range, std::uint64_t length);

}  // namespace refwarden

// A one-line progress bar on standard error for long replays: bytes read of
// the total, the rate and the time left. Draws nothing unless standard error
// is a terminal.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>

namespace refwarden {

class ReplayProgress {
 public:
  // `totalBytes` is the size of all inputs as stored, 0 when unknown;
  // `wanted` false draws nothing either.
  ReplayProgress(std::uint64_t totalBytes, bool wanted);
  ~ReplayProgress() { Finish(); }

  // Reports that `doneBytes` of the total have been read; redraws at most
  // ten times a second.
  void Update(std::uint64_t doneBytes);
  // Clears the bar so that what is printed next starts on a clean line.
  void Finish();

 private:
  void Draw(std::uint64_t doneBytes);

  bool enabled_;
  std::size_t drawnWidth_ = 0;  // what the last drawing covered, 0 when none
  std::uint64_t totalBytes_;
  std::chrono::steady_clock::time_point start_;
  std::chrono::steady_clock::time_point lastDraw_;
};

}  // namespace refwarden

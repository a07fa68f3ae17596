#include "tools/replay/ReplayProgress.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdio>
#include <string>

namespace refwarden {

namespace {

constexpr int kBarWidth = 30;

bool StderrIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(STDERR_FILENO) == 1;
#endif
}

std::string Megabytes(double bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
  return text;
}

std::string Duration(double seconds) {
  const long s = static_cast<long>(seconds + 0.5);
  char text[32];
  std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
  return text;
}

}  // namespace

ReplayProgress::ReplayProgress(std::uint64_t totalBytes, bool wanted)
    : enabled_(wanted && StderrIsTerminal()),
      totalBytes_(totalBytes),
      start_(std::chrono::steady_clock::now()),
      lastDraw_(start_) {}

void ReplayProgress::Update(std::uint64_t doneBytes) {
  if (!enabled_) return;
  const auto now = std::chrono::steady_clock::now();
  if (now - lastDraw_ < std::chrono::milliseconds(100)) return;
  lastDraw_ = now;
  Draw(doneBytes);
}

void ReplayProgress::Draw(std::uint64_t doneBytes) {
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
  const double rate = seconds > 0 ? static_cast<double>(doneBytes) / seconds : 0.0;
  std::string line = "\r";
  if (totalBytes_ > 0) {
    const double fraction =
        std::min(1.0, static_cast<double>(doneBytes) / static_cast<double>(totalBytes_));
    const int filled = static_cast<int>(fraction * kBarWidth);
    char percent[16];
    std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(fraction * 100));
    line += "[" + std::string(static_cast<std::size_t>(filled), '#') +
            std::string(static_cast<std::size_t>(kBarWidth - filled), '.') + "] " + percent + "  " +
            Megabytes(static_cast<double>(doneBytes)) + " of " +
            Megabytes(static_cast<double>(totalBytes_));
  } else {
    line += Megabytes(static_cast<double>(doneBytes)) + " read";
  }
  line += "  " + Megabytes(rate) + "/s";
  if (totalBytes_ > doneBytes && rate > 0) {
    line += "  " + Duration(static_cast<double>(totalBytes_ - doneBytes) / rate) + " left";
  }
  // Blanks over the rest of a longer earlier drawing: no terminal escape
  // is needed, so Windows consoles show it too.
  const std::size_t width = line.size() - 1;
  if (width < drawnWidth_) line.append(drawnWidth_ - width, ' ');
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
  drawnWidth_ = width;
}

void ReplayProgress::Finish() {
  if (drawnWidth_ == 0) return;
  const std::string blank = "\r" + std::string(drawnWidth_, ' ') + "\r";
  std::fputs(blank.c_str(), stderr);
  std::fflush(stderr);
  drawnWidth_ = 0;
}

}  // namespace refwarden

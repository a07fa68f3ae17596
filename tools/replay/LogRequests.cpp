#include "tools/replay/LogRequests.h"

#include "tools/replay/LogTokens.h"
#include "tools/replay/TerminalText.h"

namespace refwarden {

namespace {

// What Preview holds at most: the directives at the start of a log are a few
// short lines; anything past these is checked as it is replayed.
constexpr std::size_t kPreviewLines = 1000;
constexpr std::size_t kPreviewBytes = 1 << 20;
// How much of a malformed line a refusal shows.
constexpr std::size_t kSampleBytes = 120;
constexpr std::string_view kFieldsDirective = "#Fields:";

bool IsBlankLine(std::string_view line) {
  return line.find_first_not_of(" \t\r") == std::string_view::npos;
}

}  // namespace

LogRequests::LogRequests(std::string path, std::string name, LogRequestsOptions options,
                         Reporter* reporter)
    : path_(std::move(path)),
      name_(std::move(name)),
      options_(std::move(options)),
      reporter_(reporter) {}

bool LogRequests::Open() {
  reader_.SetStop(options_.stop);
  return reader_.Open(path_);
}

bool LogRequests::TooLong(std::uint64_t lineNumber, const std::string& head) {
  if (StartsWithIgnoringAsciiCase(head, kFieldsDirective)) {
    return Refuse(LogRefusal::kFieldsTooLong,
                  Place(lineNumber) + ": this #Fields directive is longer than " +
                      std::to_string(LogReader::kMaxLineLength / 1024) +
                      " KiB, so the fields of the lines after it cannot be known");
  }
  NoteMalformed(lineNumber, head);
  reporter_->Malformed(lineNumber, true);
  return true;
}

void LogRequests::NoteMalformed(std::uint64_t lineNumber, std::string_view line) {
  if (malformed_++ > 0) return;
  sampleLine_ = lineNumber;
  sample_ = TerminalText(line.substr(0, kSampleBytes));
  if (line.size() > kSampleBytes) sample_ += "...";
}

void LogRequests::JudgeWhole() {
  const std::uint64_t lines = requests_ + malformed_;
  if (lines == 0 || (requests_ > 0 && 2 * malformed_ <= lines)) return;
  const LogFormatRow* taken = format();
  std::string what;
  if (options_.format == nullptr && taken != nullptr && std::string_view(taken->name) == "w3c" &&
      !sawFields_) {
    what =
        "a W3C extended log without its #Fields: directive (the header block at its start "
        "is missing), so its fields cannot be known";
  } else {
    what = std::string(options_.format != nullptr ? "read as the " : "taken for the ") +
           (taken != nullptr ? taken->name : "?") + " format, " +
           (requests_ == 0 ? "none of its " + std::to_string(lines) + " lines is a request"
                           : std::to_string(malformed_) + " of its " + std::to_string(lines) +
                                 " lines are malformed");
  }
  Refuse(LogRefusal::kNotALog, name_ + ": not a log of a format replay reads: " + what + "; line " +
                                   std::to_string(sampleLine_) + " reads \"" + sample_ + "\"");
}

std::string LogRequests::Place(std::uint64_t lineNumber) const {
  return name_ + ":" + std::to_string(lineNumber);
}

bool LogRequests::Refuse(LogRefusal why, const std::string& message) {
  refusal_ = why;
  reporter_->Refused(why, message);
  return false;
}

LogRequests::Step LogRequests::Judge(std::optional<LogParser>* parser, std::string_view line,
                                     std::uint64_t lineNumber, bool report, LogRequest* request) {
  if (!*parser) {
    if (IsBlankLine(line)) return Step::kDirective;
    parser->emplace(options_.format != nullptr ? *options_.format : DetectLogFormat(line));
    const LogFormatRow& format = (*parser)->format();
    if (format.needsHost && !options_.host) {
      Refuse(LogRefusal::kNeedsHost, "--host is required: " + name_ + " is in the " + format.name +
                                         " log format, which records no Host header");
      return Step::kRefused;
    }
  }
  switch ((*parser)->Parse(line, request)) {
    case LineKind::kIgnored:
      return Step::kDirective;
    case LineKind::kFields: {
      const LogFields& fields = (*parser)->fields();
      if (!fields.host && !options_.host) {
        Refuse(LogRefusal::kNeedsHost, "--host is required: " + Place(lineNumber) +
                                           " is a #Fields directive without cs-host or cs(Host)");
        return Step::kRefused;
      }
      if (!fields.referer && !options_.withoutReferer) {
        Refuse(LogRefusal::kNoReferer,
               Place(lineNumber) +
                   ": this #Fields directive records no referer (cs(Referer)), so every request "
                   "would look as if it had none and every image request as hot-linked. Add the "
                   "Referer field to the site's logging, or replay with --assume-no-referer to "
                   "count them as requests without a referer");
        return Step::kRefused;
      }
      sawFields_ = true;
      return Step::kDirective;
    }
    case LineKind::kMalformed:
      if (report) {
        NoteMalformed(lineNumber, line);
        reporter_->Malformed(lineNumber, false);
      }
      return Step::kMalformed;
    case LineKind::kRequest:
      break;
  }
  if (report) ++requests_;
  if (!request->hasHost) request->host = *options_.host;
  return Step::kRequest;
}

bool LogRequests::Preview() {
  if (options_.format != nullptr && options_.format->needsHost && !options_.host) {
    return Refuse(LogRefusal::kNeedsHost, std::string("--host is required: the ") +
                                              options_.format->name +
                                              " log format records no Host header");
  }
  std::optional<LogParser> parser;
  LogRequest request;
  while (held_.size() < kPreviewLines && heldBytes_.size() < kPreviewBytes) {
    if (options_.stop != nullptr && options_.stop->load(std::memory_order_relaxed)) break;
    std::string_view line;
    const LogReader::Next next = reader_.NextLine(&line);
    if (next == LogReader::Next::kEnd) break;
    const bool tooLong = next == LogReader::Next::kTooLong;
    if (tooLong) line = reader_.tooLongHead();
    held_.push_back({heldBytes_.size(), line.size(), tooLong});
    heldBytes_.append(line);
    if (tooLong) {
      if (StartsWithIgnoringAsciiCase(line, kFieldsDirective))
        return TooLong(reader_.lineNumber(), std::string(line));
      break;
    }
    const Step step = Judge(&parser, line, reader_.lineNumber(), false, &request);
    if (step == Step::kRefused) return false;
    if (step != Step::kDirective) break;  // the first request or malformed line
  }
  return true;
}

bool LogRequests::Next(LogRequest* request) {
  if (refusal_ != LogRefusal::kNone) return false;
  for (;;) {
    if (options_.stop != nullptr && options_.stop->load(std::memory_order_relaxed)) {
      stopped_ = true;
      return false;
    }
    std::string_view line;
    bool tooLong;
    if (nextHeld_ < held_.size()) {
      const HeldLine& held = held_[nextHeld_++];
      line = std::string_view(heldBytes_).substr(held.offset, held.length);
      tooLong = held.tooLong;
    } else {
      const LogReader::Next next = reader_.NextLine(&line);
      if (next == LogReader::Next::kEnd) {
        if (options_.stop != nullptr && options_.stop->load(std::memory_order_relaxed)) {
          stopped_ = true;
        } else if (reader_.error().empty()) {
          JudgeWhole();
        }
        return false;
      }
      tooLong = next == LogReader::Next::kTooLong;
      if (tooLong) line = reader_.tooLongHead();
    }
    ++lines_;
    if (tooLong) {
      if (!TooLong(lines_, std::string(line))) return false;
      continue;
    }
    switch (Judge(&parser_, line, lines_, true, request)) {
      case Step::kRequest:
        return true;
      case Step::kRefused:
        return false;
      case Step::kDirective:
      case Step::kMalformed:
        continue;
    }
  }
}

}  // namespace refwarden

// The one reader of access logs: the requests of one input, in order, with
// what is not a request (malformed lines, lines too long, directives a replay
// must refuse) told to a Reporter. The replay's check before it starts, the
// replay itself and the tests all read logs through it.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/replay/LogFormats.h"
#include "tools/replay/LogParser.h"
#include "tools/replay/LogReader.h"

namespace refwarden {

// Why a log cannot be replayed as its requests happened.
enum class LogRefusal {
  kNone,
  kNeedsHost,      // it records no Host and no --host was given
  kNoReferer,      // a #Fields directive records no referer (and that was not allowed)
  kFieldsTooLong,  // a #Fields directive longer than LogReader::kMaxLineLength
  kNotALog,        // it has lines, but no request or mostly malformed lines (see Next)
};

struct LogRequestsOptions {
  const LogFormatRow* format = nullptr;     // forced; otherwise judged from the first line
  std::optional<std::string> host;          // the Host of requests whose log records none
  bool withoutReferer = false;              // a log without a referer field is read, not refused
  const std::atomic<bool>* stop = nullptr;  // when set, Next returns false (stopped())
};

class LogRequests {
 public:
  // What is not a request; the same reporter hears every call of one input.
  class Reporter {
   public:
    virtual ~Reporter() = default;
    // Line `lineNumber` is not a line of the log's format, or is longer than
    // LogReader::kMaxLineLength (`tooLong`).
    virtual void Malformed(std::uint64_t lineNumber, bool tooLong) = 0;
    // The log cannot be replayed: `message` says why, naming the place
    // (file, or file:line of the directive). May throw, to stop the caller.
    virtual void Refused(LogRefusal why, const std::string& message) = 0;
  };

  // `name` is how messages name the input ("(stdin)" for "-").
  LogRequests(std::string path, std::string name, LogRequestsOptions options, Reporter* reporter);
  LogRequests(const LogRequests&) = delete;
  LogRequests& operator=(const LogRequests&) = delete;

  // Opens the input. Returns false, with error() saying why, when it cannot.
  bool Open();

  // Reads the lines at the start up to the first that is not a directive
  // (at most a bounded number and size) and judges the format and the
  // directives, so that a log that must be refused is refused before
  // anything is replayed. Nothing is lost: Next returns those lines' requests
  // again, so each input is read once, a pipe included. Returns false when
  // the log was refused (refusal()).
  bool Preview();

  // Fills *request with the next request and returns true; false at the end
  // of the input, on a read error (error()), when refused (refusal()) or
  // stopped (stopped()). At the end of an input read whole, a log that has
  // lines but gave no request, or whose lines were over half malformed, is
  // refused as kNotALog, the message naming the format it was taken for and
  // its first malformed line (escaped). A request whose log records no host has the host
  // of the options. The views stay valid until the next call.
  bool Next(LogRequest* request);

  const std::string& name() const { return name_; }
  // The lines Next has gone through, counting from 1.
  std::uint64_t lines() const { return lines_; }
  // How much of the input as stored has been read, and its size (0: unknown).
  std::uint64_t bytesRead() const { return reader_.bytesRead(); }
  std::uint64_t size() const { return reader_.size(); }
  // Empty, or why the input could not be opened or read to its end.
  const std::string& error() const { return reader_.error(); }
  LogRefusal refusal() const { return refusal_; }
  bool stopped() const { return stopped_; }
  // The format judged or forced; nullptr before the first non-empty line.
  const LogFormatRow* format() const { return parser_ ? &parser_->format() : nullptr; }

 private:
  enum class Step { kRequest, kDirective, kMalformed, kRefused };  // kDirective: also blank
  struct HeldLine {
    std::size_t offset, length;
    bool tooLong;  // then [offset, offset + length) is the line's head
  };

  // One line through `parser` (made when it is the first non-empty line).
  Step Judge(std::optional<LogParser>* parser, std::string_view line, std::uint64_t lineNumber,
             bool report, LogRequest* request);
  bool Refuse(LogRefusal why, const std::string& message);
  // A line longer than the limit: a #Fields directive is refused, anything
  // else is malformed. Returns false when refused.
  bool TooLong(std::uint64_t lineNumber, const std::string& head);
  // Refuses the log as kNotALog when its lines say so, at its end.
  void JudgeWhole();
  void NoteMalformed(std::uint64_t lineNumber, std::string_view line);
  std::string Place(std::uint64_t lineNumber) const;

  std::string path_, name_;
  LogRequestsOptions options_;
  Reporter* reporter_;
  LogReader reader_;
  std::optional<LogParser> parser_;
  std::uint64_t lines_ = 0;
  LogRefusal refusal_ = LogRefusal::kNone;
  bool stopped_ = false;
  // What JudgeWhole weighs: the requests and malformed lines given out, the
  // first malformed line (its start) and whether a #Fields directive came.
  std::uint64_t requests_ = 0;
  std::uint64_t malformed_ = 0;
  std::uint64_t sampleLine_ = 0;
  std::string sample_;
  bool sawFields_ = false;

  // The lines Preview read, given out again by Next before the reader's.
  std::string heldBytes_;
  std::vector<HeldLine> held_;
  std::size_t nextHeld_ = 0;
};

}  // namespace refwarden

// Reading a log file line by line in large blocks, in bounded memory. The file
// may be plain or gzip-compressed (recognised by its content, not its name);
// "-" is standard input.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace refwarden {

class LogReader {
 public:
  // Lines longer than this are skipped without being held whole.
  static constexpr std::size_t kMaxLineLength = 64 * 1024;

  enum class Next {
    kLine,     // *line holds the next line
    kTooLong,  // the next line was longer than kMaxLineLength and was skipped
    kEnd,      // no more lines: the end of the input, or a read error (error())
  };

  LogReader();
  ~LogReader();
  LogReader(const LogReader&) = delete;
  LogReader& operator=(const LogReader&) = delete;

  // Opens `path` ("-": standard input). Returns false, with error() saying
  // why, when the file cannot be opened or is a directory.
  bool Open(const std::string& path);

  // Reads the next line, without its "\n" or "\r\n" (or "\r", when the
  // first line ends with a lone "\r") and, on the first line,
  // without a UTF-8 byte-order mark; the view stays valid until the next
  // call. Compressed data is read across concatenated gzip members; plain
  // data after the last member is read as plain text. A read error or
  // damaged compressed data ends the input with error() set; the part of a
  // line before it is dropped.
  Next NextLine(std::string_view* line);

  // When NextLine returned kTooLong: the first bytes of that line (up to 64),
  // so that a caller can tell what it was.
  const std::string& tooLongHead() const { return tooLongHead_; }
  // When set, NextLine checks it while it waits for the end of a line and
  // returns kEnd once it is true.
  void SetStop(const std::atomic<bool>* stop) { stop_ = stop; }

  // The number of the line NextLine returned last, counting from 1.
  std::uint64_t lineNumber() const { return lineNumber_; }
  // How much of the file as stored has been read (compressed bytes for gzip).
  std::uint64_t bytesRead() const { return rawConsumed_; }
  // The size of the file as stored; 0 when unknown (a pipe, a terminal).
  std::uint64_t size() const { return size_; }
  // Empty, or why the file could not be opened or read to its end.
  const std::string& error() const { return error_; }

 private:
  enum class Mode { kUnknown, kPlain, kGzip };

  bool FillRaw();
  std::size_t Read(void* out, std::size_t room);
  // Reads until two bytes are at hand or the file ends; true when they are a
  // gzip member's magic.
  bool AtGzipMember();
  std::size_t Decode(char* out, std::size_t room);
  std::size_t DecodeGzip(char* out, std::size_t room);
  std::size_t TakePlain(char* out, std::size_t room);
  bool FillText();
  bool JudgeLineEnd(const char* start, std::size_t avail);
  bool StopAsked() const;
  void Fail(std::string why);

  std::FILE* file_ = nullptr;
  bool ownsFile_ = false;
  Mode mode_ = Mode::kUnknown;
  struct Inflater;
  std::unique_ptr<Inflater> inflater_;
  bool memberEnded_ = false;

  std::vector<unsigned char> raw_;  // bytes as stored, not yet decoded
  std::size_t rawBegin_ = 0;
  std::size_t rawEnd_ = 0;
  bool rawEof_ = false;
  std::uint64_t rawConsumed_ = 0;

  std::vector<char> text_;  // decoded bytes; [begin_, end_) not yet returned
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool textEof_ = false;
  bool firstLine_ = true;

  static constexpr std::size_t kHeadKept = 64;
  char lineEnd_ = 0;  // '\n' or '\r'; 0 until the first line end is seen
  std::string tooLongHead_;
  const std::atomic<bool>* stop_ = nullptr;

  std::uint64_t lineNumber_ = 0;
  std::uint64_t size_ = 0;
  std::string error_;
};

}  // namespace refwarden

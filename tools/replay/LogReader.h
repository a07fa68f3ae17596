// Reading a log file line by line in large blocks. The file may be plain or
// gzip-compressed (recognised by its content, not its name); "-" is standard
// input.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace refwarden {

class LogReader {
 public:
  LogReader() = default;
  ~LogReader();
  LogReader(const LogReader&) = delete;
  LogReader& operator=(const LogReader&) = delete;

  // Opens `path` ("-": standard input). Returns false, with error() saying
  // why, when the file cannot be opened or is a directory.
  bool Open(const std::string& path);

  // Stores the next line, without its "\n" or "\r\n", in *line; the view
  // stays valid until the next call. Returns false at the end of the input,
  // and on a read error, after which error() is non-empty.
  bool NextLine(std::string_view* line);

  // The number of the line NextLine returned last, counting from 1.
  std::uint64_t lineNumber() const { return lineNumber_; }
  // How much of the file as stored has been read (compressed bytes for gzip).
  std::uint64_t bytesRead() const;
  // The size of the file as stored; 0 when unknown (a pipe, a terminal).
  std::uint64_t size() const { return size_; }
  const std::string& error() const { return error_; }

 private:
  bool Fill();

  void* file_ = nullptr;  // gzFile
  std::vector<char> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
  bool eof_ = false;
  std::uint64_t lineNumber_ = 0;
  std::uint64_t size_ = 0;
  std::string error_;
};

}  // namespace refwarden

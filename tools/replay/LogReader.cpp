#include "tools/replay/LogReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>

namespace refwarden {

namespace {

constexpr std::size_t kBlockSize = 1 << 20;

gzFile File(void* file) { return static_cast<gzFile>(file); }

}  // namespace

LogReader::~LogReader() {
  if (file_ != nullptr) gzclose(File(file_));
}

bool LogReader::Open(const std::string& path) {
  // gzdopen takes ownership of the descriptor, so standard input is duplicated.
  const int fd = path == "-" ? dup(STDIN_FILENO) : open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    error_ = std::strerror(errno);
    return false;
  }
  struct stat st;
  if (fstat(fd, &st) == 0) {
    if (S_ISDIR(st.st_mode)) {
      close(fd);
      error_ = "is a directory";
      return false;
    }
    if (S_ISREG(st.st_mode)) size_ = static_cast<std::uint64_t>(st.st_size);
  }
  file_ = gzdopen(fd, "rb");
  if (file_ == nullptr) {
    close(fd);
    error_ = "out of memory";
    return false;
  }
  gzbuffer(File(file_), 1 << 17);
  buffer_.resize(kBlockSize);
  return true;
}

std::uint64_t LogReader::bytesRead() const {
  if (file_ == nullptr) return 0;
  const z_off_t offset = gzoffset(File(file_));
  return offset < 0 ? 0 : static_cast<std::uint64_t>(offset);
}

// Moves the unread rest to the front of the buffer, growing it when the rest
// fills it (a line longer than a block), and reads the next block after it.
bool LogReader::Fill() {
  const std::size_t rest = end_ - begin_;
  if (begin_ > 0) std::memmove(buffer_.data(), buffer_.data() + begin_, rest);
  begin_ = 0;
  end_ = rest;
  if (end_ == buffer_.size()) buffer_.resize(buffer_.size() * 2);
  const std::size_t want = buffer_.size() - end_;
  const int got = gzread(File(file_), buffer_.data() + end_, static_cast<unsigned>(want));
  if (got < 0) {
    int code = Z_OK;
    const char* message = gzerror(File(file_), &code);
    error_ = code == Z_ERRNO ? std::strerror(errno) : message;
    return false;
  }
  if (got == 0) {
    // A gzip stream cut short reads as a clean end unless the error is asked for.
    int code = Z_OK;
    const char* message = gzerror(File(file_), &code);
    if (code != Z_OK) {
      error_ = message;
      return false;
    }
    eof_ = true;
  }
  end_ += static_cast<std::size_t>(got);
  return true;
}

bool LogReader::NextLine(std::string_view* line) {
  if (file_ == nullptr || !error_.empty()) return false;
  for (;;) {
    const char* start = buffer_.data() + begin_;
    const void* newline = std::memchr(start, '\n', end_ - begin_);
    if (newline != nullptr) {
      std::size_t length = static_cast<std::size_t>(static_cast<const char*>(newline) - start);
      begin_ += length + 1;
      if (length > 0 && start[length - 1] == '\r') --length;
      *line = std::string_view(start, length);
      ++lineNumber_;
      return true;
    }
    if (eof_) {
      if (begin_ == end_) return false;
      std::size_t length = end_ - begin_;
      begin_ = end_;
      if (start[length - 1] == '\r') --length;
      *line = std::string_view(start, length);
      ++lineNumber_;
      return true;
    }
    if (!Fill()) return false;
  }
}

}  // namespace refwarden

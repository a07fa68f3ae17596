#include "tools/replay/LogReader.h"

#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#else
#include <unistd.h>
#endif

namespace refwarden {

namespace {

constexpr std::size_t kRawBlock = 256 * 1024;
constexpr std::size_t kTextBlock = 1024 * 1024;
// The buffers start small and double with each read up to the sizes above,
// so that an input opened and read only as far as its first lines (while
// others wait their turn) holds little.
constexpr std::size_t kFirstBlock = 16 * 1024;

void Grow(std::vector<unsigned char>* buffer, std::size_t most) {
  if (buffer->size() < most) buffer->resize(std::min(2 * buffer->size(), most));
}
void Grow(std::vector<char>* buffer, std::size_t most) {
  if (buffer->size() < most) buffer->resize(std::min(2 * buffer->size(), most));
}
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

#ifdef _WIN32
using FileStatus = struct _stat64;
int StatusOfPath(const std::string& path, FileStatus* st) { return _stat64(path.c_str(), st); }
int StatusOfFile(std::FILE* file, FileStatus* st) { return _fstat64(_fileno(file), st); }
bool IsDirectory(const FileStatus& st) { return (st.st_mode & _S_IFMT) == _S_IFDIR; }
bool IsRegular(const FileStatus& st) { return (st.st_mode & _S_IFMT) == _S_IFREG; }
#else
using FileStatus = struct stat;
int StatusOfPath(const std::string& path, FileStatus* st) { return stat(path.c_str(), st); }
int StatusOfFile(std::FILE* file, FileStatus* st) { return fstat(fileno(file), st); }
bool IsDirectory(const FileStatus& st) { return S_ISDIR(st.st_mode); }
bool IsRegular(const FileStatus& st) { return S_ISREG(st.st_mode); }
#endif

}  // namespace

struct LogReader::Inflater {
  z_stream stream{};
};

LogReader::LogReader() = default;

LogReader::~LogReader() {
  if (inflater_ != nullptr) inflateEnd(&inflater_->stream);
  if (file_ != nullptr && ownsFile_) std::fclose(file_);
}

bool LogReader::Open(const std::string& path) {
  FileStatus st{};
  if (path == "-") {
#ifdef _WIN32
    _setmode(_fileno(stdin), _O_BINARY);
#endif
    file_ = stdin;
    ownsFile_ = false;
    if (StatusOfFile(file_, &st) == 0 && IsRegular(st))
      size_ = static_cast<std::uint64_t>(st.st_size);
  } else {
    if (StatusOfPath(path, &st) != 0) {
      error_ = std::strerror(errno);
      return false;
    }
    if (IsDirectory(st)) {
      error_ = "is a directory";
      return false;
    }
    file_ = std::fopen(path.c_str(), "rb");
    if (file_ == nullptr) {
      error_ = std::strerror(errno);
      return false;
    }
    ownsFile_ = true;
    if (IsRegular(st)) size_ = static_cast<std::uint64_t>(st.st_size);
  }
  raw_.resize(kFirstBlock);
  text_.resize(kFirstBlock);
  return true;
}

void LogReader::Fail(std::string why) {
  if (error_.empty()) error_ = std::move(why);
}

// Reads what the file has, up to `room` bytes; 0 at its end, on a read
// error (error()) or when a signal that asked to stop interrupted the read.
// A pipe or terminal gives what has arrived, so a stop finds no bytes held.
std::size_t LogReader::Read(void* out, std::size_t room) {
  for (;;) {
#ifdef _WIN32
    const int got =
        _read(_fileno(file_), out, static_cast<unsigned>(std::min<std::size_t>(room, 1 << 30)));
#else
    const ssize_t got = ::read(fileno(file_), out, room);
#endif
    if (got >= 0) return static_cast<std::size_t>(got);
    if (errno == EINTR) {
      if (StopAsked()) return 0;
      continue;
    }
    Fail(std::strerror(errno));
    return 0;
  }
}

// Moves the undecoded rest to the front and reads more after it. Returns
// false at the end of the file or on a read error.
bool LogReader::FillRaw() {
  if (rawEof_ || !error_.empty()) return false;
  const std::size_t rest = rawEnd_ - rawBegin_;
  if (rawBegin_ > 0) std::memmove(raw_.data(), raw_.data() + rawBegin_, rest);
  rawBegin_ = 0;
  rawEnd_ = rest;
  Grow(&raw_, kRawBlock);
  const std::size_t got = Read(raw_.data() + rawEnd_, raw_.size() - rawEnd_);
  if (got == 0) {
    rawEof_ = true;
    return false;
  }
  rawEnd_ += got;
  return true;
}

bool LogReader::AtGzipMember() {
  while (rawEnd_ - rawBegin_ < 2 && FillRaw()) {
  }
  return rawEnd_ - rawBegin_ >= 2 && raw_[rawBegin_] == 0x1f && raw_[rawBegin_ + 1] == 0x8b;
}

std::size_t LogReader::TakePlain(char* out, std::size_t room) {
  std::size_t n = rawEnd_ - rawBegin_;
  if (n > 0) {
    n = std::min(n, room);
    std::memcpy(out, raw_.data() + rawBegin_, n);
    rawBegin_ += n;
  } else {
    if (rawEof_) return 0;
    n = Read(out, room);
    if (n == 0) rawEof_ = true;
  }
  rawConsumed_ += n;
  return n;
}

std::size_t LogReader::DecodeGzip(char* out, std::size_t room) {
  z_stream& z = inflater_->stream;
  for (;;) {
    if (memberEnded_) {
      const bool anotherMember = AtGzipMember();
      if (!error_.empty() || rawEnd_ == rawBegin_) return 0;
      if (anotherMember) {
        inflateReset(&z);
        memberEnded_ = false;
        continue;
      }
      // Whatever follows the compressed data is not dropped: it is read as
      // it stands, so that its lines are replayed or counted malformed.
      mode_ = Mode::kPlain;
      return TakePlain(out, room);
    }
    if (rawBegin_ == rawEnd_) FillRaw();
    if (!error_.empty()) return 0;
    const std::size_t avail = rawEnd_ - rawBegin_;
    z.next_in = raw_.data() + rawBegin_;
    z.avail_in = static_cast<uInt>(avail);
    z.next_out = reinterpret_cast<Bytef*>(out);
    z.avail_out = static_cast<uInt>(room);
    const int rc = inflate(&z, Z_NO_FLUSH);
    const std::size_t used = avail - z.avail_in;
    rawBegin_ += used;
    rawConsumed_ += used;
    const std::size_t produced = room - z.avail_out;
    if (rc == Z_STREAM_END) memberEnded_ = true;
    if (rc == Z_OK || rc == Z_STREAM_END) {
      if (produced > 0) return produced;
      continue;
    }
    if (rc == Z_BUF_ERROR) {  // no progress: more input is needed
      if (rawEof_ && rawBegin_ == rawEnd_) {
        Fail("the file is truncated: its gzip data stops before the end");
        return produced;
      }
      continue;
    }
    Fail(rc == Z_MEM_ERROR ? "out of memory"
                           : std::string("its gzip data is damaged (") +
                                 (z.msg != nullptr ? z.msg : "invalid data") + ")");
    return produced;
  }
}

std::size_t LogReader::Decode(char* out, std::size_t room) {
  if (!error_.empty()) return 0;
  if (mode_ == Mode::kUnknown) {
    const bool gzip = AtGzipMember();
    mode_ = gzip ? Mode::kGzip : Mode::kPlain;
    if (gzip) {
      inflater_ = std::make_unique<Inflater>();
      // 15 + 16: a gzip wrapper with any window size.
      if (inflateInit2(&inflater_->stream, 15 + 16) != Z_OK) {
        inflater_.reset();
        Fail("out of memory");
        return 0;
      }
    }
  }
  return mode_ == Mode::kGzip ? DecodeGzip(out, room) : TakePlain(out, room);
}

// Moves the unreturned rest to the front of the text buffer and decodes more
// after it. Returns false when nothing more came.
bool LogReader::FillText() {
  const std::size_t rest = end_ - begin_;
  if (begin_ > 0) std::memmove(text_.data(), text_.data() + begin_, rest);
  begin_ = 0;
  end_ = rest;
  Grow(&text_, kTextBlock);
  const std::size_t got = Decode(text_.data() + end_, text_.size() - end_);
  end_ += got;
  if (got == 0) textEof_ = true;
  return got > 0;
}

// Line ends are "\n" (with or without "\r" before it) unless the text at
// the start has no "\n" in the first kMaxLineLength bytes (or to its end) but
// has a "\r": then every "\r" ends a line, as old Mac text has it. Returns
// false while that cannot be told yet.
bool LogReader::JudgeLineEnd(const char* start, std::size_t avail) {
  if (std::memchr(start, '\n', avail) != nullptr) {
    lineEnd_ = '\n';
    return true;
  }
  if (!textEof_ && avail <= kMaxLineLength) return false;
  lineEnd_ = std::memchr(start, '\r', avail) != nullptr ? '\r' : '\n';
  return true;
}

bool LogReader::StopAsked() const {
  return stop_ != nullptr && stop_->load(std::memory_order_relaxed);
}

LogReader::Next LogReader::NextLine(std::string_view* line) {
  if (file_ == nullptr) return Next::kEnd;
  tooLongHead_.clear();
  bool skipping = false;  // the line has outgrown kMaxLineLength and is being passed over
  for (;;) {
    const char* start = text_.data() + begin_;
    const std::size_t avail = end_ - begin_;
    if (lineEnd_ == 0 && !JudgeLineEnd(start, avail)) {
      if (StopAsked()) return Next::kEnd;
      FillText();
      continue;
    }
    const void* newline = std::memchr(start, lineEnd_, avail);
    std::size_t length;
    if (newline != nullptr) {
      length = static_cast<std::size_t>(static_cast<const char*>(newline) - start);
      begin_ += length + 1;
    } else if (textEof_) {
      // A read error drops the part of a line before it; a clean end
      // returns the last line even without its newline.
      if (!error_.empty() || (avail == 0 && !skipping)) return Next::kEnd;
      length = avail;
      begin_ = end_;
    } else {
      if (StopAsked()) return Next::kEnd;
      if (avail > kMaxLineLength) {
        if (!skipping) tooLongHead_.assign(start, std::min<std::size_t>(avail, kHeadKept));
        skipping = true;
        begin_ = end_;
      }
      FillText();
      continue;
    }
    ++lineNumber_;
    if (length > 0 && start[length - 1] == '\r') --length;
    if (skipping || length > kMaxLineLength) {
      if (!skipping) tooLongHead_.assign(start, std::min<std::size_t>(length, kHeadKept));
      firstLine_ = false;
      return Next::kTooLong;
    }
    *line = std::string_view(start, length);
    if (firstLine_) {
      firstLine_ = false;
      if (line->substr(0, kByteOrderMark.size()) == kByteOrderMark)
        line->remove_prefix(kByteOrderMark.size());
    }
    return Next::kLine;
  }
}

}  // namespace refwarden

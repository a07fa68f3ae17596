#include "tools/serve/StaticFiles.h"

#include <algorithm>
#include <system_error>

#include "strings/AsciiText.h"

namespace refwarden {

namespace fs = std::filesystem;

namespace {

// Whether `path` is `root` or lies below it; both are canonical.
bool IsWithin(const fs::path& path, const fs::path& root) {
  auto p = path.begin();
  for (auto r = root.begin(); r != root.end(); ++r, ++p) {
    if (r->empty()) continue;  // the empty name after a trailing separator
    if (p == path.end() || *p != *r) return false;
  }
  return true;
}

FileLookup Refused(int status) { return FileLookup{status, {}}; }

}  // namespace

std::string PercentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && HexDigitValue(text[i + 1]) >= 0 &&
        HexDigitValue(text[i + 2]) >= 0) {
      out.push_back(
          static_cast<char>(HexDigitValue(text[i + 1]) * 16 + HexDigitValue(text[i + 2])));
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

FileLookup LookUpFile(const fs::path& root, std::string_view url) {
  const std::string path = PercentDecode(url.substr(0, url.find_first_of("?#")));
  if (path.empty() || path.front() != '/') return Refused(400);
  if (path.find('\0') != std::string::npos) return Refused(403);

  fs::path relative;
  for (std::size_t start = 1; start <= path.size();) {
    std::size_t end = path.find('/', start);
    if (end == std::string::npos) end = path.size();
    const std::string_view segment = std::string_view(path).substr(start, end - start);
    if (segment == "..") return Refused(403);
    if (!segment.empty() && segment != ".") relative /= std::string(segment);
    start = end + 1;
  }

  // "/a.jpg/" names a directory, as on file systems; it must not reach a.jpg.
  const bool directoryOnly = path.back() == '/' || path.size() < 2 ||
                             std::string_view(path).substr(path.size() - 2) == "/.";

  std::error_code error;
  const fs::path base = fs::canonical(root, error);
  if (error) return Refused(404);
  fs::path file = fs::weakly_canonical(base / relative, error);
  if (error) return Refused(404);
  if (!IsWithin(file, base)) return Refused(403);
  const bool isDirectory = fs::is_directory(file, error);
  if (directoryOnly && !isDirectory) return Refused(404);
  if (isDirectory) {
    file = fs::weakly_canonical(file / "index.html", error);
    if (error) return Refused(404);
    if (!IsWithin(file, base)) return Refused(403);
  }
  if (!fs::is_regular_file(file, error)) return Refused(404);
  return FileLookup{200, file};
}

std::string_view ContentTypeFor(const fs::path& file) {
  std::string extension = file.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(), LowerAscii);
  static const std::pair<std::string_view, std::string_view> kTypes[] = {
      {".html", "text/html; charset=utf-8"},
      {".htm", "text/html; charset=utf-8"},
      {".css", "text/css; charset=utf-8"},
      {".js", "text/javascript; charset=utf-8"},
      {".jpg", "image/jpeg"},
      {".jpeg", "image/jpeg"},
      {".gif", "image/gif"},
      {".png", "image/png"},
      {".bmp", "image/bmp"},
      {".svg", "image/svg+xml"},
      {".ico", "image/x-icon"},
      {".txt", "text/plain; charset=utf-8"},
  };
  for (const auto& [known, type] : kTypes) {
    if (extension == known) return type;
  }
  return "application/octet-stream";
}

}  // namespace refwarden

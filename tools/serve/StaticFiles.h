// Mapping a request URL to a file under a site's root, refusing any way out
// of the root, and the content types the demo site needs.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace refwarden {

struct FileLookup {
  int status = 404;            // 200, 400, 403 or 404
  std::filesystem::path file;  // the file to send when status is 200
};

// Returns the file that `url` (path and query as requested) names under
// `root`: the path is cut at '?' or '#' and percent-decoded; a directory
// stands for its index.html, and a path ending in "/" names a directory only.
// 400 when the path does not start with '/';
// 403 when it has a ".." segment or a NUL, or leads out of the root through
// a symbolic link; 404 when no regular file is there. Requires `root` to be
// an existing directory.
FileLookup LookUpFile(const std::filesystem::path& root, std::string_view url);

// Returns `text` with each %XX (two hex digits) replaced by its byte; a '%'
// not followed by two hex digits stays as it is.
std::string PercentDecode(std::string_view text);

// Returns the Content-Type for a file, by its extension (case-insensitive);
// "application/octet-stream" for those the demo does not know.
std::string_view ContentTypeFor(const std::filesystem::path& file);

}  // namespace refwarden

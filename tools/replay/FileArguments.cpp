#include "tools/replay/FileArguments.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <sys/stat.h>
#endif

#include "strings/AsciiText.h"

namespace refwarden {

namespace {

bool LessIgnoringCase(const std::string& a, const std::string& b) {
  const auto lower = [](char x, char y) { return LowerAscii(x) < LowerAscii(y); };
  if (std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), lower)) return true;
  if (std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end(), lower)) return false;
  return a < b;
}

// The names of the files (not folders) in `folder` ("" is the current one).
// Returns false with *error set when it cannot be listed.
bool ListFiles(const std::string& folder, std::vector<std::string>* names, std::string* error) {
#ifdef _WIN32
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA((folder + "*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) {
    const DWORD code = GetLastError();
    if (code == ERROR_FILE_NOT_FOUND) return true;
    *error = code == ERROR_PATH_NOT_FOUND
                 ? "no such folder"
                 : "cannot list its folder (error " + std::to_string(code) + ")";
    return false;
  }
  do {
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) names->push_back(found.cFileName);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return true;
#else
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) {
    *error = std::strerror(errno);
    return false;
  }
  while (const dirent* entry = readdir(dir)) {
    struct stat st;
    const std::string path = folder + entry->d_name;
    if (stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) names->push_back(entry->d_name);
  }
  closedir(dir);
  return true;
#endif
}

}  // namespace

bool MatchesFilePattern(std::string_view name, std::string_view pattern) {
  std::size_t n = 0, p = 0;
  std::size_t starP = std::string_view::npos, starN = 0;  // where to resume after a mismatch
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == '*') {
      starP = p++;
      starN = n;
    } else if (p < pattern.size() &&
               (pattern[p] == '?' || LowerAscii(pattern[p]) == LowerAscii(name[n]))) {
      ++p;
      ++n;
    } else if (starP != std::string_view::npos) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

std::vector<std::string> ExpandFileArguments(const std::vector<std::string>& arguments) {
  std::vector<std::string> files;
  for (const std::string& argument : arguments) {
    const std::size_t cut = argument.find_last_of("\\/:");
    const std::string folder = cut == std::string::npos ? "" : argument.substr(0, cut + 1);
    const std::string pattern = argument.substr(folder.size());
    if (pattern.find_first_of("*?") == std::string::npos) {
      files.push_back(argument);
      continue;
    }
    std::vector<std::string> names;
    std::string error;
    if (!ListFiles(folder, &names, &error)) throw std::runtime_error(argument + ": " + error);
    std::vector<std::string> matched;
    for (const std::string& name : names) {
      if (MatchesFilePattern(name, pattern)) matched.push_back(name);
    }
    if (matched.empty()) throw std::runtime_error(argument + ": no file matches");
    std::sort(matched.begin(), matched.end(), LessIgnoringCase);
    for (const std::string& name : matched) files.push_back(folder + name);
  }
  return files;
}

}  // namespace refwarden

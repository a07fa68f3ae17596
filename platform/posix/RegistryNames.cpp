#include "platform/posix/RegistryNames.h"

#include <cstring>

#include "strings/AsciiText.h"

namespace refwarden {

bool NormaliseKeyPath(const char* sub, std::string_view* out) {
  std::string_view path = sub == nullptr ? std::string_view() : std::string_view(sub);
  if (!path.empty() && path.front() == '\\') return false;
  if (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  if (path.size() > kMaxKeyPathLen) return false;
  if (!path.empty()) {
    std::size_t start = 0;
    for (;;) {
      std::size_t end = path.find('\\', start);
      std::size_t len = (end == std::string_view::npos ? path.size() : end) - start;
      if (len == 0 || len > kMaxKeyNameLen) return false;
      if (end == std::string_view::npos) break;
      start = end + 1;
    }
  }
  *out = path;
  return true;
}

bool CheckValueName(const char* lpValueName, std::string_view* name) {
  if (lpValueName == nullptr) {
    *name = std::string_view();
    return true;
  }
  std::size_t len = strnlen(lpValueName, kMaxValueNameLen + 1);
  if (len > kMaxValueNameLen) return false;
  *name = std::string_view(lpValueName, len);
  return true;
}

void FoldAscii(std::string_view in, std::string* out) {
  out->assign(in.data(), in.size());
  for (char& c : *out) c = LowerAscii(c);
}

}  // namespace refwarden

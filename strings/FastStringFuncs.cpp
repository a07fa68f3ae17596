#include "strings/FastStringFuncs.h"

namespace refwarden {

std::string LeadingChars(std::string_view text, int count) {
  if (count <= 0) return {};
  return std::string(text.substr(0, static_cast<std::size_t>(count)));
}

std::string TrailingChars(std::string_view text, int count) {
  if (count <= 0) return {};
  const auto n = static_cast<std::size_t>(count);
  return std::string(n >= text.size() ? text : text.substr(text.size() - n));
}

}  // namespace refwarden

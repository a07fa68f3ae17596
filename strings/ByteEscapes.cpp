#include "strings/ByteEscapes.h"

namespace refwarden {

namespace {

void AppendEscaped(std::string* out, unsigned char byte) {
  static constexpr char kHex[] = "0123456789abcdef";
  out->push_back('\\');
  out->push_back('x');
  out->push_back(kHex[byte >> 4]);
  out->push_back(kHex[byte & 0xf]);
}

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// The length of the valid UTF-8 sequence at the front of `s` (whose first
// byte is 0x80 or above), or 0 when it is not one.
std::size_t Utf8SequenceLength(std::string_view s) {
  const auto byte = [&s](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char lead = byte(0);
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // the allowed range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
  } else {
    return 0;
  }
  if (s.size() < length || byte(1) < low || byte(1) > high) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (!IsContinuation(byte(i))) return 0;
  }
  return length;
}

}  // namespace

std::string EscapeBytes(std::string_view bytes, HighBytes high, Backslash backslash) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte < 0x20 || byte == 0x7F || (byte == '\\' && backslash == Backslash::kEscaped)) {
      AppendEscaped(&out, byte);
      ++i;
    } else if (byte < 0x80 || high == HighBytes::kKept) {
      out.push_back(static_cast<char>(byte));
      ++i;
    } else {
      const std::size_t length = Utf8SequenceLength(bytes.substr(i));
      // C1 controls (U+0080 to U+009F) are C2 80 to C2 9F.
      const bool control =
          length == 2 && byte == 0xC2 && static_cast<unsigned char>(bytes[i + 1]) < 0xA0;
      if (length == 0 || control) {
        const std::size_t n = length == 0 ? 1 : length;
        for (std::size_t k = 0; k < n; ++k)
          AppendEscaped(&out, static_cast<unsigned char>(bytes[i + k]));
        i += n;
      } else {
        out.append(bytes.data() + i, length);
        i += length;
      }
    }
  }
  return out;
}

std::string EscapeHtml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

}  // namespace refwarden

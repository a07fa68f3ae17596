#include "strings/Exceptions.h"

#include <cstdio>

namespace refwarden {

namespace {

std::string FormatAssertion(const char* unit, int line) {
  char text[160];
  std::snprintf(text, sizeof text, "%s (%s, line %d)", "Assertion failure", unit, line);
  return text;
}

}  // namespace

EAssertionFailed::EAssertionFailed(const char* unit, int line)
    : Exception(FormatAssertion(unit, line)) {}

}  // namespace refwarden

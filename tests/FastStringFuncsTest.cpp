#include "strings/FastStringFuncs.h"

#include <gtest/gtest.h>

#include "tests/support/Printable.h"
#include "tests/support/References.h"

namespace refwarden {
namespace {

using testing::Printable;

TEST(WildcardMatchTest, Table) {
  struct Case {
    std::string_view text, pattern;
    bool expected;
  };
  const Case cases[] = {
      // The image patterns against paths.
      {"/images/photo.jpg", "*.jpg", true},
      {".jpg", "*.jpg", true},
      {"jpg", "*.jpg", false},
      {"", "*.jpg", false},
      {"/a.JPG", "*.jpg", false},
      {"/a.Jpg", "*.jpg", false},
      {"/a.jpg.jpg", "*.jpg", false},
      {"/x.jpgx/y.jpg", "*.jpg", false},
      {"/x.jpg/y.jpg", "*.jpg", false},
      {"/a.gif.jpg", "*.jpg", true},
      {"/a.jpg/", "*.jpg", false},
      {"/a.jpgx", "*.jpg", false},
      {"/a.gif.gif", "*.gif", false},
      {"/a.png", "*.png", true},
      // The referer pattern of host h.
      {"http://h/page", "*/h/*", true},
      {"http://h", "*/h/*", false},
      {"http://h/", "*/h/*", true},
      {"", "*/h/*", false},
      {"http://o/?u=/h/x", "*/h/*", true},
      {"http://H/page", "*/h/*", false},
      {"http://h:80/p", "*/h/*", false},
      {"http://sub.h/p", "*/h/*", false},
      {"http://h.org/p", "*/h/*", false},
      {"/h/", "*/h/*", true},
      {"h/", "*/h/*", false},
      // An empty host: two adjacent slashes anywhere.
      {"http://x", "*//*", true},
      {"//", "*//*", true},
      {"/x/", "*//*", false},
      {"", "*//*", false},
      // General rules.
      {"", "", true},
      {"a", "", false},
      {"", "*", true},
      {"abc", "*", true},
      {"", "**", true},
      {"abc", "**", true},
      {"abc", "abc", true},
      {"ABC", "abc", false},
      {"ab", "abc", false},
      {"abc", "a*c", true},
      {"abbc", "a*c", true},
      {"abcbc", "a*c", false},
      {"abcbc", "a*bc", false},
      {"aab", "*ab", true},
      {"abab", "*ab", false},
      {"abcd", "*b*d", true},
      {"abdbd", "*b*d", false},
      {"abc", "*a*b*c*", true},
      {"acb", "*a*b*c*", false},
      {"ab", "a*b*", true},
      {"a", "ab*", false},
      {"a?c", "a?c", true},
      {"abc", "a?c", false},
      {"a\\c", "a\\c", true},
      {std::string_view("a\0c", 3), std::string_view("a\0*", 3), true},
      {std::string_view("a\0c", 3), "a*", true},
      {"a", std::string_view("a\0", 2), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WildcardMatch(c.text, c.pattern), c.expected)
        << "text " << Printable(c.text) << " pattern " << Printable(c.pattern);
    EXPECT_EQ(reference::SegmentMatch(c.text, c.pattern), c.expected)
        << "reference disagrees: text " << Printable(c.text) << " pattern " << Printable(c.pattern);
  }
}

TEST(WildcardMatchTest, AgreesWithSegmentRulesOnEveryShortInput) {
  const auto texts = reference::AllStrings("ab", 7);
  const auto patterns = reference::AllStrings("ab*", 6);
  for (const std::string& pattern : patterns) {
    for (const std::string& text : texts) {
      ASSERT_EQ(WildcardMatch(text, pattern), reference::SegmentMatch(text, pattern))
          << "text " << Printable(text) << " pattern " << Printable(pattern);
    }
  }
}

TEST(WildcardMatchTest, AgreesWithSegmentRulesOnImageLikeInputs) {
  const auto texts = reference::AllStrings("/.jpg", 6);
  for (std::string_view pattern : {"*.jpg", "*/jj/*", "*//*", "/*.*g"}) {
    for (const std::string& text : texts) {
      ASSERT_EQ(WildcardMatch(text, pattern), reference::SegmentMatch(text, pattern))
          << "text " << Printable(text) << " pattern " << Printable(pattern);
    }
  }
}

TEST(PieceTest, LeadingAndTrailingChars) {
  struct Case {
    std::string_view text;
    int count;
    std::string_view leading, trailing;
  };
  const Case cases[] = {
      {"", 4, "", ""},
      {"/", 4, "/", "/"},
      {"/abc", 4, "/abc", "/abc"},
      {"/abcd", 4, "/abc", "abcd"},
      {"/images/photo.jpg", 4, "/ima", ".jpg"},
      {"/abcd", 0, "", ""},
      {"/abcd", -3, "", ""},
      {std::string_view("\0a\0b\0", 5), 2, std::string_view("\0a", 2), std::string_view("b\0", 2)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(LeadingChars(c.text, c.count), c.leading)
        << Printable(c.text) << " count " << c.count;
    EXPECT_EQ(TrailingChars(c.text, c.count), c.trailing)
        << Printable(c.text) << " count " << c.count;
  }
}

}  // namespace
}  // namespace refwarden

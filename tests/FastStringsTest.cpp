#include "strings/FastStrings.h"

#include <gtest/gtest.h>

#include <string>

#include "strings/Exceptions.h"
#include "tests/support/Printable.h"
#include "tests/support/References.h"

namespace refwarden {
namespace {

using testing::Printable;

int Find(std::string_view source, std::string_view find, int start) {
  return FindSubstring(source.data(), find.data(), static_cast<int>(source.size()),
                       static_cast<int>(find.size()), start);
}

TEST(FindCharTest, Table) {
  struct Case {
    std::string_view source;
    char ch;
    int start;
    int expected;
  };
  const Case cases[] = {
      {"", 'a', 1, 0},
      {"", 'a', 7, 0},
      {"a*b*", '*', 1, 2},
      {"a*b*", '*', 3, 4},
      {"a*b*", '*', 4, 4},
      {"a*b*", '*', 5, 0},
      {"abc", 'c', 3, 3},
      {"abc", 'a', 3, 0},
      {"abc", 'c', 4, 0},
      {"abC", 'c', 1, 0},
      {std::string_view("a\0b", 3), '\0', 1, 2},
      {std::string_view("a\0b", 3), 'b', 1, 3},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FindChar(c.source, c.ch, c.start), c.expected)
        << "source " << Printable(c.source) << " ch " << Printable({&c.ch, 1}) << " start "
        << c.start;
  }
}

TEST(FindSubstringTest, Table) {
  struct Case {
    std::string_view source, find;
    int start;
    int expected;
  };
  const Case cases[] = {
      {"abc", "", 1, 0},
      {"abc", "", 2, 0},
      {"", "", 1, 0},
      {"ab", "abc", 1, 0},
      {"abc", "abc", 1, 1},
      {"abc", "abc", 2, 0},
      {"aaa", "aa", 1, 1},
      {"aaa", "aa", 2, 2},
      {"aaa", "aa", 3, 0},
      {"xabcabc", "abc", 1, 2},
      {"xabcabc", "abc", 3, 5},
      {"abc", "c", 3, 3},
      {"abc", "c", 4, 0},
      {"abc", "c", 99, 0},
      {"A.JPG", ".jpg", 1, 0},
      {"/images/photo.jpg", ".jpg", 1, 14},
      {"/a.jpg.jpg", ".jpg", 1, 3},
      {std::string_view("x\0\0y\0z", 6), std::string_view("\0z", 2), 1, 5},
      {"\xff\xfe\x80\xff", "\x80\xff", 1, 3},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Find(c.source, c.find, c.start), c.expected)
        << "source " << Printable(c.source) << " find " << Printable(c.find) << " start "
        << c.start;
  }
}

TEST(FindSubstringTest, ReadsNothingBeyondTheGivenLengths) {
  // The bytes after each length would match if they were read.
  const std::string source = "xxabZZ";
  EXPECT_EQ(FindSubstring(source.data(), "abZ", 4, 2, 1), 3);
  EXPECT_EQ(FindSubstring(source.data(), "bZ", 4, 2, 1), 0);
}

TEST(FindSubstringTest, AgreesWithNaiveSearchOnEveryShortInput) {
  const auto sources = reference::AllStrings(std::string_view("ab\0", 3), 7);
  const auto finds = reference::AllStrings(std::string_view("ab\0", 3), 4);
  for (const std::string& source : sources) {
    for (const std::string& find : finds) {
      for (int start = 1; start <= static_cast<int>(source.size()) + 2; ++start) {
        ASSERT_EQ(Find(source, find, start), reference::NaiveFind(source, find, start))
            << "source " << Printable(source) << " find " << Printable(find) << " start " << start;
      }
    }
    for (char ch : {'a', '\0', 'c'}) {
      for (int start = 1; start <= static_cast<int>(source.size()) + 2; ++start) {
        ASSERT_EQ(FindChar(source, ch, start), reference::NaiveFindChar(source, ch, start))
            << "source " << Printable(source) << " ch " << Printable({&ch, 1}) << " start "
            << start;
      }
    }
  }
}

TEST(FastStringsFailureTest, StartBelowOneIsAnAssertionFailure) {
  for (int start : {0, -1, -1000}) {
    try {
      FindChar("abc", 'a', start);
      ADD_FAILURE() << "FindChar accepted start " << start;
    } catch (const EAssertionFailed& e) {
      EXPECT_EQ(e.Message(), "Assertion failure (FastStrings, line 462)");
    }
    try {
      Find("abc", "", start);  // the start test comes before the empty-find test
      ADD_FAILURE() << "FindSubstring accepted start " << start;
    } catch (const EAssertionFailed& e) {
      EXPECT_EQ(e.Message(), "Assertion failure (FastStrings, line 544)");
    }
  }
}

TEST(BuildShiftTableTest, HorspoolEntries) {
  struct Case {
    std::string_view find;
    std::vector<std::pair<char, int>> entries;
    int others;
  };
  const Case cases[] = {
      {".jpg", {{'.', 3}, {'j', 2}, {'p', 1}, {'g', 4}}, 4},
      {"abcab", {{'a', 1}, {'b', 3}, {'c', 2}}, 5},
      {"x", {{'x', 1}}, 1},
      {"gg", {{'g', 1}}, 2},
  };
  for (const Case& c : cases) {
    ShiftTable table;
    table.fill(-7);
    BuildShiftTable(c.find.data(), static_cast<int>(c.find.size()), table);
    for (int b = 0; b < 256; ++b) {
      int expected = c.others;
      for (auto [ch, value] : c.entries) {
        if (static_cast<unsigned char>(ch) == b) expected = value;
      }
      EXPECT_EQ(table[b], expected) << "find " << Printable(c.find) << " byte " << b;
    }
  }
}

TEST(BuildShiftTableTest, AgreesWithNaiveShiftsOnEveryShortFind) {
  for (const std::string& find : reference::AllStrings(std::string_view("ab\0", 3), 6)) {
    if (find.empty()) continue;
    ShiftTable table;
    BuildShiftTable(find.data(), static_cast<int>(find.size()), table);
    for (unsigned char b : {'a', 'b', '\0', 'c', '\xff'}) {
      ASSERT_EQ(table[b], reference::NaiveShift(find, b))
          << "find " << Printable(find) << " byte " << static_cast<int>(b);
    }
  }
}

TEST(BuildShiftTableTest, EmptyFindIsRefused) {
  ShiftTable table;
  for (int length : {0, -1}) {
    try {
      BuildShiftTable("", length, table);
      ADD_FAILURE() << "accepted length " << length;
    } catch (const EAssertionFailed&) {
      ADD_FAILURE() << "wrong failure class";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), "BufferLen is 0");
    }
  }
}

TEST(ShiftTableScanTest, EmptyOrShortRangeFindsNothing) {
  ShiftTable table;
  BuildShiftTable("ab", 2, table);
  for (int length : {-5, 0, 1}) {
    EXPECT_EQ(ShiftTableScan("ab", "ab", length, 2, table), nullptr) << "length " << length;
  }
  const char range[] = "zzab";
  EXPECT_EQ(ShiftTableScan(range, "ab", 4, 2, table), range + 2);
}

}  // namespace
}  // namespace refwarden

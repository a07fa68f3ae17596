#include "tools/replay/FileArguments.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <stdexcept>

namespace refwarden {
namespace {

namespace fs = std::filesystem;

TEST(MatchesFilePatternTest, Table) {
  struct Case {
    std::string_view name, pattern;
    bool matches;
  };
  const Case cases[] = {
      {"u_ex240501.log", "u_ex*.log", true},
      {"u_ex240501.log", "U_EX2405*.LOG", true},
      {"u_ex240501.log.gz", "u_ex*.log", false},
      {"u_ex240501.log", "u_ex24050?.log", true},
      {"u_ex2405011.log", "u_ex24050?.log", false},
      {"u_ex.log", "u_ex*.log", true},
      {"a.log", "*", true},
      {"", "*", true},
      {"", "?", false},
      {"abcabc.log", "*abc*.log", true},
      {"aab", "*ab", true},
      {"ab", "a**b", true},
      {"x.jpg", "*.log", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MatchesFilePattern(c.name, c.pattern), c.matches) << c.name << " ~ " << c.pattern;
  }
}

TEST(ExpandFileArgumentsTest, ExpandsTheFilePartSortedByName) {
  const fs::path dir =
      fs::temp_directory_path() / ("refwarden-args-" + std::to_string(std::random_device{}()));
  fs::create_directories(dir / "u_ex240599.log");  // a folder: never a match
  for (const char* name : {"u_ex240502.log", "U_EX240501.log", "u_ex240510.log", "other.txt"})
    std::ofstream(dir / name) << "#\n";
  const std::string base = dir.string() + "/";

  EXPECT_EQ(ExpandFileArguments({base + "u_ex2405*.log", "-", base + "other.txt"}),
            (std::vector<std::string>{base + "U_EX240501.log", base + "u_ex240502.log",
                                      base + "u_ex240510.log", "-", base + "other.txt"}));
  EXPECT_EQ(ExpandFileArguments({base + "u_ex24050?.log"}),
            (std::vector<std::string>{base + "U_EX240501.log", base + "u_ex240502.log"}));
  // No wildcard: left as it is, even when there is no such file.
  EXPECT_EQ(ExpandFileArguments({base + "absent.log"}),
            std::vector<std::string>{base + "absent.log"});

  try {
    ExpandFileArguments({base + "u_ex2406*.log"});
    ADD_FAILURE() << "a pattern that matches nothing";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), base + "u_ex2406*.log: no file matches");
  }
  EXPECT_THROW(ExpandFileArguments({base + "absent/*.log"}), std::runtime_error);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace refwarden

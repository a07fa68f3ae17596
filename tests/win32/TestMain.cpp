// The main of the Windows test programs: GoogleTest's, with standard output
// in binary mode, so that the list of tests CTest reads through Wine
// (--gtest_list_tests) has no CR before its line ends.
#include <fcntl.h>
#include <io.h>

#include <gtest/gtest.h>

#include <cstdio>

int main(int argc, char** argv) {
  _setmode(_fileno(stdout), _O_BINARY);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

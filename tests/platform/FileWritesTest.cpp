#include "platform/FileWrites.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string>

#include "tests/support/TestFiles.h"

namespace {

// A file written over in place is, whenever a stop at once comes, either
// as it was or as the new text: before the cut has begun the earlier bytes
// and size go back, once it has begun the cut is finished, and an unmarked
// file is left alone.
TEST(FileWritesTest, AStopAtOnceLeavesAnOverwrittenFileAsItWasOrAsTheNewText) {
  ScratchDir scratch;
  const std::string path = scratch.File("earlier.txt");
  const std::string earlier = "earlier results, row after row\nand more of them\n";
  const std::string text = "new header\n";
  for (const bool cutting : {false, true}) {
    SCOPED_TRACE(cutting ? "cut begun" : "cut not begun");
    {
      std::ofstream out(path, std::ios::trunc);
      out << earlier;
    }
    const int fd = open(path.c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    char saved[64];
    ASSERT_EQ(KorvanReadAllAt(fd, saved, text.size(), 0), 0);
    KorvanOverwriteMark* mark = KorvanMarkOverwrite(fd, static_cast<off_t>(earlier.size()), saved, text.size(),
                                                    static_cast<off_t>(text.size()));
    ASSERT_EQ(KorvanWriteAllAt(fd, text.data(), text.size(), 0), 0);
    if (cutting) KorvanMarkCutting(mark, true);
    KorvanPutBackOverwrites();
    EXPECT_EQ(ReadFile(path), cutting ? text : earlier);
    KorvanUnmarkOverwrite(mark);
    // Unmarked: a later stop leaves the file as it now is.
    ASSERT_EQ(KorvanWriteAllAt(fd, "X", 1, 0), 0);
    KorvanPutBackOverwrites();
    EXPECT_EQ(ReadFile(path)[0], 'X');
    close(fd);
  }
  // A read past the end reports it instead of leaving part of the buffer
  // unread.
  const int fd = open(path.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  char buffer[256];
  EXPECT_EQ(KorvanReadAllAt(fd, buffer, sizeof(buffer), 0), EIO);
  close(fd);
}

}  // namespace

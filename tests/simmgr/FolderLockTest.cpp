// The folder lock that keeps two studies out of one folder.

#include <chrono>
#include <filesystem>
#include <gtest/gtest.h>
#include <string>
#include <thread>

#include "simmgr/FolderLock.h"
#include "tests/simmgr/SimMgrTestSupport.h"
#include "tools/SimulatorProcess.h"

namespace {

TEST(FolderLockTest, OneHolderPerFolderWhateverTheName) {
  const std::string dir = TestFolder("folder_lock");
  std::filesystem::create_directories(dir + "/a");
  std::filesystem::create_directories(dir + "/b");
  std::filesystem::create_directory_symlink(dir + "/a", dir + "/link");
  std::string error;
  {
    FolderLock first;
    ASSERT_TRUE(first.Acquire(dir + "/a", "--out", error)) << error;
    EXPECT_TRUE(first.Holds(dir + "/a"));
    EXPECT_TRUE(first.Holds(dir + "/link"));
    EXPECT_TRUE(first.Holds(dir + "/b/../a/."));
    EXPECT_FALSE(first.Holds(dir + "/b"));
    EXPECT_FALSE(first.Holds(dir + "/missing"));

    // Through another name, and through the same one: both refused, with
    // the folder as given and the option that leads elsewhere.
    FolderLock second;
    EXPECT_FALSE(second.Acquire(dir + "/link", "--ascii-dir", error));
    EXPECT_EQ(error, "another simmgr is using " + dir +
                         "/link (for its results or its simulators' ASCII files); wait for it to end or give "
                         "another --ascii-dir");
    EXPECT_FALSE(second.Acquire(dir + "/a", "--out", error));
    EXPECT_FALSE(second.Holds(dir + "/a"));
    // Another folder is free.
    FolderLock other;
    EXPECT_TRUE(other.Acquire(dir + "/b", "--out", error)) << error;
  }
  // Released with its holder.
  FolderLock again;
  EXPECT_TRUE(again.Acquire(dir + "/a", "--out", error)) << error;

  FolderLock missing;
  EXPECT_FALSE(missing.Acquire(dir + "/missing", "--out", error));
  EXPECT_EQ(error, "cannot open " + dir + "/missing: No such file or directory");
  FolderLock file;
  { std::ofstream(dir + "/plain") << "x"; }
  EXPECT_FALSE(file.Acquire(dir + "/plain", "--out", error));
  EXPECT_EQ(error, "cannot open " + dir + "/plain: Not a directory");
}

// simmgr's simulators outlive it when it is killed (a simulator waiting for
// its connection waits a minute): they must not keep its folder locked.
TEST(FolderLockTest, AProgramStartedWhileLockedDoesNotHoldTheLock) {
  const std::string dir = TestFolder("folder_lock_exec");
  std::string error;
  SimulatorProcess sleeper;
  {
    FolderLock lock;
    ASSERT_TRUE(lock.Acquire(dir, "--out", error)) << error;
    ASSERT_TRUE(sleeper.Start("/bin/sleep", {"30"}));
  }
  FolderLock next;
  EXPECT_TRUE(next.Acquire(dir, "--out", error)) << error;
  sleeper.Kill();
}

}  // namespace

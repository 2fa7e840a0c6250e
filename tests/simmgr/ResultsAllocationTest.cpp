// The result files under memory that runs out: every allocation made while
// they are written fails in turn. (This binary replaces the global operator
// new to fail the one chosen.)

#include <gtest/gtest.h>

#include <dirent.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <fstream>
#include <new>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "simmgr/ResultsWriter.h"

namespace {

// The allocation that fails, counted from 1 while armed; 0 for none.
std::atomic<long> toFail{0};
std::atomic<long> made{0};

void* Allocate(std::size_t size) noexcept {
  if (toFail.load(std::memory_order_relaxed) > 0 && made.fetch_add(1) + 1 == toFail.load()) return nullptr;
  return std::malloc(size > 0 ? size : 1);
}

}  // namespace

void* operator new(std::size_t size) {
  void* p = Allocate(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::set<std::string> Entries(const std::string& dir) {
  std::set<std::string> names;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return names;
  while (dirent* e = readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.insert(name);
  }
  closedir(d);
  return names;
}

// Files written together are all replaced or none is, and no temporary is
// left beside them, whichever allocation fails: the folder never holds one
// study's CSV beside another's JSON. (A failure after the first file was
// put in place, in finding its folder to sync, left the first replaced and
// the others as they were, with their temporaries.)
TEST(ResultsAllocationTest, FilesWrittenTogetherAreAllOrNoneReplaced) {
  // A folder whose name is too long to be kept inside a string object.
  char folder[] = "results-allocation-test-folder-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  char* here = get_current_dir_name();
  ASSERT_NE(here, nullptr);
  const std::string dir = std::string(here) + "/" + folder;
  std::free(here);
  const std::vector<std::string> names = {"results.csv", "results-meta.csv", "results.json", "results.svg"};
  std::vector<std::pair<std::string, std::string>> files;
  for (const std::string& name : names) files.push_back({dir + "/" + name, "new " + name + "\n"});
  const std::set<std::string> entries(names.begin(), names.end());
  bool completed = false;
  for (long n = 1; n < 1000 && !completed; ++n) {
    SCOPED_TRACE("allocation " + std::to_string(n));
    for (const std::string& name : names) std::ofstream(dir + "/" + name) << "old " << name << "\n";
    std::string error;
    made = 0;
    toFail = n;
    try {
      completed = ResultsWriter::WriteTogether(files, error, true);
      toFail = 0;
      ASSERT_TRUE(completed) << error;
    } catch (const std::bad_alloc&) {
      toFail = 0;
    }
    int replaced = 0;
    for (const std::string& name : names) replaced += ReadFile(dir + "/" + name) == "new " + name + "\n";
    EXPECT_TRUE(replaced == 0 || (completed && replaced == 4)) << replaced << " of 4 replaced";
    EXPECT_EQ(Entries(dir), entries);
  }
  EXPECT_TRUE(completed);
  for (const std::string& name : names) unlink((dir + "/" + name).c_str());
  rmdir(dir.c_str());
}

}  // namespace

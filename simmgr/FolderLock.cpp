#include "simmgr/FolderLock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Cpp/BaseClasses/KorvanAssert.h"

FolderLock::~FolderLock() {
  if (fd >= 0) close(fd);
}

bool FolderLock::Acquire(const std::string& path, const std::string& option, std::string& error) {
  KORVAN_ASSERT(fd < 0);
  int opened;
  do {
    opened = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (opened < 0 && errno == EINTR);
  if (opened < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  int locked;
  do {
    locked = flock(opened, LOCK_EX | LOCK_NB);
  } while (locked != 0 && errno == EINTR);
  if (locked != 0 && errno == EWOULDBLOCK) {
    close(opened);
    error = "another simmgr is using " + path + " (for its results or its simulators' ASCII files); wait for it "
            "to end or give another " + option;
    return false;
  }
  // Any other failure: a file system without locks, where the folder is
  // used unguarded, as it would be without this class.
  struct stat info;
  if (fstat(opened, &info) != 0) {
    error = "cannot examine " + path + ": " + std::strerror(errno);
    close(opened);
    return false;
  }
  fd = opened;
  device = info.st_dev;
  inode = info.st_ino;
  return true;
}

bool FolderLock::Holds(const std::string& path) const {
  struct stat info;
  return fd >= 0 && stat(path.c_str(), &info) == 0 && info.st_dev == device && info.st_ino == inode;
}

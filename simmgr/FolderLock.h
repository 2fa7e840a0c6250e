#ifndef FOLDER_LOCK_H
#define FOLDER_LOCK_H

#include <string>
#include <sys/types.h>

// An exclusive advisory lock on a folder, held for the life of the object
// (and released by the system when the process ends, however it ends).
// Two studies writing into one folder would replace each other's results
// and saved state, and a later --resume would take the wrong one further.
//
// The lock is taken on the folder itself, so it adds no file to it, and
// its descriptor is closed on exec: the simulators simmgr starts do not
// hold it after simmgr is gone. On a file system without such locks
// Acquire succeeds without one.
class FolderLock {
 public:
  FolderLock() = default;
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  ~FolderLock();

  // Locks the existing folder `path`. False, with the reason, when it
  // cannot be opened or another holder has it locked; the reason names
  // `option` as the way to another folder. REQUIRES: nothing held yet.
  bool Acquire(const std::string& path, const std::string& option, std::string& error);
  // Whether `path` is the folder this object holds (through any name).
  bool Holds(const std::string& path) const;

 private:
  int fd = -1;
  dev_t device = 0;
  ino_t inode = 0;
};

#endif

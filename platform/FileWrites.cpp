#include "platform/FileWrites.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

int KorvanWriteAllAt(int fd, const char* data, size_t size, off_t offset) {
  while (size > 0) {
    const ssize_t written = pwrite(fd, data, size, offset);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (written == 0) return EIO;
    data += written;
    size -= static_cast<size_t>(written);
    offset += written;
  }
  return 0;
}

int KorvanTruncateTo(int fd, off_t size) {
  int result;
  do {
    result = ftruncate(fd, size);
  } while (result == -1 && errno == EINTR);
  return result == 0 ? 0 : errno;
}

const char* KorvanPathOfDescriptor(int fd, const char* name, char (&buffer)[kKorvanDescriptorPathSize]) {
  std::snprintf(buffer, sizeof(buffer), "/proc/self/fd/%d", fd);
  struct stat viaProc;
  struct stat viaFd;
  if (stat(buffer, &viaProc) == 0 && fstat(fd, &viaFd) == 0 && viaProc.st_dev == viaFd.st_dev &&
      viaProc.st_ino == viaFd.st_ino) {
    return buffer;
  }
  return name;
}

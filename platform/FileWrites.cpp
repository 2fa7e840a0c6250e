#include "platform/FileWrites.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "Cpp/BaseClasses/KorvanAssert.h"

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

int KorvanReadAllAt(int fd, char* buffer, size_t size, off_t offset) {
  while (size > 0) {
    const ssize_t got = pread(fd, buffer, size, offset);
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (got == 0) return EIO;
    buffer += got;
    size -= static_cast<size_t>(got);
    offset += got;
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

// Read by a signal handler, so lock-free atomics only; `fd` is set last
// and cleared first.
struct KorvanOverwriteMark {
  std::atomic<int> fd{-1};
  std::atomic<bool> cutting{false};
  std::atomic<long long> size{-1};
  std::atomic<long long> textLength{-1};
  std::atomic<const char*> saved{nullptr};
  std::atomic<size_t> savedLength{0};
};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free &&
                  std::atomic<long long>::is_always_lock_free &&
                  std::atomic<const char*>::is_always_lock_free && std::atomic<size_t>::is_always_lock_free,
              "read by a signal handler");

namespace {
KorvanOverwriteMark overwriteMarks[kKorvanOverwriteMarks];
}  // namespace

KorvanOverwriteMark* KorvanMarkOverwrite(int fd, off_t size, const char* saved, size_t savedLength,
                                         off_t textLength) {
  KORVAN_ASSERT(fd >= 0);
  // An exit while a file is marked (memory that ran out, say, which ends
  // the process from where it failed) puts it back as a stop at once does.
  static const bool putBackAtExit = std::atexit(KorvanPutBackOverwrites) == 0;
  KORVAN_ASSERT(putBackAtExit);
  KorvanOverwriteMark* mark = nullptr;
  for (KorvanOverwriteMark& free : overwriteMarks) {
    if (free.fd.load() == -1) {
      mark = &free;
      break;
    }
  }
  KORVAN_ASSERT(mark != nullptr);
  mark->cutting.store(false);
  mark->size.store(static_cast<long long>(size));
  mark->textLength.store(static_cast<long long>(textLength));
  mark->saved.store(saved);
  mark->savedLength.store(savedLength);
  mark->fd.store(fd);
  return mark;
}

void KorvanMarkCutting(KorvanOverwriteMark* mark, bool cutting) { mark->cutting.store(cutting); }

void KorvanUnmarkOverwrite(KorvanOverwriteMark* mark) { mark->fd.store(-1); }

void KorvanPutBackOverwrites() {
  for (KorvanOverwriteMark& mark : overwriteMarks) {
    const int fd = mark.fd.load();
    if (fd < 0) continue;
    if (mark.cutting.load()) {
      KorvanTruncateTo(fd, static_cast<off_t>(mark.textLength.load()));
    } else {
      KorvanWriteAllAt(fd, mark.saved.load(), mark.savedLength.load(), 0);
      KorvanTruncateTo(fd, static_cast<off_t>(mark.size.load()));
    }
  }
}

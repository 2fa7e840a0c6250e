#ifndef TESTS_SUPPORT_FILE_SIZE_LIMIT_H
#define TESTS_SUPPORT_FILE_SIZE_LIMIT_H

#include <signal.h>
#include <sys/resource.h>

// While it lives, no write takes a file of this process past `bytes`: the
// write fails with EFBIG ("File too large"), as one to a full disk fails
// with ENOSPC, and SIGXFSZ is ignored instead of ending the process. Keep
// its scope to the writes under test: the test framework's own files are
// limited too.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    struct sigaction ignore = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &ignore, &savedAction_);
    getrlimit(RLIMIT_FSIZE, &savedLimit_);
    struct rlimit limit = savedLimit_;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &savedLimit_);
    sigaction(SIGXFSZ, &savedAction_, nullptr);
  }

 private:
  struct sigaction savedAction_ = {};
  struct rlimit savedLimit_ = {};
};

#endif

#ifndef TESTS_FUZZ_FUZZ_SUPPORT_H
#define TESTS_FUZZ_FUZZ_SUPPORT_H

// Shared by the fuzz harnesses: the check that turns a broken invariant
// into a finding, and the reading of a command line out of fuzz input.

#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

// A broken invariant is a finding like a crash: say which and abort, so
// that the fuzzer keeps the input.
#define FUZZ_CHECK(condition, detail)                                                   \
  do {                                                                                  \
    if (!(condition)) {                                                                 \
      std::fprintf(stderr, "invariant broken: %s (%s:%d)\n%s\n", #condition, __FILE__, \
                   __LINE__, std::string(detail).c_str());                              \
      std::abort();                                                                     \
    }                                                                                   \
  } while (0)

// Arguments of a command line: the input cut at its NUL bytes, at most
// `maxArguments` of them (the rest is ignored).
inline std::vector<std::string> SplitArguments(const unsigned char* data, size_t size,
                                               size_t maxArguments) {
  std::vector<std::string> arguments;
  std::string current;
  for (size_t i = 0; i < size && arguments.size() < maxArguments; i++) {
    if (data[i] == 0) {
      arguments.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  if (!current.empty() && arguments.size() < maxArguments) arguments.push_back(current);
  return arguments;
}

// An argv for `arguments`, with `program` in front. The strings must outlive
// the result.
inline std::vector<char*> MakeArgv(const char* program, std::vector<std::string>& arguments) {
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program));
  for (std::string& argument : arguments) argv.push_back(&argument[0]);
  argv.push_back(nullptr);
  return argv;
}

// Everything written to std::cout and std::cerr while it lives, kept apart.
class CapturedStreams {
 public:
  CapturedStreams()
      : savedOut_(std::cout.rdbuf(out_.rdbuf())), savedErr_(std::cerr.rdbuf(err_.rdbuf())) {}
  ~CapturedStreams() {
    std::cout.rdbuf(savedOut_);
    std::cerr.rdbuf(savedErr_);
  }
  CapturedStreams(const CapturedStreams&) = delete;
  CapturedStreams& operator=(const CapturedStreams&) = delete;
  std::string Out() const { return out_.str(); }
  std::string Err() const { return err_.str(); }

 private:
  std::ostringstream out_;
  std::ostringstream err_;
  std::streambuf* savedOut_;
  std::streambuf* savedErr_;
};

#endif

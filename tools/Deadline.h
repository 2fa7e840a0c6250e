#ifndef DEADLINE_H
#define DEADLINE_H

#include <chrono>

// A point in monotonic time after which an operation gives up. Every wait of
// the manager side is bounded by one.
class Deadline {
 public:
  explicit Deadline(int timeoutMs)
      : end(std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : 0)) {}

  // Milliseconds left, 0 once the deadline has passed; rounded up so that a
  // wait of the result never ends before the deadline.
  int RemainingMs() const {
    const auto left = end - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) return 0;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
  }

  bool Expired() const { return std::chrono::steady_clock::now() >= end; }

 private:
  std::chrono::steady_clock::time_point end;
};

#endif

#ifndef LAGGED_FIBONACCI_H
#define LAGGED_FIBONACCI_H

#include "random/RandomNumberGenerator.h"

// Floating-point lagged Fibonacci generator, X[n] = (X[n-100] + X[n-37]) mod 1,
// handing out fractions in [0, 1) on a grid of 2^-52.
//
// The generator state is process-wide, not per object: the array ran_u below
// and the read position into the current batch are shared by every
// LaggedFibonacci, so all of them draw from one stream (only one is ever in
// use). Both are constant-initialised, so the stream may be seeded during
// static initialisation of other translation units. Not thread-safe.
class LaggedFibonacci : public RandomNumberGenerator {
 public:
  // Largest seed the seeding routine accepts unchanged; seeds are 0 ..
  // kMaxSeed (2^31 - 3). Callers that want to refuse other seeds compare
  // with this; ranf_start itself reduces them (see below).
  static constexpr long kMaxSeed = 2147483645L;

  // Leaves the generator unseeded: rnd() before srnd() yields zeros until
  // the shared state is seeded by some srnd() or ranf_start().
  LaggedFibonacci();
  ~LaggedFibonacci() override;

  // The next value of the current batch of 100; every 100th call computes a
  // new batch. The read position is shared by all objects.
  double rnd() override;
  // ranf_start(seed) (the seed taken as a two's-complement long), then two
  // batches of 100; the first is discarded, the second is handed out next.
  // The shared read position is kept, so after a re-seed the stream resumes
  // at the same offset into the new batch.
  void srnd(unsigned long seed) override;

  // The shared read position into the batch, 0 .. 100 (100 means the next
  // rnd() computes a new batch). Starts at 0 when the program starts.
  static int SharedPosition() { return position_; }

 private:
  static int position_;
  double buffer[100];
};

// The state of the lagged Fibonacci stream: the next 100 values ranf_array
// hands out.
extern double ran_u[100];

// Seeds ran_u from seed. Seeds 0 .. LaggedFibonacci::kMaxSeed give the
// published algorithm's stream. Any other seed, for which the published
// routine never ends (negative seeds) or overflows (2^31 - 2 and above), is
// first reduced to its non-negative remainder modulo 2^31 - 2, i.e. into
// 0 .. kMaxSeed (so -1 seeds as kMaxSeed and 2^31 - 2 as 0).
void ranf_start(long seed);

// Copies the 100 values of ran_u to aa[0..99], extends aa with the
// recurrence up to aa[n-1] and advances ran_u past the n values.
// REQUIRES: n >= 100 and aa holds n doubles.
void ranf_array(double* aa, int n);

#endif

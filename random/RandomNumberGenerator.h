#ifndef RANDOM_NUMBER_GENERATOR_H
#define RANDOM_NUMBER_GENERATOR_H

// A uniform random number stream. Every random quantity of a run is drawn
// from the one generator held by TheDistribution.
class RandomNumberGenerator {
 public:
  virtual ~RandomNumberGenerator() {}
  // The next uniform fraction.
  virtual double rnd() { return 0.0; }
  // Restarts the stream from seed.
  virtual void srnd(unsigned long seed) { (void)seed; }
};

#endif

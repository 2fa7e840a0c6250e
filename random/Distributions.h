#ifndef DISTRIBUTIONS_H
#define DISTRIBUTIONS_H

#include "random/RandomNumberGenerator.h"

// Random variates drawn from one owned uniform generator.
class Distributions {
 public:
  // Creates an unseeded lagged Fibonacci generator.
  Distributions();
  Distributions(const Distributions&) = delete;
  Distributions& operator=(const Distributions&) = delete;
  ~Distributions();

  double Exponential(double rate);
  double Deterministic(double value);
  double Geometric(double p);
  double Weibull(double shape, double scale);
  double ConditionalWeibull(double shape, double scale, double age);
  double Normal(double mean, double variance);
  double Lognormal(double mean, double variance);
  double Erlang(double stages, double b);
  double Triangular(double a, double b, double c);
  double Gamma(double alpha, double beta);
  double Beta(double alpha, double beta);
  double Uniform(double a, double b);
  double Binomial(double n, double p);
  double NegativeBinomial(double n, double p);
  double HyperExponential(int n, double* pairs);
  double HypoExponential(int n, double* rates);
  double Pareto(double a, double b);

  // The owned generator; deleted through its virtual destructor.
  RandomNumberGenerator* generator;
};

class UserDistributions : public Distributions {
 public:
  // An unseeded lagged Fibonacci generator.
  UserDistributions();
  // kind 1: Tausworthe; 0 and every other value: lagged Fibonacci. Seeded
  // with seed.
  UserDistributions(int kind, long seed);
  ~UserDistributions();
};

// The program-wide distribution object, built before main with a lagged
// Fibonacci generator seeded with 31415, and the pointer through which
// everything reaches it.
extern UserDistributions TheGenerator;
extern UserDistributions* TheDistribution;

#endif

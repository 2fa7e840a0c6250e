#include "random/Distributions.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <limits>
#include <new>

#include "Cpp/BaseClasses/ErrorReporting.h"
#include "Cpp/BaseClasses/KorvanAssert.h"
#include "random/LaggedFibonacci.h"
#include "random/Tausworthe.h"

// Built during static initialisation. Seeding it writes the lagged Fibonacci
// state, whose globals are constant-initialised and therefore ready before
// any dynamic initialiser runs, whatever the link order.
UserDistributions TheGenerator(0, 31415);
// Constant-initialised with an address: valid even for initialisers of other
// translation units that run before TheGenerator is built.
UserDistributions* TheDistribution = &TheGenerator;

namespace {

constexpr double kLn4 = 1.3862943611198906;
constexpr double kOnePlusLn4_5 = 2.504077396776274;
constexpr double kE = 2.718281828459045;

// While zero lies at most kTailStart standard deviations above the mean, the
// non-negative normal is drawn by rejecting the polar method's negative
// values; further out that would take millions of pairs per value (at 6,
// about a thousand million), and the tail is drawn directly instead.
constexpr double kTailStart = 5.0;

// A product of uniforms below this is folded into a sum of logarithms, long
// before it could underflow (each factor is at least 2^-64 or exactly 0).
constexpr double kFoldBelow = 0x1p-900;

// The largest count the counted loops accept: their counter is an int.
constexpr double kMaxCount = static_cast<double>(INT_MAX);

double QuietNaN() { return std::numeric_limits<double>::quiet_NaN(); }

RandomNumberGenerator* NewLaggedFibonacci() {
  RandomNumberGenerator* g = new (std::nothrow) LaggedFibonacci();
  if (g == nullptr) MemoryAllocationError();
  return g;
}

// y1 * W of one polar pair: U1, U2 until the point lies in the unit disc.
double PolarDeviate(RandomNumberGenerator* generator) {
  double y1, y2, s;
  do {
    const double u1 = generator->rnd();
    const double u2 = generator->rnd();
    y1 = 2.0 * u1 - 1.0;
    y2 = 2.0 * u2 - 1.0;
    s = y1 * y1 + y2 * y2;
  } while (s > 1.0);
  return y1 * std::sqrt(-2.0 * std::log(s) / s);
}

// ln(1 - p). For small p, 1 - p rounds away the digits of p (below 2^-54
// it is 1, and the count ln U / ln(1 - p) was -inf; at 6e-17 it was half
// of what it should be): log1p keeps them. Elsewhere the plain form, so
// that draws at ordinary probabilities stay as they were.
double LogOfComplement(double p) { return p < 1e-3 ? std::log1p(-p) : std::log(1.0 - p); }

// Shapes above this evaluate Cheng's R without the cancellation of its
// terms of size alpha; below it the plain form is exact enough.
constexpr double kLargeShape = 1e6;

// e^v - 1 - v, accurate also for small |v|.
double ExpM1MinusV(double v) {
  if (std::fabs(v) < 1e-3) return v * v * (0.5 + v * (1.0 / 6.0 + v * (1.0 / 24.0 + v / 120.0)));
  return std::expm1(v) - v;
}

// Unit-scale gamma variate of shape alpha. When logX is given it receives
// ln of the result, exact also where the result underflows (only then is it
// worked out: a plain gamma draw pays nothing for it).
double UnitGamma(RandomNumberGenerator* generator, double alpha, double* logX = nullptr) {
  // An infinite shape never passes Cheng's test (its arithmetic turns into
  // NaN), so it is treated like a shape that is not a number; so is a shape
  // so large that 2 alpha - 1 overflows, for the same reason.
  if (std::isnan(alpha) || (alpha > 1.0 && !std::isfinite(2.0 * alpha - 1.0))) return QuietNaN();
  if (alpha > 1.0) {
    // Cheng's rejection method.
    const double a = 1.0 / std::sqrt(2.0 * alpha - 1.0);
    const double b = alpha - kLn4;
    const double c = alpha + 1.0 / a;
    for (;;) {
      const double u1 = generator->rnd();
      const double u2 = generator->rnd();
      const double v = a * std::log(u1 / (1.0 - u1));
      const double x = alpha * std::exp(v);
      const double z = u1 * u1 * u2;
      // b + c v - x = -ln 4 + v / a - alpha (e^v - 1 - v).
      const double r = alpha > kLargeShape ? -kLn4 + v / a - alpha * ExpM1MinusV(v) : b + c * v - x;
      if (r + kOnePlusLn4_5 - 4.5 * z >= 0.0 || std::log(z) <= r) {
        if (logX != nullptr) *logX = std::log(alpha) + v;
        return x;
      }
    }
  }
  if (alpha == 1.0) {
    const double x = -std::log(generator->rnd());
    if (logX != nullptr) *logX = std::log(x);
    return x;
  }
  // Small shape (Ahrens and Dieter): two uniforms per attempt. Each branch
  // has its own acceptance test: e^-X >= U2 where X = P^(1/alpha) <= 1 (the
  // proposal there has density proportional to x^(alpha - 1)), X^(alpha - 1)
  // >= U2 where X = -ln((b - P) / alpha) > 1 (proposal proportional to e^-x).
  // A shape at or below 0 has no gamma distribution: at or below -e every P
  // is at most 0 and no X is ever accepted; above -e values would come out
  // that no error could reveal.
  if (!(alpha > 0.0)) return QuietNaN();
  const double b = (kE + alpha) / kE;
  for (;;) {
    const double p = b * generator->rnd();
    const double x = p <= 1.0 ? std::pow(p, 1.0 / alpha) : -std::log((b - p) / alpha);
    const double u2 = generator->rnd();
    const double acceptance = p <= 1.0 ? std::exp(-x) : std::pow(x, alpha - 1.0);
    if (acceptance >= u2) {
      if (logX != nullptr) *logX = p <= 1.0 ? std::log(p) / alpha : std::log(x);
      return x;
    }
  }
}

}  // namespace

Distributions::Distributions() : generator(NewLaggedFibonacci()) {}

Distributions::~Distributions() {
  delete generator;
  // Static objects destroyed after TheGenerator must not reach a dead stream
  // through a dangling pointer.
  generator = nullptr;
}

double Distributions::Exponential(double rate) { return -std::log(generator->rnd()) / rate; }

double Distributions::Deterministic(double value) { return value; }

double Distributions::Geometric(double p) {
  return std::floor(std::log(generator->rnd()) / LogOfComplement(p));
}

double Distributions::Weibull(double shape, double scale) {
  return scale * std::pow(-std::log(generator->rnd()), 1.0 / shape);
}

double Distributions::ConditionalWeibull(double shape, double scale, double age) {
  const double u = generator->rnd();
  const double hazard = std::pow(age / scale, shape);
  const double q = u * std::exp(-hazard);
  // -ln(U e^-h) = h - ln U, taken in that form only where the product has
  // left the normal range (an old unit: e^-h is 0 or loses its digits).
  if (q >= std::numeric_limits<double>::min() || !(age > 0.0 && scale > 0.0 && std::isfinite(hazard))) {
    const double remaining = q >= std::numeric_limits<double>::min() ? -std::log(q) : hazard - std::log(u);
    return scale * std::pow(remaining, 1.0 / shape) - age;
  }
  // age ((1 + E/h)^(1/shape) - 1), E = -ln U: no cancellation against age.
  return age * std::expm1(std::log1p(-std::log(u) / hazard) / shape);
}

double Distributions::Normal(double mean, double variance) {
  const double sd = std::sqrt(variance);
  // No spread (a variance of 0 or -0, whose root is -0): the mean, if it
  // is not negative.
  if (sd == 0.0) return mean >= 0.0 ? mean + 0.0 : QuietNaN();
  // The rejection below ends only if a non-negative value can come out;
  // when none can (NaN arguments, negative variance, a negative mean with
  // no spread, a mean of -inf) the result is a quiet NaN and nothing is
  // drawn.
  const double lowest = -mean / sd;
  if (std::isnan(sd) || std::isnan(mean) || mean == -std::numeric_limits<double>::infinity()) {
    return QuietNaN();
  }
  if (lowest == std::numeric_limits<double>::infinity()) {
    // Zero so far above the mean that its distance in standard deviations
    // overflows: the tail's rate below is that distance itself and its
    // proposals are all accepted, so the value is an exponential of mean
    // sd / lowest = variance / -mean, formed without the overflowed ratio
    // (subnormal, or 0). The same two numbers are drawn as below.
    const double excess = -std::log(generator->rnd());
    generator->rnd();
    return variance * excess / -mean;
  }
  if (lowest > kTailStart) {
    // The standard normal above `lowest` by rejection from an exponential
    // shifted there, with the rate that accepts most often: exact, and it
    // accepts more than 80% of its proposals this far out, at any distance.
    // The value is sd times the excess over `lowest`, which the exponential
    // gives directly: taking mean + sd * z would cancel to 0 far out.
    const double root = lowest < 1e150 ? std::sqrt(lowest * lowest + 4.0) : lowest;
    const double rate = 0.5 * (lowest + root);
    for (;;) {
      const double excess = -std::log(generator->rnd()) / rate;
      const double d = (lowest + excess) - rate;
      if (generator->rnd() < std::exp(-0.5 * d * d)) return sd * excess;
    }
  }
  double x;
  do {
    x = mean + sd * PolarDeviate(generator);
  } while (!(x >= 0.0));
  return x;
}

double Distributions::Lognormal(double mean, double variance) {
  return std::exp(mean + std::sqrt(variance) * PolarDeviate(generator));
}

double Distributions::Erlang(double stages, double b) {
  if (stages > kMaxCount - 1.0) return QuietNaN();
  // Many stages would take the product below the smallest double (a result
  // of +inf): small products are folded into a sum of logarithms, which
  // leaves every result without a fold as it was.
  double product = 1.0;
  double logSum = 0.0;
  for (int i = 1; i <= stages; i++) {
    product *= generator->rnd();
    if (product < kFoldBelow && product > 0.0) {
      logSum += std::log(product);
      product = 1.0;
    }
  }
  return -(b / stages) * (logSum + std::log(product));
}

double Distributions::Triangular(double a, double b, double c) {
  if (a == b) return a;
  const double r = (c - a) / (b - a);
  const double u = generator->rnd();
  if (u <= r) return a + (b - a) * std::sqrt(u * r);
  return a + (b - a) * (1.0 - std::sqrt((1.0 - r) * (1.0 - u)));
}

double Distributions::Gamma(double alpha, double beta) { return beta * UnitGamma(generator, alpha); }

double Distributions::Beta(double alpha, double beta) {
  double log1, log2;
  const double g1 = UnitGamma(generator, alpha, &log1);
  const double g2 = UnitGamma(generator, beta, &log2);
  // Both variates of small shapes may underflow: take the ratio from logs.
  if (!(g1 + g2 >= std::numeric_limits<double>::min()) && !std::isnan(g1 + g2)) {
    return 1.0 / (1.0 + std::exp(log2 - log1));
  }
  return g1 / (g1 + g2);
}

double Distributions::Uniform(double a, double b) { return a + generator->rnd() * (b - a); }

double Distributions::Binomial(double n, double p) {
  if (n > kMaxCount) return QuietNaN();
  int successes = 0;
  for (int i = 0; i < n; i++) {
    if (generator->rnd() <= p) successes++;
  }
  return successes;
}

double Distributions::NegativeBinomial(double n, double p) {
  if (n > kMaxCount) return QuietNaN();
  const double log_q = LogOfComplement(p);
  double sum = 0.0;
  for (int i = 0; i < n; i++) sum += std::floor(std::log(generator->rnd()) / log_q);
  return sum;
}

double Distributions::HyperExponential(int n, double* pairs) {
  // The fallback "last pair" does not exist without pairs.
  KORVAN_ASSERT(n >= 1);
  const double u = generator->rnd();
  double total = 0.0;
  for (int i = 0; i < n; i++) total += pairs[2 * i + 1];
  int chosen = n - 1;
  double running = 0.0;
  for (int j = 0; j < n; j++) {
    running += pairs[2 * j + 1];
    if (u < running / total) {
      chosen = j;
      break;
    }
  }
  return -std::log(generator->rnd()) / pairs[2 * chosen];
}

double Distributions::HypoExponential(int n, double* rates) {
  double sum = 0.0;
  for (int i = 0; i < n; i++) sum += -std::log(generator->rnd()) / rates[i];
  return sum;
}

double Distributions::Pareto(double a, double b) {
  return std::exp(std::log(a) - std::log(generator->rnd()) / b);
}

UserDistributions::UserDistributions() {
  delete generator;
  generator = NewLaggedFibonacci();
}

UserDistributions::UserDistributions(int kind, long seed) {
  delete generator;
  if (kind == 1) {
    generator = new (std::nothrow) Tausworthe();
    if (generator == nullptr) MemoryAllocationError();
  } else {
    generator = NewLaggedFibonacci();
  }
  generator->srnd(static_cast<unsigned long>(seed));
}

UserDistributions::~UserDistributions() {
  delete generator;
  generator = nullptr;
}

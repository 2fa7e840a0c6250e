#include "simmgr/SequentialTest.h"

#include <cerrno>
#include <cmath>
#include <limits>
#include <cstdlib>

#include "Cpp/BaseClasses/KorvanAssert.h"
#include "simmgr/NumberText.h"

SequentialTest::SequentialTest(Direction direction, double threshold, double alpha, double beta, double delta)
    : direction(direction), threshold(threshold), alpha(alpha), beta(beta), delta(delta) {}

bool SequentialTest::Parse(const std::string& text, std::string& variable, Direction& direction,
                           double& threshold, std::string& error) {
  const size_t at = text.find_first_of("<>");
  if (at == std::string::npos || text.find_first_of("<>", at + 1) != std::string::npos) {
    error = "a test reads '<variable> < <probability>' or '<variable> > <probability>', not '" + text + "'";
    return false;
  }
  auto trim = [](const std::string& s) {
    const size_t first = s.find_first_not_of(" \t");
    if (first == std::string::npos) return std::string();
    return s.substr(first, s.find_last_not_of(" \t") - first + 1);
  };
  variable = trim(text.substr(0, at));
  const std::string value = trim(text.substr(at + 1));
  direction = text[at] == '<' ? kBelow : kAbove;
  char* end = nullptr;
  errno = 0;
  threshold = value.empty() ? NAN : std::strtod(value.c_str(), &end);
  if (variable.empty() || value.empty() || errno != 0 || *end != '\0' || !(threshold > 0.0 && threshold < 1.0)) {
    error = "a test needs a variable and a probability strictly between 0 and 1, not '" + text + "'";
    return false;
  }
  return true;
}

bool SequentialTest::Check(std::string& error) const {
  if (!(alpha > 0.0 && alpha < 1.0) || !(beta > 0.0 && beta < 1.0) || !(alpha + beta < 1.0)) {
    error = "--alpha and --beta must lie between 0 and 1, with a sum below 1";
    return false;
  }
  if (!(delta > 0.0) || !(threshold - delta > 0.0) || !(threshold + delta < 1.0)) {
    error = "the indifference region " + NumberText::Shortest(threshold) + " -/+ " + NumberText::Shortest(delta) +
            " (--delta) must lie strictly between 0 and 1";
    return false;
  }
  // A region whose ends round to the threshold (a --delta of 1e-17 at 0.1)
  // gives both hypotheses one probability: no observation tells them apart.
  if (!(threshold - delta < threshold) || !(threshold + delta > threshold)) {
    error = "the indifference region " + NumberText::Shortest(threshold) + " -/+ " + NumberText::Shortest(delta) +
            " (--delta) is too narrow: its ends are the threshold itself";
    return false;
  }
  return true;
}

double SequentialTest::LogRatio(double* roundingBound) const {
  const double p1 = direction == kBelow ? threshold - delta : threshold + delta;
  const double p0 = direction == kBelow ? threshold + delta : threshold - delta;
  const double ones = static_cast<double>(k) * std::log(p1 / p0);
  const double zeros = static_cast<double>(n - k) * std::log((1.0 - p1) / (1.0 - p0));
  // Each logarithm, product and the sum are rounded: a few units in the
  // last place of the terms' magnitude.
  if (roundingBound != nullptr) {
    *roundingBound = 8.0 * std::numeric_limits<double>::epsilon() * (std::fabs(ones) + std::fabs(zeros));
  }
  return ones + zeros;
}

// Wald's test decides when the ratio reaches a bound. A ratio that reaches
// it exactly (parameters that are exact binary fractions can make it) must
// not be taken for one short of it by the rounding of the logarithms: a
// ratio within that rounding of a bound has reached it.
SequentialTest::Decision SequentialTest::Decide() const {
  double slack = 0.0;
  const double ratio = LogRatio(&slack);
  const double accept = AcceptBound();
  const double reject = RejectBound();
  const double eps = std::numeric_limits<double>::epsilon();
  if (ratio >= accept - slack - 4.0 * eps * std::fabs(accept)) return kAccept;
  if (ratio <= reject + slack + 4.0 * eps * std::fabs(reject)) return kReject;
  return kUndecided;
}

double SequentialTest::AcceptBound() const { return std::log((1.0 - beta) / alpha); }

double SequentialTest::RejectBound() const { return std::log(beta / (1.0 - alpha)); }

SequentialTest::Decision SequentialTest::Observe(double x) {
  KORVAN_ASSERT(decision == kUndecided);
  KORVAN_ASSERT(x == 0.0 || x == 1.0);
  ++n;
  if (x == 1.0) ++k;
  decision = Decide();
  return decision;
}

void SequentialTest::Restore(int64_t count, int64_t ones, Decision saved) {
  n = count;
  k = ones;
  decision = saved;
  // Observations made before this test was asked for are taken as one
  // step: the test decides on them if they cross a bound.
  if (decision == kUndecided && n > 0) decision = Decide();
}

std::string SequentialTest::Claim(const std::string& variable) const {
  return variable + (direction == kBelow ? " < " : " > ") + NumberText::Shortest(threshold);
}

const char* SequentialTest::DecisionName(Decision decision) {
  switch (decision) {
    case kUndecided: return "undecided";
    case kAccept: return "accept";
    case kReject: return "reject";
  }
  return "?";
}

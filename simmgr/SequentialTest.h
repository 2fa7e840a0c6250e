#ifndef SEQUENTIAL_TEST_H
#define SEQUENTIAL_TEST_H

#include <cstdint>
#include <string>

// Wald's sequential probability ratio test of a claim about the probability
// p that a 0/1 variable is 1: "p < theta" or "p > theta", with an
// indifference half-width delta around theta and error bounds alpha and
// beta.
//
// For "p < theta" the claim's side is p1 = theta - delta and the other side
// p0 = theta + delta ("p > theta": the other way round). After n
// observations with k ones the log likelihood ratio is
//   L = k ln(p1 / p0) + (n - k) ln((1 - p1) / (1 - p0)),
// computed afresh from (n, k) each time. The test accepts the claim once
// L >= ln((1 - beta) / alpha) and rejects it once L <= ln(beta / (1 - alpha)),
// at the first observation that crosses, and is undecided before. Then the
// probability of accepting the claim when p >= theta + delta is at most about
// alpha (precisely alpha / (1 - beta)), and of rejecting it when
// p <= theta - delta at most about beta (beta / (1 - alpha)); between the two,
// in the indifference region, either answer may come.
class SequentialTest {
 public:
  enum Direction { kBelow, kAbove };
  enum Decision { kUndecided, kAccept, kReject };

  SequentialTest() = default;
  SequentialTest(Direction direction, double threshold, double alpha, double beta, double delta);

  // Reads "<variable> < <theta>" or "<variable> > <theta>" (blanks around
  // the parts allowed). False, with a message, for anything else or a theta
  // outside (0, 1).
  static bool Parse(const std::string& text, std::string& variable, Direction& direction,
                    double& threshold, std::string& error);
  // False, with a message, unless 0 < alpha, beta < 1, alpha + beta < 1,
  // delta > 0 and the indifference region lies inside (0, 1).
  bool Check(std::string& error) const;

  // Takes one observation (0 or 1) and returns the decision after it.
  // REQUIRES: Current() == kUndecided and x is 0 or 1.
  Decision Observe(double x);
  // Continues from saved counts and decision. Without a decision, the
  // counts are judged at once, as one step of the test.
  void Restore(int64_t n, int64_t k, Decision decision);

  Decision Current() const { return decision; }
  int64_t Count() const { return n; }
  int64_t Ones() const { return k; }
  // With roundingBound, also a bound on the rounding error of the ratio.
  double LogRatio(double* roundingBound = nullptr) const;
  double AcceptBound() const;
  double RejectBound() const;
  Direction GetDirection() const { return direction; }
  double Threshold() const { return threshold; }
  double Alpha() const { return alpha; }
  double Beta() const { return beta; }
  double Delta() const { return delta; }
  // The claim as text, for instance "reliability@365 < 0.1".
  std::string Claim(const std::string& variable) const;

  static const char* DecisionName(Decision decision);  // "accept", "reject", "undecided"

 private:
  // The decision the ratio of the observations so far reaches.
  Decision Decide() const;
  Direction direction = kBelow;
  double threshold = 0.5;
  double alpha = 0.05;
  double beta = 0.05;
  double delta = 0.01;
  int64_t n = 0;
  int64_t k = 0;
  Decision decision = kUndecided;
};

#endif

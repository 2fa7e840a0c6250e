#ifndef NUMBER_TEXT_H
#define NUMBER_TEXT_H

#include <string>

// Numbers as the result files and the table write them.
class NumberText {
 public:
  // The shortest text that reads back to `value` (to the float nearest it
  // when `single`), in plain decimal notation for magnitudes from 1e-4 to
  // 1e15 and in exponent notation otherwise.
  static std::string Shortest(double value, bool single = false);

  // A duration as the progress line shows it, rounded to the second:
  // "m:ss" below an hour, "h:mm:ss" from there on, "over 999999 h" beyond
  // that; "--:--" (not known) for a negative duration or one that is not a
  // number.
  static std::string Duration(double seconds);
};

#endif

#include "simmgr/NumberText.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

bool ReadsBack(const char* text, double value, bool single) {
  const double back = std::strtod(text, nullptr);
  return single ? static_cast<float>(back) == static_cast<float>(value) : back == value;
}

}  // namespace

std::string NumberText::Shortest(double value, bool single) {
  char text[64];
  if (!std::isfinite(value)) {
    std::snprintf(text, sizeof(text), "%g", value);
    return text;
  }
  const double magnitude = std::fabs(value);
  if (magnitude == 0.0 || (magnitude >= 1e-4 && magnitude < 1e15)) {
    for (int decimals = 0; decimals <= 20; ++decimals) {
      std::snprintf(text, sizeof(text), "%.*f", decimals, value);
      if (ReadsBack(text, value, single)) return text;
    }
  }
  for (int digits = 1; digits <= 17; ++digits) {
    std::snprintf(text, sizeof(text), "%.*g", digits, value);
    if (ReadsBack(text, value, single)) break;
  }
  return text;
}

std::string NumberText::Duration(double seconds) {
  if (!(seconds >= 0.0)) return "--:--";
  if (seconds >= 999999.0 * 3600.0 + 3599.5) return "over 999999 h";
  const long long s = static_cast<long long>(seconds + 0.5);
  char text[32];
  if (s >= 3600) {
    std::snprintf(text, sizeof(text), "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
  } else {
    std::snprintf(text, sizeof(text), "%lld:%02lld", s / 60, s % 60);
  }
  return text;
}

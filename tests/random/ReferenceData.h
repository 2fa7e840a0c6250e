#ifndef TESTS_RANDOM_REFERENCE_DATA_H
#define TESTS_RANDOM_REFERENCE_DATA_H

// Reader of the generator outputs computed outside this project, kept in
// tests/data. Lines: "<seed> <index> <value>" for the lagged Fibonacci
// stream (200 values per seed), "MT <seed> <index> <word> <value>" and
// "TW <seed> <index> <state> <value>"; '#' starts a comment line. Values are
// printed with %.17g, so strtod restores them bit for bit.

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

struct RandomReference {
  struct Word {
    unsigned long seed;
    int index;
    unsigned long word;  // the MT word or the Tausworthe state
    double value;
  };

  std::map<long, std::vector<double>> lagged;
  std::vector<Word> mt;
  std::vector<Word> tw;

  static std::string Path() { return KORVAN_SOURCE_DIR "/tests/data/random_reference.txt"; }

  // False when the file is missing or a line does not parse.
  bool Load() {
    std::ifstream in(Path());
    if (!in) return false;
    std::string line;
    while (std::getline(in, line)) {
      if (line.empty() || line[0] == '#') continue;
      std::istringstream fields(line);
      std::string first, value;
      fields >> first;
      if (first == "MT" || first == "TW") {
        Word w{};
        if (!(fields >> w.seed >> w.index >> w.word >> value)) return false;
        w.value = std::strtod(value.c_str(), nullptr);
        (first == "MT" ? mt : tw).push_back(w);
      } else {
        int index;
        if (!(fields >> index >> value)) return false;
        std::vector<double>& values = lagged[std::strtol(first.c_str(), nullptr, 10)];
        if (index != static_cast<int>(values.size())) return false;
        values.push_back(std::strtod(value.c_str(), nullptr));
      }
    }
    return true;
  }
};

#endif

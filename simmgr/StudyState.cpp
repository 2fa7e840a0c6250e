#include "simmgr/StudyState.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <set>
#include <utility>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "simmgr/ConfidenceInterval.h"
#include "simmgr/ResultsWriter.h"
#include "simmgr/SeedSequence.h"

namespace {

using nlohmann::json;

const char kFormat[] = "korvan-simmgr-state";
constexpr int kFormatVersion = 1;

// Infinities and NaN have no JSON number: the special part of a sum is a
// word.
std::string SpecialText(double special) {
  if (std::isnan(special)) return "nan";
  if (special == 0.0) return "";
  return special > 0.0 ? "inf" : "-inf";
}

bool SpecialValue(const std::string& text, double& special) {
  if (text.empty()) special = 0.0;
  else if (text == "inf") special = std::numeric_limits<double>::infinity();
  else if (text == "-inf") special = -std::numeric_limits<double>::infinity();
  else if (text == "nan") special = std::numeric_limits<double>::quiet_NaN();
  else return false;
  return true;
}

json SumJson(const ExactSum& sum) {
  return {{"parts", sum.Partials()}, {"special", SpecialText(sum.Special())}};
}

// Reading without exceptions: every field is looked up and type-checked
// before it is taken, and a reader that fails notes what it missed.
class Reader {
 public:
  explicit Reader(std::string& error) : error(error) {}

  const json* Field(const json& object, const char* name, const std::string& where) {
    if (!object.is_object()) return Fail(where + " is not an object");
    const auto found = object.find(name);
    if (found == object.end()) return Fail(where + " has no \"" + name + "\"");
    return &*found;
  }
  bool Integer(const json& object, const char* name, const std::string& where, int64_t low, int64_t high,
               int64_t& value) {
    const json* field = Field(object, name, where);
    if (field == nullptr) return false;
    if (!field->is_number_integer()) return Fail(where + ": \"" + name + "\" is not an integer"), false;
    value = field->is_number_unsigned() && field->get<uint64_t>() > static_cast<uint64_t>(INT64_MAX)
                ? INT64_MAX
                : field->get<int64_t>();
    if (value < low || value > high) return Fail(where + ": \"" + name + "\" is out of range"), false;
    return true;
  }
  bool Real(const json& object, const char* name, const std::string& where, double& value) {
    const json* field = Field(object, name, where);
    if (field == nullptr) return false;
    if (!field->is_number()) return Fail(where + ": \"" + name + "\" is not a number"), false;
    value = field->get<double>();
    return std::isfinite(value) || (Fail(where + ": \"" + name + "\" is not finite"), false);
  }
  bool Text(const json& object, const char* name, const std::string& where, std::string& value) {
    const json* field = Field(object, name, where);
    if (field == nullptr) return false;
    if (!field->is_string()) return Fail(where + ": \"" + name + "\" is not a text"), false;
    value = field->get<std::string>();
    return true;
  }
  bool Boolean(const json& object, const char* name, const std::string& where, bool& value) {
    const json* field = Field(object, name, where);
    if (field == nullptr) return false;
    if (!field->is_boolean()) return Fail(where + ": \"" + name + "\" is not true or false"), false;
    value = field->get<bool>();
    return true;
  }
  const json* Array(const json& object, const char* name, const std::string& where) {
    const json* field = Field(object, name, where);
    if (field != nullptr && !field->is_array()) return Fail(where + ": \"" + name + "\" is not a list");
    return field;
  }
  bool Sum(const json& object, const char* name, const std::string& where, ExactSum& sum) {
    const json* field = Field(object, name, where);
    if (field == nullptr) return false;
    const json* parts = Array(*field, "parts", where + " " + name);
    std::string specialText;
    double special = 0.0;
    if (parts == nullptr || !Text(*field, "special", where + " " + name, specialText)) return false;
    if (!SpecialValue(specialText, special)) return Fail(where + ": bad special value of " + name), false;
    std::vector<double> values;
    for (const json& part : *parts) {
      if (!part.is_number() || !std::isfinite(part.get<double>())) {
        return Fail(where + ": a part of " + name + " is not a finite number"), false;
      }
      values.push_back(part.get<double>());
    }
    sum = ExactSum::FromParts(values, special);
    return true;
  }
  std::nullptr_t Fail(const std::string& what) {
    if (error.empty()) error = what;
    return nullptr;
  }

 private:
  std::string& error;
};

bool EndingFromName(const std::string& name, SimulatorAttempt::Ending& ending) {
  for (SimulatorAttempt::Ending e :
       {SimulatorAttempt::kRunning, SimulatorAttempt::kDone, SimulatorAttempt::kInterrupted,
        SimulatorAttempt::kKilled, SimulatorAttempt::kExited, SimulatorAttempt::kTimedOut,
        SimulatorAttempt::kProtocol, SimulatorAttempt::kLink, SimulatorAttempt::kNotStarted}) {
    if (name == SimulatorAttempt::EndingName(e)) {
      ending = e;
      return true;
    }
  }
  return false;
}

bool DecisionFromName(const std::string& name, SequentialTest::Decision& decision) {
  for (SequentialTest::Decision d : {SequentialTest::kUndecided, SequentialTest::kAccept, SequentialTest::kReject}) {
    if (name == SequentialTest::DecisionName(d)) {
      decision = d;
      return true;
    }
  }
  return false;
}

}  // namespace

void StudyState::Describe(const StudyTable& study) {
  numExperiments = study.NumExperiments();
  globals.clear();
  for (size_t g = 0; g < study.Globals().size(); ++g) {
    Global global;
    global.name = study.Globals()[g].name;
    global.type = study.Globals()[g].type;
    for (int k = 0; k < numExperiments; ++k) global.values.push_back(study.ValueText(k, static_cast<int>(g)));
    globals.push_back(global);
  }
  rewards.clear();
  for (const StudyTable::RewardVariable& reward : study.Rewards()) rewards.push_back(reward.label);
}

bool StudyState::SameStudy(const StudyTable& study, std::string& error) const {
  StudyState here;
  here.Describe(study);
  if (here.numExperiments != numExperiments) {
    error = "the saved study has " + std::to_string(numExperiments) + " experiments, this program's " +
            std::to_string(here.numExperiments);
    return false;
  }
  if (here.rewards != rewards) {
    error = "the saved study's reward variables are not this program's";
    return false;
  }
  if (here.globals.size() != globals.size()) {
    error = "the saved study has other global variables than this program's";
    return false;
  }
  for (size_t g = 0; g < globals.size(); ++g) {
    const Global& a = globals[g];
    const Global& b = here.globals[g];
    if (a.name != b.name || a.type != b.type) {
      error = "the saved study's global variable " + a.name + " (" + a.type + ") is " + b.name + " (" + b.type +
              ") in this program";
      return false;
    }
    for (int k = 0; k < numExperiments; ++k) {
      if (a.values[k] != b.values[k]) {
        error = "the saved study's experiment " + std::to_string(k) + " has " + a.name + " = " + a.values[k] +
                ", this program's " + b.values[k];
        return false;
      }
    }
  }
  // A simulator reports every terminating variable in each record, and no
  // steady-state one: an attempt holds its replications' observations of
  // the first and none of the second.
  for (const Experiment& e : experiments) {
    for (const SimulatorAttempt& a : e.attempts) {
      for (size_t v = 0; v < rewards.size(); ++v) {
        const int64_t held = a.statistics[v].Count() + (v < a.pilot.size() ? a.pilot[v].Count() : 0);
        const int64_t expected = study.Rewards()[v].terminating ? a.replications : 0;
        if (held != expected) {
          error = "the saved study's experiment " + std::to_string(e.experiment) + " (segment " +
                  std::to_string(a.segment) + ", attempt " + std::to_string(a.number) + ") holds " +
                  std::to_string(held) + " observations of " + rewards[v] + ", not " + std::to_string(expected);
          return false;
        }
      }
    }
  }
  return true;
}

std::string StudyState::HeadText() const {
  json document;
  document["format"] = kFormat;
  document["format_version"] = kFormatVersion;
  document["base_seed"] = baseSeed;
  document["generator"] = generator;
  document["segments"] = segments;
  json globalList = json::array();
  for (const Global& g : globals) globalList.push_back({{"name", g.name}, {"type", g.type}, {"values", g.values}});
  document["study"] = {{"experiments", numExperiments}, {"global_variables", globalList}, {"reward_variables", rewards}};
  json ruleJson = {{"replications", rule.replications},
                   {"relative", rule.relative},
                   {"absolute", rule.absolute},
                   {"confidence", rule.confidence},
                   {"min_replications", rule.minReplications},
                   {"max_replications", rule.maxReplications},
                   {"interval", ConfidenceInterval::Name(rule.method)},
                   {"simultaneous", rule.simultaneous}};
  if (rule.Hypothesis()) {
    ruleJson["test"] = {{"variable", rule.testLabel},
                        {"direction", rule.test.GetDirection() == SequentialTest::kBelow ? "<" : ">"},
                        {"threshold", rule.test.Threshold()},
                        {"alpha", rule.test.Alpha()},
                        {"beta", rule.test.Beta()},
                        {"delta", rule.test.Delta()}};
  } else {
    ruleJson["test"] = nullptr;
  }
  // Only where it is asked for: the state of any other study is as it
  // always was.
  if (rule.twoStage) ruleJson["two_stage"] = true;
  document["rule"] = ruleJson;
  document["experiments"] = json::array();
  return document.dump(1, ' ', false, json::error_handler_t::replace);
}

std::string StudyState::ExperimentText(const Experiment& e) {
  auto statisticsJson = [](const std::vector<RunningStatistics>& list) {
    json statistics = json::array();
    for (const RunningStatistics& s : list) {
      statistics.push_back({{"count", s.Count()},
                            {"sum", SumJson(s.Sum())},
                            {"squares", SumJson(s.SumOfSquares())},
                            {"binary", s.Binary()}});
    }
    return statistics;
  };
  json attempts = json::array();
  for (const SimulatorAttempt& a : e.attempts) {
    const json statistics = statisticsJson(a.statistics);
    attempts.push_back({{"segment", a.segment},
                        {"attempt", a.number},
                        {"seed", a.seed},
                        {"host", a.host},
                        {"port", a.port},
                        {"replications", a.replications},
                        {"cpu_seconds", a.cpuSeconds},
                        {"wall_seconds", a.wallSeconds},
                        {"ended", SimulatorAttempt::EndingName(a.ending)},
                        {"reason", a.reason},
                        {"statistics", statistics}});
    // Only where there is one: the saved state of a study without a cut
    // file is as it always was.
    if (!a.asciiCut.empty()) attempts.back()["ascii_cut"] = a.asciiCut;
    if (!a.pilot.empty()) attempts.back()["pilot_statistics"] = statisticsJson(a.pilot);
  }
  const json entry = {{"experiment", e.experiment},
                      {"decision", SequentialTest::DecisionName(e.decision)},
                      {"decision_replications", e.decisionReplications},
                      {"attempts", attempts}};
  // As the entry stands in the document: an element of a member of the
  // top object, two levels in. Dumped text holds no raw line break (they
  // are escaped in strings), so indenting line by line is exact.
  const std::string alone = entry.dump(1, ' ', false, json::error_handler_t::replace);
  std::string text = "  ";
  text.reserve(alone.size() + alone.size() / 8);
  for (char c : alone) {
    text += c;
    if (c == '\n') text += "  ";
  }
  return text;
}

bool StudyState::Save(const std::string& path, std::string& error) const {
  std::vector<std::string> texts;
  texts.reserve(experiments.size());
  for (const Experiment& e : experiments) texts.push_back(ExperimentText(e));
  return Write(path, HeadText(), texts, error);
}

bool StudyState::Write(const std::string& path, const std::string& head,
                       const std::vector<std::string>& experimentTexts, std::string& error,
                       bool durable) {
  // The head is the whole document with an empty experiment list; the
  // entries go in its place, exactly as the document dumped whole would
  // show them.
  static const char kEmpty[] = "\"experiments\": []";
  const size_t at = head.find(kEmpty);
  if (at == std::string::npos) {
    error = "cannot write " + path + ": the state's text has no experiment list";
    return false;
  }
  std::string text;
  size_t total = head.size() + 16;
  for (const std::string& t : experimentTexts) total += t.size() + 2;
  text.reserve(total);
  text.append(head, 0, at);
  if (experimentTexts.empty()) {
    text += kEmpty;
  } else {
    text += "\"experiments\": [\n";
    for (size_t i = 0; i < experimentTexts.size(); ++i) {
      if (i > 0) text += ",\n";
      text += experimentTexts[i];
    }
    text += "\n ]";
  }
  text.append(head, at + sizeof(kEmpty) - 1, std::string::npos);
  text += "\n";
  // Written beside the old state and renamed over it: a reader, or a
  // manager killed at any moment, finds either the old state or the new,
  // whole.
  return ResultsWriter::WriteText(path, text, error, durable);
}

namespace {

// A saved state of the largest study (65 536 experiments, every one with
// its attempts of many segments) stays far below this.
const off_t kLargestState = off_t{256} << 20;

// More replications or observations than any study asks for: simmgr takes
// at most 10^12 as a limit, and the worst case of a precision target is
// below 2.2 * 10^15 (see StoppingRule::WorstCase), whose looks end within
// 2^53. Counts up to it are exact as doubles (the count of ones of 0/1
// observations is compared as one), and doubling or adding a few of them
// stays far from int64_t's end: a damaged or edited file with more would
// overflow the sums of counts on resuming.
constexpr int64_t kLargestCount = int64_t{1} << 53;

// The whole of the regular file at path. A path naming anything else (a
// pipe, which would wait for a writer; a device such as /dev/zero, which
// never ends) or a file beyond kLargestState is refused.
bool ReadStateFile(const std::string& path, std::string& text, std::string& error) {
  int fd;
  do {
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat info;
  bool ok = fstat(fd, &info) == 0;
  if (!ok) {
    error = "cannot read " + path + ": " + std::strerror(errno);
  } else if (!S_ISREG(info.st_mode)) {
    error = "cannot read " + path + ": it is not a regular file";
    ok = false;
  } else if (info.st_size > kLargestState) {
    error = path + " is not a saved study (" + std::to_string(static_cast<long long>(info.st_size)) +
            " bytes, more than any study's state)";
    ok = false;
  }
  char buffer[65536];
  while (ok) {
    const ssize_t n = read(fd, buffer, sizeof(buffer));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      error = "cannot read " + path + ": " + std::strerror(errno);
      ok = false;
    } else if (n == 0) {
      break;
    } else if (text.size() + static_cast<size_t>(n) > static_cast<size_t>(kLargestState)) {
      // Grown while being read.
      error = path + " is not a saved study (more bytes than any study's state)";
      ok = false;
    } else {
      text.append(buffer, static_cast<size_t>(n));
    }
  }
  close(fd);
  return ok;
}

}  // namespace

bool StudyState::NestsDeeperThan(const std::string& text, int limit) {
  int depth = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        inString = false;
      }
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return true;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return false;
}

bool StudyState::Load(const std::string& path, StudyState& state, std::string& error) {
  error.clear();
  std::string text;
  if (!ReadStateFile(path, text, error)) return false;
  if (NestsDeeperThan(text, 32)) {
    error = path + " is not a saved study (nested deeper than any study's state)";
    return false;
  }
  const json document = json::parse(text, nullptr, false);
  if (document.is_discarded()) {
    error = path + " is not a saved study (not JSON)";
    return false;
  }
  Reader read(error);
  std::string format;
  int64_t version = 0, value = 0;
  if (!read.Text(document, "format", "the state", format) || format != kFormat ||
      !read.Integer(document, "format_version", "the state", 1, 1000, version)) {
    error = path + " is not a saved study" + (error.empty() ? "" : " (" + error + ")");
    return false;
  }
  if (version != kFormatVersion) {
    error = path + " is a saved study of format " + std::to_string(version) + "; this program reads format " +
            std::to_string(kFormatVersion);
    return false;
  }
  auto fail = [&]() {
    error = path + ": " + error;
    return false;
  };
  if (!read.Integer(document, "base_seed", "the state", 0, UINT32_MAX, value)) return fail();
  state.baseSeed = static_cast<uint32_t>(value);
  if (!read.Integer(document, "generator", "the state", 0, 2, value)) return fail();
  state.generator = static_cast<int>(value);
  // Saved from the first run on as the number of runs so far, this one
  // included.
  if (!read.Integer(document, "segments", "the state", 1, 1000000, value)) return fail();
  state.segments = static_cast<int>(value);

  const json* study = read.Field(document, "study", "the state");
  if (study == nullptr || !read.Integer(*study, "experiments", "the study", 1, 65536, value)) return fail();
  state.numExperiments = static_cast<int>(value);
  const json* globalList = read.Array(*study, "global_variables", "the study");
  const json* rewardList = read.Array(*study, "reward_variables", "the study");
  if (globalList == nullptr || rewardList == nullptr) return fail();
  state.globals.clear();
  for (const json& item : *globalList) {
    Global g;
    const json* values = nullptr;
    if (!read.Text(item, "name", "a global variable", g.name) || !read.Text(item, "type", "a global variable", g.type) ||
        (values = read.Array(item, "values", "a global variable")) == nullptr) {
      return fail();
    }
    for (const json& v : *values) {
      if (!v.is_string()) return read.Fail("a global variable's value is not a text"), fail();
      g.values.push_back(v.get<std::string>());
    }
    if (static_cast<int>(g.values.size()) != state.numExperiments) {
      return read.Fail("global variable " + g.name + " has not one value per experiment"), fail();
    }
    state.globals.push_back(g);
  }
  state.rewards.clear();
  for (const json& label : *rewardList) {
    if (!label.is_string()) return read.Fail("a reward variable is not a text"), fail();
    state.rewards.push_back(label.get<std::string>());
  }

  const json* rule = read.Field(document, "rule", "the state");
  if (rule == nullptr) return fail();
  StoppingRule& r = state.rule;
  std::string interval;
  if (!read.Integer(*rule, "replications", "the rule", 0, kLargestCount, r.replications) ||
      !read.Real(*rule, "relative", "the rule", r.relative) || !read.Real(*rule, "absolute", "the rule", r.absolute) ||
      !read.Real(*rule, "confidence", "the rule", r.confidence) ||
      !read.Integer(*rule, "min_replications", "the rule", 2, kLargestCount, r.minReplications) ||
      !read.Integer(*rule, "max_replications", "the rule", 2, kLargestCount, r.maxReplications) ||
      !read.Text(*rule, "interval", "the rule", interval) ||
      !read.Boolean(*rule, "simultaneous", "the rule", r.simultaneous)) {
    return fail();
  }
  if (!ConfidenceInterval::Parse(interval, r.method) || !(r.confidence > 0.0 && r.confidence < 1.0)) {
    return read.Fail("the rule's interval or confidence is not valid"), fail();
  }
  // 0 stands for a target not asked for; simmgr takes no other below 0.
  if (r.relative < 0.0 || r.absolute < 0.0) return read.Fail("the rule's precision is negative"), fail();
  if (rule->contains("two_stage") && !read.Boolean(*rule, "two_stage", "the rule", r.twoStage)) return fail();
  const json* test = read.Field(*rule, "test", "the rule");
  if (test == nullptr) return fail();
  if (!test->is_null()) {
    std::string direction;
    double threshold = 0, alpha = 0, beta = 0, delta = 0;
    if (!read.Text(*test, "variable", "the test", r.testLabel) || !read.Text(*test, "direction", "the test", direction) ||
        !read.Real(*test, "threshold", "the test", threshold) || !read.Real(*test, "alpha", "the test", alpha) ||
        !read.Real(*test, "beta", "the test", beta) || !read.Real(*test, "delta", "the test", delta)) {
      return fail();
    }
    if (direction != "<" && direction != ">") return read.Fail("the test's direction is neither < nor >"), fail();
    r.test = SequentialTest(direction == "<" ? SequentialTest::kBelow : SequentialTest::kAbove, threshold, alpha,
                            beta, delta);
    std::string why;
    if (!r.test.Check(why)) return read.Fail("the test: " + why), fail();
  }

  // One way to stop, as the command line allows: a number of replications,
  // a precision (planned from a pilot for an absolute target alone) or a
  // test.
  {
    const bool precision = r.relative > 0.0 || r.absolute > 0.0;
    const int ways = (r.replications > 0 ? 1 : 0) + (precision ? 1 : 0) + (test->is_null() ? 0 : 1);
    if (ways != 1) {
      return read.Fail(ways == 0 ? "the rule has no way to stop" : "the rule has more than one way to stop"), fail();
    }
    if (r.twoStage && !(r.absolute > 0.0 && r.relative == 0.0)) {
      return read.Fail("the rule plans from a pilot what is not an absolute precision alone"), fail();
    }
  }
  const json* list = read.Array(document, "experiments", "the state");
  if (list == nullptr) return fail();
  const SeedSequence seeds(state.baseSeed, state.numExperiments);
  std::vector<bool> seenExperiment(static_cast<size_t>(state.numExperiments), false);
  state.experiments.clear();
  const size_t numVariables = state.rewards.size();
  for (const json& item : *list) {
    Experiment e;
    std::string decision;
    if (!read.Integer(item, "experiment", "an experiment", 0, state.numExperiments - 1, value)) return fail();
    e.experiment = static_cast<int>(value);
    const std::string where = "experiment " + std::to_string(e.experiment);
    if (seenExperiment[e.experiment]) return read.Fail(where + " is saved twice"), fail();
    seenExperiment[e.experiment] = true;
    if (!read.Text(item, "decision", where, decision) || !DecisionFromName(decision, e.decision)) {
      return read.Fail(where + ": no valid decision"), fail();
    }
    if (!read.Integer(item, "decision_replications", where, 0, kLargestCount, e.decisionReplications)) return fail();
    const json* attempts = read.Array(item, "attempts", where);
    if (attempts == nullptr) return fail();
    std::set<std::pair<int, int>> saved;  // (segment, attempt) of those read
    for (const json& entry : *attempts) {
      SimulatorAttempt a;
      std::string ended;
      int64_t segment = 0, number = 0, seed = 0, port = 0;
      const std::string at = where + ", an attempt";
      if (!read.Integer(entry, "segment", at, 0, state.segments - 1, segment) ||
          !read.Integer(entry, "attempt", at, 0, 1000000, number) ||
          !read.Integer(entry, "seed", at, 0, SeedSequence::kLargestSeed, seed) ||
          !read.Text(entry, "host", at, a.host) || !read.Integer(entry, "port", at, 0, 65535, port) ||
          !read.Integer(entry, "replications", at, 0, kLargestCount, a.replications) ||
          !read.Real(entry, "cpu_seconds", at, a.cpuSeconds) || !read.Real(entry, "wall_seconds", at, a.wallSeconds) ||
          !read.Text(entry, "ended", at, ended) || !read.Text(entry, "reason", at, a.reason)) {
        return fail();
      }
      // Added up into the experiment's and the study's times: from 0 up,
      // and far from where their sums could overflow (10^15 s is more than
      // thirty million years).
      if (!(a.cpuSeconds >= 0.0 && a.cpuSeconds <= 1e15 && a.wallSeconds >= 0.0 && a.wallSeconds <= 1e15)) {
        return read.Fail(at + " has a time that is negative or beyond any run's"), fail();
      }
      if (!EndingFromName(ended, a.ending)) return read.Fail(at + " ended in an unknown way"), fail();
      if (entry.contains("ascii_cut") && !read.Text(entry, "ascii_cut", at, a.asciiCut)) return fail();
      a.segment = static_cast<int>(segment);
      a.number = static_cast<int>(number);
      a.seed = static_cast<uint32_t>(seed);
      a.port = static_cast<int>(port);
      auto readStatistics = [&](const char* name, std::vector<RunningStatistics>& into) {
        const json* statistics = read.Array(entry, name, at);
        if (statistics == nullptr) return false;
        if (statistics->size() != numVariables) return read.Fail(at + " has not one statistic per variable"), false;
        for (const json& s : *statistics) {
          int64_t count = 0;
          bool binary = false;
          ExactSum sum, squares;
          RunningStatistics rebuilt;
          if (!read.Integer(s, "count", at, 0, kLargestCount, count) || !read.Sum(s, "sum", at, sum) ||
              !read.Sum(s, "squares", at, squares) || !read.Boolean(s, "binary", at, binary)) {
            return false;
          }
          if (!RunningStatistics::FromParts(count, sum, squares, binary, rebuilt)) {
            return read.Fail(at + " has statistics that cannot belong together"), false;
          }
          into.push_back(rebuilt);
        }
        return true;
      };
      if (!readStatistics("statistics", a.statistics)) return fail();
      if (entry.contains("pilot_statistics")) {
        if (!state.rule.twoStage) return read.Fail(at + " has a pilot, but the study was not run with one"), fail();
        if (!readStatistics("pilot_statistics", a.pilot)) return fail();
      }
      // Every data record holds as many observations of each variable it
      // reports (none of a variable it does not), and an attempt's
      // replications are their number, pilot included.
      int64_t held = 0, piloted = 0;
      bool agree = true;
      auto common = [&agree](int64_t& shared, int64_t count) {
        if (count == 0) return;
        if (shared != 0 && shared != count) agree = false;
        shared = count;
      };
      for (size_t v = 0; v < a.statistics.size(); ++v) {
        common(held, a.statistics[v].Count());
        if (v < a.pilot.size()) common(piloted, a.pilot[v].Count());
      }
      if (!agree) return read.Fail(at + " holds unequal numbers of observations of its variables"), fail();
      if (a.replications != held + piloted) {
        return read.Fail(at + " claims " + std::to_string(a.replications) + " replications, but its statistics hold " +
                         std::to_string(held + piloted)),
               fail();
      }
      // One simulator process is saved once, and ran the stream its
      // experiment, segment and number give under the base seed.
      if (!seeds.Valid(a.segment, a.number) || seeds.Seed(e.experiment, a.segment, a.number) != a.seed) {
        return read.Fail(at + " has seed " + std::to_string(a.seed) + ", not the one base seed " +
                         std::to_string(state.baseSeed) + " gives it"),
               fail();
      }
      if (!saved.insert({a.segment, a.number}).second) {
        return read.Fail(at + " (segment " + std::to_string(a.segment) + ", attempt " + std::to_string(a.number) +
                         ") is saved twice"),
               fail();
      }
      if (a.ending == SimulatorAttempt::kRunning) {
        // Saved while its simulator ran: what it had sent stands.
        a.ending = SimulatorAttempt::kInterrupted;
        a.reason = "the manager ended while it ran";
      }
      e.attempts.push_back(a);
    }
    // Merged on resuming: the experiment's counts together stay within
    // the bound too. Checked at every addition, so that the total, at most
    // twice the bound, cannot overflow however many attempts there are.
    for (size_t v = 0; v < numVariables; ++v) {
      int64_t total = 0;
      for (const SimulatorAttempt& a : e.attempts) {
        total += a.statistics[v].Count() + (v < a.pilot.size() ? a.pilot[v].Count() : 0);
        if (total > kLargestCount) {
          return read.Fail(where + " holds more observations than any study can"), fail();
        }
      }
    }
    state.experiments.push_back(e);
  }
  // A study of no experiment would resume to nothing and report success.
  if (state.experiments.empty()) return read.Fail("the state holds no experiment"), fail();
  return true;
}

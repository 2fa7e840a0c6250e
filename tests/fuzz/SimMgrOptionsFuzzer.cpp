// simmgr's command line and its experiment list fed arbitrary arguments.
//
// Invariants: an accepted command line holds what was given (the last
// value of each option, read back exactly) and only values in range, with
// exactly one way of ending an experiment (a fixed count, a precision or a
// test; none when a resumed study keeps its own); it renders back to a
// command line that gives the same options; a refused one says why. An experiment list is accepted exactly when it is a
// comma-separated list of numbers and ordered ranges within the study, and
// then yields exactly their experiments, sorted and once each, which render
// back to the same selection.

#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "simmgr/ConfidenceInterval.h"
#include "simmgr/ExperimentSelection.h"
#include "simmgr/LauncherPreset.h"
#include "simmgr/SequentialTest.h"
#include "simmgr/SimMgrOptions.h"
#include "tests/fuzz/FuzzSupport.h"

namespace {

std::string Real(double x) {
  char text[64];
  std::snprintf(text, sizeof(text), "%.17g", x);
  return text;
}

bool SameBits(double a, double b) { return std::memcmp(&a, &b, sizeof(a)) == 0; }

// A command line that gives `o`.
std::vector<std::string> Render(const SimMgrOptions& o) {
  std::vector<std::string> args;
  if (!o.experiments.empty()) args.push_back("--experiments=" + o.experiments);
  if (!o.resume.empty()) args.push_back("--resume=" + o.resume);
  if (o.jobs != 0) args.push_back("--jobs=" + std::to_string(o.jobs));
  args.push_back("--port=" + std::to_string(o.port));
  if (!o.simulator.empty()) args.push_back("--simulator=" + o.simulator);
  args.push_back("--seed=" + std::to_string(o.seed));
  args.push_back("--generator=" + std::to_string(o.generator));
  if (o.rule.replications > 0) {
    args.push_back("--replications=" + std::to_string(o.rule.replications));
  } else {
    if (o.rule.relative > 0) args.push_back("--precision=" + Real(o.rule.relative));
    if (o.rule.absolute > 0) args.push_back("--abs-precision=" + Real(o.rule.absolute));
  }
  if (o.rule.Hypothesis()) {
    const SequentialTest& t = o.rule.test;
    args.push_back("--test=" + o.rule.testLabel + (t.GetDirection() == SequentialTest::kBelow ? " < " : " > ") +
                   Real(t.Threshold()));
    args.push_back("--alpha=" + Real(t.Alpha()));
    args.push_back("--beta=" + Real(t.Beta()));
    args.push_back("--delta=" + Real(t.Delta()));
  } else if (o.rule.replications == 0) {
    args.push_back("--min-replications=" + std::to_string(o.rule.minReplications));
  }
  if (o.rule.method != ConfidenceInterval::kAutomatic) {
    args.push_back(std::string("--interval=") + ConfidenceInterval::Name(o.rule.method));
  }
  if (o.rule.simultaneous) args.push_back("--simultaneous");
  if (o.Given("--two-stage")) args.push_back("--two-stage");
  if (o.Given("--looks")) args.push_back("--looks");
  args.push_back("--confidence=" + Real(o.rule.confidence));
  // A fixed number of replications has no minimum or maximum (they keep
  // their defaults).
  if (o.rule.replications == 0) {
    args.push_back("--max-replications=" + std::to_string(o.rule.maxReplications));
  }
  args.push_back("--report-size=" + std::to_string(o.reportSize));
  if (o.resume.empty()) args.push_back("--out=" + o.outDir);
  if (!o.asciiDir.empty()) args.push_back("--ascii-dir=" + o.asciiDir);
  args.push_back("--timeout=" + Real(o.timeoutSeconds));
  if (!o.launcher.empty()) {
    std::string hosts;
    for (const std::string& host : o.hosts) hosts += (hosts.empty() ? "" : ",") + host;
    if (o.launcherPreset.empty()) {
      args.push_back("--launcher=" + o.launcher);
      args.push_back("--hosts=" + hosts);
    } else {
      // A preset is given by its name and settings; its template depends
      // on whether hosts were named, which the template itself shows.
      const LauncherPreset::Settings& settings = o.launcherSettings;
      args.push_back("--launcher=" + o.launcherPreset);
      if (o.launcher == LauncherPreset::Expand(o.launcherPreset, settings, true)) {
        args.push_back("--hosts=" + hosts);
      }
      if (settings.sshPort != 0) args.push_back("--ssh-port=" + std::to_string(settings.sshPort));
      if (!settings.sshUser.empty()) args.push_back("--ssh-user=" + settings.sshUser);
      if (!settings.sshIdentity.empty()) args.push_back("--ssh-identity=" + settings.sshIdentity);
      for (const std::string& option : settings.sshOptions) args.push_back("--ssh-option=" + option);
      for (const std::string& option : settings.srunOptions) args.push_back("--srun-option=" + option);
    }
  }
  if (o.help) args.push_back("--help");
  if (o.version) args.push_back("--version");
  return args;
}

void ExpectSame(const SimMgrOptions& a, const SimMgrOptions& b) {
  FUZZ_CHECK(a.experiments == b.experiments && a.jobs == b.jobs && a.port == b.port &&
                 a.rule.twoStage == b.rule.twoStage &&
                 a.simulator == b.simulator && a.seed == b.seed && a.generator == b.generator &&
                 a.reportSize == b.reportSize && a.outDir == b.outDir && a.asciiDir == b.asciiDir &&
                 SameBits(a.timeoutSeconds, b.timeoutSeconds) && a.launcher == b.launcher &&
                 a.launcherPreset == b.launcherPreset &&
                 a.launcherSettings.sshPort == b.launcherSettings.sshPort &&
                 a.launcherSettings.sshUser == b.launcherSettings.sshUser &&
                 a.launcherSettings.sshIdentity == b.launcherSettings.sshIdentity &&
                 a.launcherSettings.sshOptions == b.launcherSettings.sshOptions &&
                 a.launcherSettings.srunOptions == b.launcherSettings.srunOptions &&
                 a.hosts == b.hosts && a.help == b.help && a.version == b.version,
             "the rendered command line gives other options");
  FUZZ_CHECK(a.rule.replications == b.rule.replications &&
                 SameBits(a.rule.relative, b.rule.relative) &&
                 SameBits(a.rule.absolute, b.rule.absolute) &&
                 SameBits(a.rule.confidence, b.rule.confidence) &&
                 a.rule.minReplications == b.rule.minReplications &&
                 a.rule.maxReplications == b.rule.maxReplications && a.rule.method == b.rule.method &&
                 a.rule.simultaneous == b.rule.simultaneous && a.rule.testLabel == b.rule.testLabel &&
                 a.resume == b.resume,
             "the rendered command line gives another stopping rule");
  const SequentialTest& s = a.rule.test;
  const SequentialTest& t = b.rule.test;
  FUZZ_CHECK(!a.rule.Hypothesis() ||
                 (s.GetDirection() == t.GetDirection() && SameBits(s.Threshold(), t.Threshold()) &&
                  SameBits(s.Alpha(), t.Alpha()) && SameBits(s.Beta(), t.Beta()) && SameBits(s.Delta(), t.Delta())),
             "the rendered command line gives another test");
}

// The last value given to each option, as the command line spells it.
std::map<std::string, std::string> LastValues(const std::vector<std::string>& args) {
  std::map<std::string, std::string> last;
  for (size_t i = 0; i < args.size(); i++) {
    std::string option = args[i];
    std::string value;
    const size_t equals = option.find('=');
    const bool inlineValue = option.compare(0, 2, "--") == 0 && equals != std::string::npos;
    if (inlineValue) {
      value = option.substr(equals + 1);
      option = option.substr(0, equals);
    }
    if (option == "--help" || option == "-h" || option == "--version" || option == "--simultaneous") continue;
    if (!inlineValue) {
      if (i + 1 >= args.size()) break;
      value = args[++i];
    }
    last[option] = value;
  }
  return last;
}

void CheckOptions(const std::vector<std::string>& given) {
  std::vector<std::string> args = given;
  std::vector<char*> argv = MakeArgv("simmgr", args);
  SimMgrOptions options;
  std::string error;
  if (!options.Parse(static_cast<int>(argv.size()) - 1, argv.data(), error)) {
    FUZZ_CHECK(!error.empty(), "a command line refused without a reason");
    return;
  }
  const SimMgrOptions& o = options;
  FUZZ_CHECK(o.jobs >= 0 && o.jobs <= 4096, "jobs out of range");
  FUZZ_CHECK(o.port >= 1 && o.port <= 65535, "port out of range");
  FUZZ_CHECK(o.generator >= 0 && o.generator <= 2, "generator out of range");
  FUZZ_CHECK(o.reportSize >= 1 && o.reportSize <= 100000, "report size out of range");
  FUZZ_CHECK(o.timeoutSeconds > 0 && o.timeoutSeconds <= 86400, "timeout out of range");
  FUZZ_CHECK(o.rule.confidence > 0 && o.rule.confidence < 1, "confidence out of range");
  const int ways = (o.rule.replications > 0 ? 1 : 0) + (o.rule.relative > 0 || o.rule.absolute > 0 ? 1 : 0) +
                   (o.rule.Hypothesis() ? 1 : 0);
  FUZZ_CHECK(ways == 1 || (ways == 0 && !o.resume.empty()),
             "not exactly one of a fixed count, a precision and a test");
  FUZZ_CHECK(o.resume.empty() || (o.outDir == o.resume && o.experiments.empty()),
             "a resumed study written elsewhere, or with other experiments");
  if (o.rule.Hypothesis()) {
    std::string why;
    FUZZ_CHECK(o.rule.test.Check(why), "a test accepted that its own check refuses: " + why);
    FUZZ_CHECK(o.rule.testLabel.find_first_of("<>") == std::string::npos && !o.rule.testLabel.empty() &&
                   o.rule.testLabel.front() != ' ' && o.rule.testLabel.back() != ' ',
               "a test's variable holds a comparison or blanks at its ends");
  }
  FUZZ_CHECK(std::isfinite(o.rule.relative) && std::isfinite(o.rule.absolute), "precision not finite");
  // After a pilot the maximum counts the replications that follow it; a
  // maximum not given is settled, or refused, once the targets are known.
  FUZZ_CHECK(!o.rule.Precision() || o.rule.TwoStage() || !o.Given("--max-replications") ||
                 o.rule.maxReplications >= o.rule.minReplications,
             "maximum below minimum");
  FUZZ_CHECK(o.hosts.empty() || !o.launcher.empty(), "hosts without a launcher");
  FUZZ_CHECK(o.launcher.empty() || o.launcher.find("{command}") != std::string::npos ||
                 o.launcher.find("{quoted-command}") != std::string::npos,
             "a launcher without {command}");
  for (const std::string& host : o.hosts) {
    FUZZ_CHECK(LauncherPreset::IsHostName(host), "a host that is no host name: " + host);
  }

  // What was given is what is held.
  for (const auto& entry : LastValues(given)) {
    const std::string& name = entry.first;
    const std::string& value = entry.second;
    const long long n = std::strtoll(value.c_str(), nullptr, 10);
    const double x = std::strtod(value.c_str(), nullptr);
    if (name == "--experiments") FUZZ_CHECK(o.experiments == value, name);
    if (name == "--jobs") FUZZ_CHECK(o.jobs == n, name);
    if (name == "--port") FUZZ_CHECK(o.port == n, name);
    if (name == "--simulator") FUZZ_CHECK(o.simulator == value, name);
    if (name == "--seed") FUZZ_CHECK(o.seed == n, name);
    if (name == "--generator") FUZZ_CHECK(o.generator == n, name);
    if (name == "--replications") FUZZ_CHECK(o.rule.replications == n, name);
    if (name == "--precision") FUZZ_CHECK(SameBits(o.rule.relative, x), name);
    if (name == "--abs-precision") FUZZ_CHECK(SameBits(o.rule.absolute, x), name);
    if (name == "--confidence") FUZZ_CHECK(SameBits(o.rule.confidence, x), name);
    if (name == "--min-replications") FUZZ_CHECK(o.rule.minReplications == n, name);
    if (name == "--max-replications") FUZZ_CHECK(o.rule.maxReplications == n, name);
    if (name == "--report-size") FUZZ_CHECK(o.reportSize == n, name);
    if (name == "--out") FUZZ_CHECK(o.outDir == value, name);
    if (name == "--ascii-dir") FUZZ_CHECK(o.asciiDir == value, name);
    if (name == "--timeout") FUZZ_CHECK(SameBits(o.timeoutSeconds, x), name);
    if (name == "--launcher") {
      FUZZ_CHECK(LauncherPreset::IsPreset(value) ? o.launcherPreset == value : o.launcher == value,
                 name);
    }
    if (name == "--ssh-port") FUZZ_CHECK(o.launcherSettings.sshPort == n, name);
    if (name == "--ssh-user") FUZZ_CHECK(o.launcherSettings.sshUser == value, name);
    if (name == "--ssh-identity") FUZZ_CHECK(o.launcherSettings.sshIdentity == value, name);
    if (name == "--resume") FUZZ_CHECK(o.resume == value && o.outDir == value, name);
    if (name == "--alpha") FUZZ_CHECK(SameBits(o.rule.test.Alpha(), x), name);
    if (name == "--beta") FUZZ_CHECK(SameBits(o.rule.test.Beta(), x), name);
    if (name == "--delta") FUZZ_CHECK(SameBits(o.rule.test.Delta(), x), name);
    if (name == "--interval") FUZZ_CHECK(ConfidenceInterval::Name(o.rule.method) == value, name);
    if (name == "--test") {
      const size_t at = value.find_first_of("<>");
      FUZZ_CHECK(at != std::string::npos && o.rule.Hypothesis() &&
                     (value[at] == '<') == (o.rule.test.GetDirection() == SequentialTest::kBelow) &&
                     value.find(o.rule.testLabel) < at,
                 name);
    }
  }

  std::vector<std::string> rendered = Render(o);
  std::vector<char*> again = MakeArgv("simmgr", rendered);
  SimMgrOptions reread;
  FUZZ_CHECK(reread.Parse(static_cast<int>(again.size()) - 1, again.data(), error),
             "the rendered command line is refused: " + error);
  ExpectSame(o, reread);
}

// The experiments `text` names, by the list's own grammar; false when it is
// no list or names an experiment outside 0 .. numExperiments - 1.
bool ExpectedSelection(const std::string& text, int numExperiments, std::set<int>& out) {
  size_t from = 0;
  for (;;) {
    size_t end = text.find(',', from);
    if (end == std::string::npos) end = text.size();
    const std::string item = text.substr(from, end - from);
    const size_t dash = item.find('-');
    const std::string parts[2] = {item.substr(0, dash),
                                  dash == std::string::npos ? item : item.substr(dash + 1)};
    long long bounds[2];
    for (int k = 0; k < 2; k++) {
      const std::string& part = parts[k];
      if (part.empty() || part.size() > 9) return false;
      for (char c : part) {
        if (c < '0' || c > '9') return false;
      }
      bounds[k] = std::atoll(part.c_str());
    }
    if (bounds[1] < bounds[0] || bounds[1] >= numExperiments) return false;
    for (long long e = bounds[0]; e <= bounds[1]; e++) out.insert(static_cast<int>(e));
    if (end == text.size()) return true;
    from = end + 1;
  }
}

std::string RenderSelection(const std::vector<int>& experiments) {
  std::string text;
  for (size_t i = 0; i < experiments.size();) {
    size_t j = i;
    while (j + 1 < experiments.size() && experiments[j + 1] == experiments[j] + 1) j++;
    if (!text.empty()) text += ",";
    text += std::to_string(experiments[i]);
    if (j > i) text += "-" + std::to_string(experiments[j]);
    i = j + 1;
  }
  return text;
}

void CheckSelection(const std::string& text, int numExperiments) {
  std::vector<int> experiments;
  std::string error;
  const bool accepted = ExperimentSelection::Parse(text, numExperiments, experiments, error);
  std::set<int> expected;
  const bool valid = ExpectedSelection(text, numExperiments, expected);
  FUZZ_CHECK(accepted == valid, std::string(accepted ? "accepted" : "refused") + " list '" + text +
                                    "': " + error);
  if (!accepted) {
    FUZZ_CHECK(!error.empty(), "a list refused without a reason");
    return;
  }
  FUZZ_CHECK(experiments == std::vector<int>(expected.begin(), expected.end()),
             "the list '" + text + "' names other experiments");
  std::vector<int> again;
  FUZZ_CHECK(ExperimentSelection::Parse(RenderSelection(experiments), numExperiments, again, error) &&
                 again == experiments,
             "the rendered list gives other experiments");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  // Kept small: a study's experiments are listed one by one.
  const int numExperiments = in.ConsumeIntegralInRange<int>(1, 2000);
  const bool listOnly = in.ConsumeBool();
  const std::string rest = in.ConsumeRemainingBytesAsString();
  if (listOnly) {
    CheckSelection(rest, numExperiments);
    return 0;
  }
  std::vector<std::string> args =
      SplitArguments(reinterpret_cast<const unsigned char*>(rest.data()), rest.size(), 24);
  CheckOptions(args);
  // simmgr reads the list it was given against its study of 36.
  for (const auto& entry : LastValues(args)) {
    if (entry.first == "--experiments") CheckSelection(entry.second, 36);
  }
  return 0;
}

#include "simmgr/ResultsWriter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <map>
#include <new>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "simmgr/LauncherPreset.h"
#include "simmgr/NumberText.h"

namespace {

// Whole, however long: "%.5f" of a value near the largest double takes more
// than 300 characters.
std::string Format(const char* format, double value) {
  char text[64];
  const int length = std::snprintf(text, sizeof(text), format, value);
  if (length < 0) return "?";
  if (static_cast<size_t>(length) < sizeof(text)) return text;
  std::string whole(static_cast<size_t>(length) + 1, '\0');
  std::snprintf(&whole[0], whole.size(), format, value);
  whole.resize(static_cast<size_t>(length));
  return whole;
}

// A level as a percentage, to `digits` significant digits, or more where
// those would round a level below 1 up to "100".
std::string Percent(double level, int digits) {
  std::string text = Format(("%." + std::to_string(digits) + "g").c_str(), level * 100.0);
  while (level < 1.0 && digits < 17 && std::strtod(text.c_str(), nullptr) >= 100.0) {
    text = Format(("%." + std::to_string(++digits) + "g").c_str(), level * 100.0);
  }
  return text;
}

// Round-trip text of a double for files that scripts read.
std::string Exact(double value) { return NumberText::Shortest(value); }

bool HasInterval(const StudyResults::Variable& v) { return v.interval; }

// The methods of the intervals shown, in a fixed order ("Clopper-Pearson",
// "Clopper-Pearson and Student t"); `variable` -1 for all variables.
std::string MethodsTitle(const StudyResults& results, int variable) {
  bool used[4] = {false, false, false, false};
  for (const StudyResults::Experiment& e : results.experiments) {
    for (size_t v = 0; v < e.variables.size(); ++v) {
      if (variable >= 0 && static_cast<int>(v) != variable) continue;
      if (!results.study->Rewards()[v].terminating || !e.variables[v].interval) continue;
      used[e.variables[v].method] = true;
    }
  }
  std::string text;
  for (ConfidenceInterval::Method m :
       {ConfidenceInterval::kClopperPearson, ConfidenceInterval::kWilson, ConfidenceInterval::kStudentT}) {
    if (!used[m]) continue;
    if (!text.empty()) text += " and ";
    text += ConfidenceInterval::Title(m);
  }
  if (text.empty()) text = ConfidenceInterval::Title(results.rule.method);
  return text;
}

// Whether any experiment has an interval for `variable` (-1: for any
// terminating variable).
bool AnyInterval(const StudyResults& results, int variable) {
  for (const StudyResults::Experiment& e : results.experiments) {
    for (size_t v = 0; v < e.variables.size(); ++v) {
      if (variable >= 0 && static_cast<int>(v) != variable) continue;
      if (results.study->Rewards()[v].terminating && e.variables[v].interval) return true;
    }
  }
  return false;
}

// "95% simultaneous (Bonferroni) Clopper-Pearson confidence intervals".
std::string IntervalKind(const StudyResults& results, int variable) {
  return Percent(results.rule.confidence, 6) + "%" +
         (results.rule.simultaneous ? " simultaneous (Bonferroni)" : "") + " " + MethodsTitle(results, variable) +
         " confidence interval";
}

// The level experiment `e`'s intervals were computed at.
double LevelOf(const StudyResults& results, const StudyResults::Experiment& e) {
  return results.rule.TwoStage() && e.intervalConfidence > 0.0 ? e.intervalConfidence
                                                               : results.rule.IntervalConfidence();
}

// The pilots the experiments ran, as the table names them: "a pilot of N
// replications", or "pilots of A to B replications" when they differ (a
// resumed study whose pilot was already longer than --min-replications,
// or that needed no more than it held; an experiment that failed in its
// pilot).
std::string PilotText(const StudyResults& results) {
  int64_t fewest = 0;
  int64_t most = 0;
  for (const StudyResults::Experiment& e : results.experiments) {
    if (e.pilotReplications <= 0) continue;
    fewest = fewest == 0 ? e.pilotReplications : std::min(fewest, e.pilotReplications);
    most = std::max(most, e.pilotReplications);
  }
  if (most == 0) fewest = most = results.rule.Pilot();
  if (fewest == most) return "a pilot of " + std::to_string(most) + " replications";
  return "pilots of " + std::to_string(fewest) + " to " + std::to_string(most) + " replications";
}

// Why the intervals are computed at another level than they hold at.
std::string LevelNote(const StudyResults& results) {
  const StoppingRule& rule = results.rule;
  if (rule.TwoStage()) {
    std::string note = " (each computed at " + Percent(rule.PlannedConfidence(), 6) +
                       "% at the look planned from " + PilotText(results) + ", or at " +
                       Percent(rule.IntervalConfidence(), 6) + "% at the worst case";
    if (rule.simultaneous) note += ", shared among " + std::to_string(rule.variables) + " variables";
    return note + "; the pilot is not in the estimates)";
  }
  if (rule.Looks() == 1 && !rule.simultaneous) return "";
  std::string note = " (each computed at " + Percent(rule.IntervalConfidence(), 6) + "%: ";
  if (rule.Looks() > 1) note += "up to " + std::to_string(rule.Looks()) + " looks";
  if (rule.Looks() > 1 && rule.simultaneous) note += ", ";
  if (rule.simultaneous) note += std::to_string(rule.variables) + " variables";
  return note + ")";
}

// `value` to five decimals, rounded outwards: down (`up` false) or up, so
// that an interval shown holds the interval computed (no failure in a
// million replications is not shown as [0.00000, 0.00000]).
std::string Outwards(double value, bool up) {
  std::string text = Format("%.5f", value);
  if (!std::isfinite(value)) return text;
  const double shown = std::strtod(text.c_str(), nullptr);
  if (up ? shown < value : shown > value) text = Format("%.5f", shown + (up ? 1e-5 : -1e-5));
  return text;
}

// Clopper-Pearson and Wilson intervals lie unevenly around the mean: their
// ends are shown; a t interval is the mean and its half-width. The ends and
// the half-width are rounded outwards, the mean to the nearest.
std::string IntervalText(const StudyResults::Variable& x) {
  if (x.replications == 0) return "-";
  std::string text = Format("%.5f", x.mean);
  if (!x.interval) return text;
  if (x.method == ConfidenceInterval::kStudentT) return text + " ± " + Outwards(x.halfWidth, true);
  return text + " [" + Outwards(x.low, false) + ", " + Outwards(x.high, true) + "]";
}

// Global variables whose value differs between the experiments shown.
std::vector<int> VaryingGlobals(const StudyResults& results) {
  std::vector<int> varying;
  const StudyTable& study = *results.study;
  for (size_t g = 0; g < study.Globals().size(); ++g) {
    for (const StudyResults::Experiment& e : results.experiments) {
      if (study.ValueText(e.experiment, static_cast<int>(g)) !=
          study.ValueText(results.experiments.front().experiment, static_cast<int>(g))) {
        varying.push_back(static_cast<int>(g));
        break;
      }
    }
  }
  return varying;
}

std::string Pad(const std::string& text, size_t width, bool left) {
  // The width counts characters; "±" is two bytes in UTF-8.
  size_t shown = 0;
  for (unsigned char c : text) shown += (c & 0xC0) != 0x80 ? 1 : 0;
  if (shown >= width) return text;
  const std::string fill(width - shown, ' ');
  return left ? text + fill : fill + text;
}

// How a file's data, and a folder's new entry, are made to reach the disk
// (fsync, unless a test puts another in its place).
int (*syncFile)(int) = fsync;

// Puts the data written to fd on the disk; 0, or the errno of the
// failure. A file that cannot be synced (a pipe, a device) is left so.
int SyncData(int fd) {
  if (syncFile(fd) == 0 || errno == EINVAL || errno == EROFS) return 0;
  return errno;
}

// The folder of `path`.
std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

// Puts a renamed entry in `folder` on the disk, as far as the folder allows
// (the file itself is whole either way).
void SyncFolder(const std::string& folder) {
  const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd == -1) return;
  syncFile(fd);
  close(fd);
}

// Writes `text` to fd and closes it, with the data on the disk first when
// `durable` is set; 0, or the errno of the first failure.
int WriteAndClose(int fd, const std::string& text, bool durable) {
  size_t done = 0;
  int failure = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n == -1 && errno == EINTR) {
      continue;
    } else {
      failure = n == -1 ? errno : EIO;
      break;
    }
  }
  // Some file systems report a failed write only when the data is synced
  // or the file is closed.
  if (durable && failure == 0) failure = SyncData(fd);
  if (close(fd) != 0 && failure == 0 && errno != EINTR) failure = errno;
  return failure;
}

// Writes `text` to `path` (created or truncated); 0, or the errno of the
// failure. A pipe that nobody reads fails at once (ENXIO) instead of
// holding the manager in open() for ever; one with a reader is written as
// any file is, blocking.
int WriteInPlace(const std::string& path, const std::string& text, bool durable) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666);
  if (fd == -1) return errno;
  const int flags = fcntl(fd, F_GETFL);
  if (flags == -1 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) {
    const int failure = errno;
    close(fd);
    return failure;
  }
  return WriteAndClose(fd, text, durable);
}

// Writes `text` to the temporary `path`, a new file: one of that name left
// by an earlier run is removed first, and a link there is never written
// through. It gets the owner (as far as this process may give it) and the
// permissions of `replaced`, the file it is to replace, if any, so that a
// file kept private stays so. 0, or the errno of the failure.
int WriteTemporary(const std::string& path, const std::string& text, const struct stat* replaced,
                   bool durable) {
  unlink(path.c_str());
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd == -1) return errno;
  if (replaced != nullptr) {
    // Another owner may not be this process's to give: the group then, or
    // else the file stays its own.
    if (fchown(fd, replaced->st_uid, replaced->st_gid) != 0) {
      const int ignored = fchown(fd, static_cast<uid_t>(-1), replaced->st_gid);
      (void)ignored;
    }
    if (fchmod(fd, replaced->st_mode & 0777) != 0) {
      const int failure = errno;
      close(fd);
      return failure;
    }
  }
  return WriteAndClose(fd, text, durable);
}

// A file being written so that a reader, or a later run, finds either the
// old file whole or the new one whole, never a part: the text goes to a
// temporary beside the file (beside the file a symbolic link names), which
// is then renamed over it. A path that exists and is not a regular file (a
// device, a pipe) is written in place.
struct StagedFile {
  std::string path;       // as given, for messages
  std::string target;     // the file replaced
  std::string temporary;  // empty when written in place
  // The target's folder, made while staging: putting the files in place
  // allocates nothing, so memory that runs out cannot stop it part-way.
  std::string folder;
};

// Writes text for `path` (to its temporary, or in place); 0, or the errno
// of the failure (the temporary then removed).
int Stage(const std::string& path, const std::string& text, bool durable, StagedFile& staged) {
  staged.path = path;
  staged.target = path;
  staged.temporary.clear();
  struct stat info;
  const bool exists = stat(path.c_str(), &info) == 0;
  if (exists && !S_ISREG(info.st_mode)) return WriteInPlace(path, text, durable);
  if (char* resolved = realpath(path.c_str(), nullptr)) {
    staged.target = resolved;
    std::free(resolved);
  }
  staged.folder = FolderOf(staged.target);
  staged.temporary = staged.target + ".tmp" + std::to_string(getpid());
  const int failure = WriteTemporary(staged.temporary, text, exists ? &info : nullptr, durable);
  if (failure == 0) return 0;
  unlink(staged.temporary.c_str());
  // A folder that takes no new files is not written in place: a file cut
  // off by a full disk, or by the end of the process part-way, would be
  // all that is left of it (of the saved state, rewritten after every
  // hand-over, too). simmgr refuses such a folder at the start.
  return failure;
}

// Puts a staged file in place (its folder's new entry not yet synced); 0,
// or the errno of the failure.
int Commit(const StagedFile& staged) {
  if (staged.temporary.empty()) return 0;
  if (std::rename(staged.temporary.c_str(), staged.target.c_str()) == 0) return 0;
  const int failure = errno;
  unlink(staged.temporary.c_str());
  return failure;
}

bool WriteWhole(const std::string& path, const std::string& text, std::string& error) {
  return ResultsWriter::WriteTogether({{path, text}}, error, true);
}

// The endings of an experiment's attempts, in order, separated by ';'.
std::string Endings(const StudyResults::Experiment& e) {
  std::string text;
  for (const SimulatorAttempt& attempt : e.attempts) {
    if (!text.empty()) text += ";";
    text += SimulatorAttempt::EndingName(attempt.ending);
  }
  return text;
}

// A command line as a shell reads it back.
std::string ShellText(const std::vector<std::string>& arguments) {
  std::string text;
  for (const std::string& argument : arguments) {
    text += (text.empty() ? "" : " ") + LauncherPreset::ShellWord(argument);
  }
  return text;
}

nlohmann::json ProvenanceJson(const StudyResults& results) {
  const StudyResults::Provenance& p = results.provenance;
  return {{"program", "simmgr"},
          {"version", p.version},
          {"commit", p.commit.empty() ? nlohmann::json(nullptr) : nlohmann::json(p.commit)},
          {"command_line", ShellText(p.commandLine)},
          {"arguments", p.commandLine},
          {"base_seed", results.baseSeed},
          {"generator", results.generator},
          {"report_size", results.reportSize},
          {"host", p.host},
          {"working_directory", p.workingDirectory},
          {"started_utc", p.startedUtc},
          {"ended_utc", p.endedUtc},
          {"simulator", p.simulator}};
}

std::string JsonDocumentText(const nlohmann::json& document) {
  // Failure texts may quote a simulator's output, and command lines may hold
  // anything: bytes that are not UTF-8 are replaced rather than refused.
  return document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::string XmlEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

// A step of 1, 2 or 5 times a power of ten giving about `count` ticks.
double NiceStep(double range, int count) {
  const double raw = range / count;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0, 10.0}) {
    if (m * power >= raw) return m * power;
  }
  return 10.0 * power;
}

}  // namespace

void ResultsWriter::PrintTable(std::ostream& out, const StudyResults& results) {
  const StudyTable& study = *results.study;
  const std::vector<int> globals = VaryingGlobals(results);
  std::vector<int> variables;
  for (size_t v = 0; v < study.Rewards().size(); ++v) {
    if (study.Rewards()[v].terminating) variables.push_back(static_cast<int>(v));
  }
  size_t cell = 22;
  for (const StudyResults::Experiment& e : results.experiments) {
    for (int v : variables) cell = std::max(cell, IntervalText(e.variables[v]).size());
  }
  const bool testing = results.rule.Hypothesis();
  std::ostringstream header;
  header << Pad("exp", 4, false);
  for (int g : globals) header << "  " << Pad(study.Globals()[g].name, std::max<size_t>(study.Globals()[g].name.size(), 8), false);
  header << "  " << Pad("replications", 12, false);
  for (int v : variables) header << "  " << Pad(study.Rewards()[v].label, cell, false);
  if (testing) header << "  " << Pad("decision", 9, true);
  header << "  status";
  if (AnyInterval(results, -1)) {
    out << "Mean and " << IntervalKind(results, -1) << " per experiment" << LevelNote(results) << "\n";
  } else {
    out << "Mean per experiment (no confidence interval could be computed)\n";
  }
  if (testing) {
    const SequentialTest& t = results.rule.test;
    out << "Test of " << t.Claim(results.rule.testLabel) << " per experiment (Wald's sequential probability "
        << "ratio test): alpha " << NumberText::Shortest(t.Alpha()) << ", beta "
        << NumberText::Shortest(t.Beta())
        // The ends the test uses, to the last digit: rounded, two regions
        // could read alike, or an end hide which side of it a mean is on.
        << ", indifference region " << NumberText::Shortest(t.Threshold() - t.Delta()) << " to "
        << NumberText::Shortest(t.Threshold() + t.Delta()) << "\n";
  }
  out << header.str() << "\n";
  for (const StudyResults::Experiment& e : results.experiments) {
    out << Pad(std::to_string(e.experiment), 4, false);
    for (int g : globals) {
      out << "  " << Pad(study.ValueText(e.experiment, g), std::max<size_t>(study.Globals()[g].name.size(), 8), false);
    }
    out << "  " << Pad(std::to_string(e.replications), 12, false);
    for (int v : variables) out << "  " << Pad(IntervalText(e.variables[v]), cell, false);
    if (testing) out << "  " << Pad(SequentialTest::DecisionName(e.test.Current()), 9, true);
    std::string status = e.status;
    if (e.status == "complete" && results.rule.Precision() && !e.precisionMet) {
      status += " (precision not reached)";
    }
    out << "  " << status << "\n";
  }
  // Experiments whose simulators did not all end well, attempt by attempt.
  bool headed = false;
  for (const StudyResults::Experiment& e : results.experiments) {
    bool troubled = false;
    for (const SimulatorAttempt& attempt : e.attempts) {
      troubled = troubled || (attempt.ending != SimulatorAttempt::kDone &&
                              attempt.ending != SimulatorAttempt::kInterrupted);
    }
    if (!troubled) continue;
    if (!headed) out << "Attempts (simulator processes) of the experiments whose simulators failed:\n";
    headed = true;
    out << Pad(std::to_string(e.experiment), 4, false) << ": ";
    for (size_t a = 0; a < e.attempts.size(); ++a) {
      const SimulatorAttempt& attempt = e.attempts[a];
      out << (a > 0 ? "; " : "") << a + 1 << " " << SimulatorAttempt::EndingName(attempt.ending)
          << " after " << attempt.replications;
      if (!attempt.reason.empty()) out << " (" << attempt.reason << ")";
    }
    out << "\n";
  }
  if (!results.Complete()) {
    out << "INCOMPLETE: " << (results.interrupted ? "the run was interrupted; " : "")
        << "not every experiment completed\n";
  }
}

bool ResultsWriter::WriteCsv(const std::string& path, const StudyResults& results, std::string& error) {
  return WriteWhole(path, CsvText(results), error);
}

std::string ResultsWriter::CsvText(const StudyResults& results) {
  std::ostringstream file;
  const StudyTable& study = *results.study;
  file << "experiment,status";
  for (const StudyTable::GlobalVariable& g : study.Globals()) file << "," << g.name;
  file << ",variable,reward,time,replications,mean,variance,ci_low,ci_high,half_width,confidence,"
          "precision_met,cpu_seconds,seed,attempts,attempt_endings,interval,interval_confidence,simultaneous,"
          "test,decision\n";
  for (const StudyResults::Experiment& e : results.experiments) {
    for (size_t v = 0; v < study.Rewards().size(); ++v) {
      const StudyTable::RewardVariable& reward = study.Rewards()[v];
      if (!reward.terminating) continue;
      const StudyResults::Variable& x = e.variables[v];
      file << e.experiment << "," << e.status;
      for (size_t g = 0; g < study.Globals().size(); ++g) {
        file << "," << study.ValueText(e.experiment, static_cast<int>(g));
      }
      file << "," << reward.label << "," << reward.name << "," << Exact(reward.time) << ","
           << x.replications << ",";
      if (x.replications > 0) file << Exact(x.mean);
      file << ",";
      if (HasInterval(x)) {
        file << Exact(x.variance) << "," << Exact(x.low) << "," << Exact(x.high) << "," << Exact(x.halfWidth);
      } else {
        file << ",,,";
      }
      const bool tested = results.rule.Hypothesis();
      file << "," << Exact(results.rule.confidence) << ","
           << (results.rule.Precision() ? e.precisionMet ? "1" : "0" : "") << "," << Exact(e.cpuSeconds) << ","
           << e.seed << "," << e.attempts.size() << "," << Endings(e) << ","
           << (HasInterval(x) ? ConfidenceInterval::Name(x.method) : "") << ","
           << Exact(LevelOf(results, e)) << "," << (results.rule.simultaneous ? "1" : "0") << ","
           << (tested ? results.rule.test.Claim(results.rule.testLabel) : "") << ","
           << (tested ? SequentialTest::DecisionName(e.test.Current()) : "") << "\n";
    }
  }
  return file.str();
}

bool ResultsWriter::WriteJson(const std::string& path, const StudyResults& results,
                              std::string& error) {
  return WriteWhole(path, JsonText(results), error);
}

std::string ResultsWriter::JsonText(const StudyResults& results) {
  using nlohmann::json;
  const StudyTable& study = *results.study;
  json document;
  document["provenance"] = ProvenanceJson(results);
  document["complete"] = results.Complete();
  document["interrupted"] = results.interrupted;
  json settings;
  settings["base_seed"] = results.baseSeed;
  settings["generator"] = results.generator;
  settings["confidence"] = results.rule.confidence;
  settings["report_size"] = results.reportSize;
  settings["retries"] = results.retries;
  settings["segment"] = results.segment;
  settings["interval"] = {{"method", ConfidenceInterval::Name(results.rule.method)},
                          {"methods_used", MethodsTitle(results, -1)},
                          {"simultaneous", results.rule.simultaneous},
                          {"looks", results.rule.Looks()},
                          {"interval_confidence", results.rule.IntervalConfidence()}};
  if (results.rule.Fixed()) {
    settings["stopping"] = {{"rule", "fixed"}, {"replications", results.rule.replications}};
  } else if (results.rule.Hypothesis()) {
    const SequentialTest& t = results.rule.test;
    settings["stopping"] = {{"rule", "test"},
                            {"test", "wald sequential probability ratio test"},
                            {"claim", t.Claim(results.rule.testLabel)},
                            {"variable", results.rule.testLabel},
                            {"threshold", t.Threshold()},
                            {"alpha", t.Alpha()},
                            {"beta", t.Beta()},
                            {"delta", t.Delta()},
                            {"indifference_low", t.Threshold() - t.Delta()},
                            {"indifference_high", t.Threshold() + t.Delta()},
                            {"accept_bound", t.AcceptBound()},
                            {"reject_bound", t.RejectBound()},
                            {"max_replications", results.rule.maxReplications}};
  } else {
    settings["stopping"] = {{"rule", "precision"},
                            {"relative_half_width", results.rule.relative},
                            {"absolute_half_width", results.rule.absolute},
                            {"min_replications", results.rule.minReplications},
                            {"max_replications", results.rule.maxReplications}};
    if (results.rule.TwoStage()) {
      settings["stopping"]["two_stage"] = {{"pilot_replications", results.rule.Pilot()},
                                           {"planned_confidence", results.rule.PlannedConfidence()},
                                           {"worst_case_confidence", results.rule.IntervalConfidence()}};
    }
  }
  document["settings"] = settings;
  json globals = json::array();
  for (const StudyTable::GlobalVariable& g : study.Globals()) {
    globals.push_back({{"name", g.name}, {"type", g.type}});
  }
  document["global_variables"] = globals;
  json rewards = json::array();
  for (const StudyTable::RewardVariable& r : study.Rewards()) {
    if (r.terminating) rewards.push_back({{"variable", r.label}, {"reward", r.name}, {"time", r.time}});
  }
  document["reward_variables"] = rewards;
  json experiments = json::array();
  for (const StudyResults::Experiment& e : results.experiments) {
    json item;
    item["experiment"] = e.experiment;
    item["name"] = "Experiment " + std::to_string(e.experiment + 1);
    item["status"] = e.status;
    item["failure"] = e.failure.empty() ? json(nullptr) : json(e.failure);
    if (!results.rule.Fixed()) item["precision_met"] = e.precisionMet;
    item["seed"] = e.seed;
    item["replications"] = e.replications;
    if (results.rule.TwoStage()) {
      item["pilot_replications"] = e.pilotReplications;
      item["looks"] = e.plan;
    }
    item["cpu_seconds"] = e.cpuSeconds;
    item["wall_seconds"] = e.wallSeconds;
    json values = json::object();
    for (size_t g = 0; g < study.Globals().size(); ++g) {
      // Values as the study's type prints them: 0.005 for a float 0.005,
      // not its widened binary value; integer types as integers.
      const std::string& type = study.Globals()[g].type;
      const std::string& text = study.ValueText(e.experiment, static_cast<int>(g));
      if (type == "float" || type == "double") {
        values[study.Globals()[g].name] = std::strtod(text.c_str(), nullptr);
      } else {
        values[study.Globals()[g].name] =
            static_cast<long long>(study.Value(e.experiment, static_cast<int>(g)));
      }
    }
    item["global_values"] = values;
    json variables = json::array();
    for (size_t v = 0; v < study.Rewards().size(); ++v) {
      const StudyTable::RewardVariable& reward = study.Rewards()[v];
      if (!reward.terminating) continue;
      const StudyResults::Variable& x = e.variables[v];
      json entry = {{"variable", reward.label}, {"reward", reward.name}, {"time", reward.time},
                    {"replications", x.replications}};
      entry["mean"] = x.replications > 0 ? json(x.mean) : json(nullptr);
      const bool interval = HasInterval(x);
      entry["variance"] = interval ? json(x.variance) : json(nullptr);
      entry["ci_low"] = interval ? json(x.low) : json(nullptr);
      entry["ci_high"] = interval ? json(x.high) : json(nullptr);
      entry["half_width"] = interval ? json(x.halfWidth) : json(nullptr);
      entry["interval"] = interval ? json(ConfidenceInterval::Name(x.method)) : json(nullptr);
      entry["interval_confidence"] = LevelOf(results, e);
      entry["simultaneous"] = results.rule.simultaneous;
      variables.push_back(entry);
    }
    item["variables"] = variables;
    json attempts = json::array();
    for (const SimulatorAttempt& attempt : e.attempts) {
      attempts.push_back({{"segment", attempt.segment},
                          {"attempt", attempt.number},
                          {"seed", attempt.seed},
                          {"host", attempt.host},
                          {"port", attempt.port},
                          {"replications", attempt.replications},
                          {"cpu_seconds", attempt.cpuSeconds},
                          {"wall_seconds", attempt.wallSeconds},
                          {"ended", SimulatorAttempt::EndingName(attempt.ending)},
                          {"reason", attempt.reason.empty() ? json(nullptr) : json(attempt.reason)}});
    }
    item["attempts"] = attempts;
    if (results.rule.Hypothesis()) {
      const SequentialTest& t = e.test;
      item["test"] = {{"claim", t.Claim(results.rule.testLabel)},
                      {"decision", SequentialTest::DecisionName(t.Current())},
                      {"replications", t.Count()},
                      {"ones", t.Ones()},
                      {"log_likelihood_ratio", t.LogRatio()},
                      {"alpha", t.Alpha()},
                      {"beta", t.Beta()}};
    }
    experiments.push_back(item);
  }
  document["experiments"] = experiments;
  document["timing"] = {
      {"wall_seconds", results.wallSeconds},
      {"manager_cpu_seconds", results.managerCpuSeconds},
      {"simulator_cpu_seconds", results.simulatorCpuSeconds},
      {"manager_cpu_share", results.simulatorCpuSeconds > 0.0
                                ? json(results.managerCpuSeconds / results.simulatorCpuSeconds)
                                : json(nullptr)}};
  return JsonDocumentText(document);
}

bool ResultsWriter::WriteCsvMeta(const std::string& path, const std::string& csvName,
                                 const StudyResults& results, std::string& error) {
  return WriteWhole(path, CsvMetaText(csvName, results), error);
}

std::string ResultsWriter::CsvMetaText(const std::string& csvName, const StudyResults& results) {
  return JsonDocumentText({{"describes", csvName}, {"provenance", ProvenanceJson(results)}});
}

bool ResultsWriter::WriteSvg(const std::string& path, const StudyResults& results,
                             const std::string& xName, const std::string& seriesName,
                             std::string& error) {
  return WriteWhole(path, SvgText(results, xName, seriesName), error);
}

bool ResultsWriter::CheckWritable(const std::string& path, std::string& error) {
  struct stat info;
  if (stat(path.c_str(), &info) == 0) {
    if (!S_ISREG(info.st_mode)) {
      error = "cannot write " + path + ": it exists and is not a regular file";
      return false;
    }
    // Opened without truncating: the old results stay until new ones exist.
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd == -1) {
      error = "cannot write " + path + ": " + std::strerror(errno);
      return false;
    }
    close(fd);
    return true;
  }
  if (errno != ENOENT) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd == -1) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    return false;
  }
  close(fd);
  unlink(path.c_str());
  return true;
}

void ResultsWriter::RemoveStaleTemporaries(const std::string& dir, const std::vector<std::string>& names) {
  DIR* folder = opendir(dir.c_str());
  if (folder == nullptr) return;
  auto digitsFrom = [](const std::string& entry, size_t at) {
    return entry.size() > at && entry.find_first_not_of("0123456789", at) == std::string::npos;
  };
  std::vector<std::string> stale;
  while (const dirent* entry = readdir(folder)) {
    const std::string name = entry->d_name;
    bool temporary = name.compare(0, 14, ".simmgr-check-") == 0 && digitsFrom(name, 14);
    for (const std::string& kept : names) {
      const std::string prefix = kept + ".tmp";
      if (name.compare(0, prefix.size(), prefix) == 0 && digitsFrom(name, prefix.size())) temporary = true;
    }
    if (temporary) stale.push_back(name);
  }
  closedir(folder);
  for (const std::string& name : stale) {
    const std::string path = dir + "/" + name;
    struct stat info;
    // A folder or a device of that name is nobody's temporary.
    if (lstat(path.c_str(), &info) == 0 && (S_ISREG(info.st_mode) || S_ISLNK(info.st_mode))) unlink(path.c_str());
  }
}

std::string ResultsWriter::SvgText(const StudyResults& results, const std::string& xName,
                                   const std::string& seriesName) {
  const StudyTable& study = *results.study;
  const int variable = results.PlottedVariable();
  const int xGlobal = study.FindGlobal(xName);
  const int seriesGlobal = study.FindGlobal(seriesName);
  const bool logX = xGlobal >= 0;

  struct Point {
    double x, mean, low, high;
    bool interval;
    std::string xText;
  };
  // Values the axis can hold: rounded out to a whole step past the data,
  // its ends and span stay finite (a step is at most 10/6 of the span, and
  // the span at most an eighth of the largest double here). A mean beyond
  // it (observations whose sum overflowed, shown as "inf" in the table) is
  // left out as a mean without data is, an interval end beyond it leaves
  // out the bar: one such value made every coordinate "nan", or put the
  // top of the axis at infinity, where the grid's loop never ended.
  const double largestPlotted = std::numeric_limits<double>::max() / 16;
  auto plottable = [largestPlotted](double y) { return std::fabs(y) <= largestPlotted; };
  std::map<double, std::pair<std::string, std::vector<Point>>> series;
  bool positiveX = true;
  for (const StudyResults::Experiment& e : results.experiments) {
    if (variable < 0 || e.variables[variable].replications == 0) continue;
    const StudyResults::Variable& v = e.variables[variable];
    if (!plottable(v.mean)) continue;
    Point p;
    p.x = logX ? study.Value(e.experiment, xGlobal) : e.experiment;
    p.xText = logX ? study.ValueText(e.experiment, xGlobal) : std::to_string(e.experiment);
    if (logX && !(p.x > 0.0)) positiveX = false;
    p.mean = v.mean;
    p.interval = HasInterval(v) && plottable(v.low) && plottable(v.high);
    p.low = p.interval ? v.low : v.mean;
    p.high = p.interval ? v.high : v.mean;
    const double key = seriesGlobal >= 0 ? study.Value(e.experiment, seriesGlobal) : 0.0;
    auto& entry = series[key];
    if (seriesGlobal >= 0) entry.first = seriesName + " = " + study.ValueText(e.experiment, seriesGlobal);
    entry.second.push_back(p);
  }
  const bool useLog = logX && positiveX;

  const double width = 860, height = 520;
  const double left = 80, right = 190, top = 60, bottom = 70;
  const double plotW = width - left - right, plotH = height - top - bottom;
  double xMin = INFINITY, xMax = -INFINITY, yMax = 0.0, yMin = 0.0;
  std::map<double, std::string> xTicks;
  for (auto& item : series) {
    std::sort(item.second.second.begin(), item.second.second.end(),
              [](const Point& a, const Point& b) { return a.x < b.x; });
    for (const Point& p : item.second.second) {
      xMin = std::min(xMin, p.x);
      xMax = std::max(xMax, p.x);
      yMax = std::max(yMax, p.high);
      yMin = std::min(yMin, p.low);
      xTicks[p.x] = p.xText;
    }
  }
  auto X = [&](double x) {
    double a = useLog ? std::log(x) : x, lo = useLog ? std::log(xMin) : xMin,
           hi = useLog ? std::log(xMax) : xMax;
    if (!(hi > lo)) return left + plotW / 2;
    const double pad = (hi - lo) * 0.05;
    return left + (a - lo + pad) / (hi - lo + 2 * pad) * plotW;
  };
  if (yMax <= 0.0) yMax = 1.0;
  double yStep = NiceStep(yMax - yMin, 6);
  // A span of a few of the smallest doubles has a sixth that rounds to 0.
  if (!(yStep > 0.0)) yStep = yMax - yMin;
  const double yTop = std::ceil(yMax / yStep) * yStep;
  const double yBottom = std::floor(yMin / yStep) * yStep;
  auto Y = [&](double y) { return top + plotH - (y - yBottom) / (yTop - yBottom) * plotH; };

  std::ostringstream svg;
  svg << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << width << "\" height=\"" << height
      << "\" viewBox=\"0 0 " << width << " " << height
      << "\" font-family=\"sans-serif\" font-size=\"13\">\n"
      << "<rect x=\"0\" y=\"0\" width=\"" << width << "\" height=\"" << height << "\" fill=\"white\"/>\n";
  const std::string label = variable >= 0 ? study.Rewards()[variable].label : "no variable";
  const std::string time = variable >= 0 ? Format("%g", study.Rewards()[variable].time) : "";
  svg << "<text x=\"" << width / 2 << "\" y=\"24\" text-anchor=\"middle\" font-size=\"16\" "
      << "font-weight=\"bold\">Probability of failure by time " << XmlEscape(time) << " ("
      << XmlEscape(label) << ")</text>\n";
  svg << "<text x=\"" << width / 2 << "\" y=\"44\" text-anchor=\"middle\" fill=\"#444\">"
      << (AnyInterval(results, variable)
              ? "mean with " + XmlEscape(IntervalKind(results, variable)) + " per experiment"
              : std::string("mean per experiment (no confidence interval could be computed)"))
      << "</text>\n";
  if (!results.Complete()) {
    svg << "<text x=\"" << left + 8 << "\" y=\"" << top + 18
        << "\" fill=\"#c00\" font-weight=\"bold\">INCOMPLETE: not every experiment completed</text>\n";
  }
  // Grid and axes.
  svg << "<g stroke=\"#ddd\" stroke-width=\"1\">\n";
  for (double y = yBottom; y <= yTop + yStep / 2; y += yStep) {
    svg << "<line x1=\"" << left << "\" y1=\"" << Y(y) << "\" x2=\"" << left + plotW << "\" y2=\""
        << Y(y) << "\"/>\n";
  }
  for (const auto& tick : xTicks) {
    svg << "<line x1=\"" << X(tick.first) << "\" y1=\"" << top << "\" x2=\"" << X(tick.first)
        << "\" y2=\"" << top + plotH << "\"/>\n";
  }
  svg << "</g>\n";
  svg << "<rect x=\"" << left << "\" y=\"" << top << "\" width=\"" << plotW << "\" height=\"" << plotH
      << "\" fill=\"none\" stroke=\"#333\"/>\n";
  svg << "<g text-anchor=\"end\">\n";
  for (double y = yBottom; y <= yTop + yStep / 2; y += yStep) {
    svg << "<text x=\"" << left - 6 << "\" y=\"" << Y(y) + 4 << "\">" << Format("%g", std::fabs(y) < yStep / 1e6 ? 0.0 : y)
        << "</text>\n";
  }
  svg << "</g>\n<g text-anchor=\"middle\">\n";
  for (const auto& tick : xTicks) {
    svg << "<text x=\"" << X(tick.first) << "\" y=\"" << top + plotH + 18 << "\">"
        << XmlEscape(tick.second) << "</text>\n";
  }
  svg << "</g>\n";
  const std::string xTitle = logX ? xName + (useLog ? " (logarithmic scale)" : "") : "experiment";
  svg << "<text x=\"" << left + plotW / 2 << "\" y=\"" << height - 24 << "\" text-anchor=\"middle\">"
      << XmlEscape(xTitle) << "</text>\n";
  svg << "<text transform=\"translate(22," << top + plotH / 2
      << ") rotate(-90)\" text-anchor=\"middle\">P(failed by time " << XmlEscape(time)
      << ")</text>\n";

  // Lines that lie on top of each other keep their bars apart: each series
  // is drawn a few pixels to the side of the next.
  const double dodge = series.size() > 1 ? std::min(5.0, 24.0 / series.size()) : 0.0;
  static const char* const kColours[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e",
                                         "#9467bd", "#8c564b", "#e377c2", "#17becf"};
  int index = 0;
  for (const auto& item : series) {
    const char* colour = kColours[index % 8];
    const std::vector<Point>& points = item.second.second;
    const double shift = (index - (static_cast<double>(series.size()) - 1.0) / 2.0) * dodge;
    svg << "<g stroke=\"" << colour << "\" fill=\"" << colour << "\">\n";
    if (points.size() > 1) {
      svg << "<polyline fill=\"none\" stroke-width=\"2\" points=\"";
      for (const Point& p : points) svg << X(p.x) + shift << "," << Y(p.mean) << " ";
      svg << "\"/>\n";
    }
    for (const Point& p : points) {
      const double x = X(p.x) + shift;
      if (p.interval) {
        svg << "<line stroke-width=\"1.5\" x1=\"" << x << "\" y1=\"" << Y(p.low) << "\" x2=\"" << x
            << "\" y2=\"" << Y(p.high) << "\"/>\n"
            << "<line stroke-width=\"1.5\" x1=\"" << x - 4 << "\" y1=\"" << Y(p.low) << "\" x2=\""
            << x + 4 << "\" y2=\"" << Y(p.low) << "\"/>\n"
            << "<line stroke-width=\"1.5\" x1=\"" << x - 4 << "\" y1=\"" << Y(p.high) << "\" x2=\""
            << x + 4 << "\" y2=\"" << Y(p.high) << "\"/>\n";
      }
      svg << "<circle cx=\"" << x << "\" cy=\"" << Y(p.mean) << "\" r=\"3.5\"/>\n";
    }
    svg << "</g>\n";
    const double ly = top + 14 + index * 22;
    svg << "<line x1=\"" << left + plotW + 16 << "\" y1=\"" << ly << "\" x2=\"" << left + plotW + 44
        << "\" y2=\"" << ly << "\" stroke=\"" << colour << "\" stroke-width=\"2\"/>\n"
        << "<circle cx=\"" << left + plotW + 30 << "\" cy=\"" << ly << "\" r=\"3.5\" fill=\"" << colour
        << "\"/>\n"
        << "<text x=\"" << left + plotW + 52 << "\" y=\"" << ly + 4 << "\">"
        << XmlEscape(item.second.first.empty() ? label : item.second.first) << "</text>\n";
    ++index;
  }
  svg << "</svg>\n";
  return svg.str();
}

bool ResultsWriter::WriteText(const std::string& path, const std::string& text, std::string& error,
                              bool durable) {
  return WriteTogether({{path, text}}, error, durable);
}

bool ResultsWriter::WriteTogether(const std::vector<std::pair<std::string, std::string>>& files,
                                  std::string& error, bool durable) {
  std::vector<StagedFile> staged(files.size());
  for (size_t i = 0; i < files.size(); ++i) {
    int failure = 0;
    try {
      failure = Stage(files[i].first, files[i].second, durable, staged[i]);
    } catch (const std::bad_alloc&) {
      // Memory that ran out stops the writing before any file is replaced:
      // the temporaries written so far are not left beside them.
      for (size_t k = 0; k <= i; ++k) {
        if (!staged[k].temporary.empty()) unlink(staged[k].temporary.c_str());
      }
      throw;
    }
    if (failure == 0) continue;
    for (size_t k = 0; k < i; ++k) {
      if (!staged[k].temporary.empty()) unlink(staged[k].temporary.c_str());
    }
    error = "cannot write " + files[i].first + ": " + std::strerror(failure);
    return false;
  }
  // Renames within a folder do not run out of room; one that fails anyway
  // is reported, and the files after it are left as they were. The
  // folders' new entries are synced only once every file is in place: a
  // sync can take long, and a manager killed, or a machine stopped, between
  // two renames leaves this study's first files beside an earlier study's
  // others.
  size_t renamed = 0;
  int failure = 0;
  while (renamed < staged.size() && (failure = Commit(staged[renamed])) == 0) ++renamed;
  if (durable) {
    for (size_t i = 0; i < renamed; ++i) {
      if (!staged[i].temporary.empty()) SyncFolder(staged[i].folder);
    }
  }
  if (failure == 0) return true;
  for (size_t k = renamed + 1; k < staged.size(); ++k) {
    if (!staged[k].temporary.empty()) unlink(staged[k].temporary.c_str());
  }
  error = "cannot write " + staged[renamed].path + ": " + std::strerror(failure);
  return false;
}

void ResultsWriter::SetSyncForTesting(int (*sync)(int)) { syncFile = sync != nullptr ? sync : fsync; }

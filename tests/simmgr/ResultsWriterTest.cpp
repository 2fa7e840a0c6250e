#include "simmgr/ResultsWriter.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <fcntl.h>
#include <filesystem>
#include <future>
#include <limits>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>
#include <thread>
#include <vector>

#include "tests/simmgr/SimMgrTestSupport.h"
#include "tests/support/FileSizeLimit.h"
#include "tests/simmgr/XmlCheck.h"

namespace {

// A variable with a t interval of half-width `hw` (none when not finite).
StudyResults::Variable V(int64_t n, double mean, double variance, double hw) {
  StudyResults::Variable v;
  v.replications = n;
  v.mean = mean;
  v.variance = variance;
  v.interval = n >= 2 && std::isfinite(hw);
  v.low = mean - hw;
  v.high = mean + hw;
  v.halfWidth = hw;
  v.method = ConfidenceInterval::kStudentT;
  return v;
}

// Results of three experiments of the real study, by hand: one complete,
// one interrupted with a single observation, one failed without any.
StudyResults HandResults(const StudyTable& study) {
  StudyResults results;
  results.study = &study;
  results.rule.absolute = 0.01;
  results.interrupted = true;
  StudyResults::Experiment complete;
  complete.experiment = 4;
  complete.status = "complete";
  complete.precisionMet = true;
  complete.seed = 99;
  complete.replications = 400;
  for (int v = 0; v < 3; ++v) complete.variables.push_back(V(400, 0.25 * (v + 1), 0.1, 0.008));
  StudyResults::Experiment single;
  single.experiment = 8;
  single.status = "incomplete";
  single.replications = 1;
  for (int v = 0; v < 3; ++v) single.variables.push_back(V(1, 1.0, 0.0, INFINITY));
  StudyResults::Experiment failed;
  failed.experiment = 9;
  failed.status = "failed";
  failed.failure = "protocol error: \xff<bad>";
  for (int v = 0; v < 3; ++v) failed.variables.push_back(V(0, 0.0, 0.0, INFINITY));
  results.experiments = {complete, single, failed};
  return results;
}

}  // namespace

TEST(ResultsWriterTest, FilesAndTableOfAnIncompleteStudy) {
  StudyTable study;
  study.Load();
  ASSERT_EQ(study.Rewards().size(), 3u);
  EXPECT_EQ(study.Rewards()[1].label, "reliability@180");
  const StudyResults results = HandResults(study);
  const std::string dir = TestFolder("writer");
  std::string error;

  ASSERT_TRUE(ResultsWriter::WriteCsv(dir + "/r.csv", results, error)) << error;
  const auto rows = ReadCsv(dir + "/r.csv");
  ASSERT_EQ(rows.size(), 9u);
  EXPECT_EQ(rows[2].at("mean"), "0.75");
  EXPECT_EQ(rows[2].at("ci_low"), "0.742");
  EXPECT_EQ(rows[2].at("ci_high"), "0.758");
  EXPECT_EQ(rows[2].at("precision_met"), "1");
  EXPECT_EQ(rows[2].at("seed"), "99");
  // One observation: a mean but no interval; none: nothing at all.
  EXPECT_EQ(rows[3].at("status"), "incomplete");
  EXPECT_EQ(rows[3].at("mean"), "1");
  EXPECT_EQ(rows[3].at("variance"), "");
  EXPECT_EQ(rows[3].at("half_width"), "");
  EXPECT_EQ(rows[8].at("mean"), "");
  EXPECT_EQ(rows[8].at("#cells"), "27");

  ASSERT_TRUE(ResultsWriter::WriteJson(dir + "/r.json", results, error)) << error;
  const std::string json = ReadFile(dir + "/r.json");
  EXPECT_NE(json.find("\"complete\": false"), std::string::npos);
  EXPECT_NE(json.find("\"interrupted\": true"), std::string::npos);
  // A failure text that is not UTF-8 is written, not refused.
  EXPECT_NE(json.find("protocol error: \xef\xbf\xbd<bad>"), std::string::npos);

  std::ostringstream table;
  ResultsWriter::PrintTable(table, results);
  EXPECT_NE(table.str().find("0.75000 ± 0.00800"), std::string::npos) << table.str();
  EXPECT_NE(table.str().find("INCOMPLETE: the run was interrupted"), std::string::npos);
  // A mean far beyond any probability is shown whole, not cut short.
  StudyResults huge = results;
  huge.experiments[0].variables[0] = V(400, 1e80, 0.1, 0.008);
  std::ostringstream hugeTable;
  ResultsWriter::PrintTable(hugeTable, huge);
  char digits[128];
  std::snprintf(digits, sizeof(digits), "%.5f ± 0.00800", 1e80);
  EXPECT_NE(hugeTable.str().find(digits), std::string::npos) << hugeTable.str();

  // Two points with data, each its own num_replicas line (1 for both 4 and
  // 8, so one polyline), the failed experiment left out.
  const std::string svg = ResultsWriter::SvgText(results, "power_cycle_rate", "num_replicas");
  std::string root;
  EXPECT_TRUE(XmlWellFormed(svg, root, error)) << error;
  EXPECT_NE(svg.find("INCOMPLETE"), std::string::npos);
  EXPECT_NE(svg.find("power_cycle_rate (logarithmic scale)"), std::string::npos);
  EXPECT_EQ(svg.find("<polyline"), svg.rfind("<polyline"));
  // Without the plotted globals the experiment number is the axis.
  const std::string plain = ResultsWriter::SvgText(results, "no_such", "nor_this");
  EXPECT_TRUE(XmlWellFormed(plain, root, error)) << error;
  EXPECT_NE(plain.find(">experiment</text>"), std::string::npos);
}

// A level close to 1 is not shown as 100%: six digits made "100%" of
// 0.9999999 in the table's title, and of its share among 15 looks in
// the level each interval is computed at.
TEST(ResultsWriterTest, ALevelCloseToOneIsNotShownAsAHundredPercent) {
  StudyTable study;
  study.Load();
  StudyResults results = HandResults(study);
  results.rule.confidence = 0.9999999;
  std::ostringstream table;
  ResultsWriter::PrintTable(table, results);
  EXPECT_NE(table.str().find("Mean and 99.99999% Student t confidence interval per experiment (each computed at "
                             "99.999999%: up to 15 looks)"),
            std::string::npos)
      << table.str();
  EXPECT_EQ(table.str().find("100%"), std::string::npos) << table.str();
  const std::string svg = ResultsWriter::SvgText(results, "power_cycle_rate", "num_replicas");
  EXPECT_NE(svg.find("99.99999% Student t confidence interval"), std::string::npos);
  // Levels that six digits tell apart are written as before.
  results.rule.confidence = 0.95;
  std::ostringstream usual;
  ResultsWriter::PrintTable(usual, results);
  EXPECT_NE(usual.str().find("Mean and 95% Student t confidence interval per experiment (each computed at "
                             "99.6667%: up to 15 looks)"),
            std::string::npos)
      << usual.str();
}

// The test's line gives its error bounds and the ends of its region as the
// test uses them, to the last digit: rounded to six digits, the region
// 0.1 -/+ 1e-7 read "0.0999999 to 0.1", an end that is the threshold.
TEST(ResultsWriterTest, TheTestLineGivesItsRegionToTheLastDigit) {
  StudyTable study;
  study.Load();
  StudyResults results = HandResults(study);
  results.rule.absolute = 0.0;
  results.rule.test = SequentialTest(SequentialTest::kBelow, 0.1, 0.0123456789, 0.05, 1e-7);
  results.rule.testLabel = "reliability@365";
  std::ostringstream table;
  ResultsWriter::PrintTable(table, results);
  // 0.1 + 1e-7 is 0.10000010000000001 as a double.
  EXPECT_NE(table.str().find("test): alpha 0.0123456789, beta 0.05, indifference region 0.0999999 to "
                             "0.10000010000000001\n"),
            std::string::npos)
      << table.str();
}

// A study whose experiments all have fewer than two observations has no
// interval to show: its title names no level or method, as the rows show
// the means alone.
TEST(ResultsWriterTest, ATitleWithoutAnyIntervalNamesNoLevel) {
  StudyTable study;
  study.Load();
  StudyResults results = HandResults(study);
  results.experiments.erase(results.experiments.begin());
  std::ostringstream table;
  ResultsWriter::PrintTable(table, results);
  EXPECT_EQ(table.str().rfind("Mean per experiment (no confidence interval could be computed)\n", 0), 0u)
      << table.str();
  EXPECT_EQ(table.str().find("confidence interval per experiment"), std::string::npos) << table.str();
  const std::string svg = ResultsWriter::SvgText(results, "power_cycle_rate", "num_replicas");
  EXPECT_NE(svg.find(">mean per experiment (no confidence interval could be computed)</text>"),
            std::string::npos);
}

// Observations may be any finite numbers: their sum can overflow (a mean
// shown as "inf") and a mean can lie near the largest double. The plot
// leaves such a mean out, as it leaves out an experiment without data,
// and stays a plot of the others: one infinite mean made every coordinate
// "nan", and a mean of 1.79e308 made the grid's loop run on, the text
// growing until memory ran out.
TEST(ResultsWriterTest, APlotLeavesOutMeansItsAxisCannotHold) {
  StudyTable study;
  study.Load();
  const std::regex notFinite("=\"[^\"]*(nan|inf)");
  const double largest = std::numeric_limits<double>::max();
  for (const double extreme : {largest, -largest, HUGE_VAL, -HUGE_VAL, std::nan("")}) {
    StudyResults results = HandResults(study);
    results.experiments[1].variables[2].mean = extreme;
    // Under a watchdog: the loop it ran into never returned.
    EXPECT_EXIT(
        {
          alarm(5);
          const std::string svg = ResultsWriter::SvgText(results, "power_cycle_rate", "num_replicas");
          std::exit(std::regex_search(svg, notFinite) ? 1 : 0);
        },
        testing::ExitedWithCode(0), "")
        << extreme;
    if (HasFailure()) return;
    const std::string svg = ResultsWriter::SvgText(results, "power_cycle_rate", "num_replicas");
    std::string root, error;
    EXPECT_TRUE(XmlWellFormed(svg, root, error)) << error;
    // Experiment 4's point and the legend's.
    size_t circles = 0;
    for (size_t at = svg.find("<circle"); at != std::string::npos; at = svg.find("<circle", at + 1)) ++circles;
    EXPECT_EQ(circles, 2u) << extreme << "\n" << svg;
  }
  // Means of a few of the smallest doubles: a sixth of their span, the
  // axis's step, rounded to 0.
  StudyResults tiny = HandResults(study);
  tiny.experiments.erase(tiny.experiments.begin());
  tiny.experiments[0].variables[2].mean = 5e-324;
  const std::string svg = ResultsWriter::SvgText(tiny, "power_cycle_rate", "num_replicas");
  EXPECT_FALSE(std::regex_search(svg, notFinite)) << svg;
  EXPECT_NE(svg.find("<circle"), std::string::npos);
}

TEST(ResultsWriterTest, TheXmlCheckerRefusesWhatBrowsersRefuse) {
  std::string root, error;
  EXPECT_TRUE(XmlWellFormed("<?xml version=\"1.0\"?>\n<svg a=\"1\"><g><t>x &amp; y</t></g></svg>\n", root, error))
      << error;
  for (const char* bad : {"<svg><g></svg>", "<svg a=1/>", "<svg a=\"1\" a=\"2\"/>", "<svg>&</svg>",
                          "<svg/><svg/>", "<svg>", "<svg b=\"<\"/>", "x<svg/>"}) {
    EXPECT_FALSE(XmlWellFormed(bad, root, error)) << bad;
  }
}

// A write that fails says why, and the check made before a study runs finds
// what cannot be written without changing what can.
TEST(ResultsWriterTest, FailedWritesSayWhyAndTheCheckChangesNothing) {
  StudyTable study;
  study.Load();
  const StudyResults results = HandResults(study);
  std::string error;
  if (std::filesystem::exists("/dev/full")) {
    EXPECT_FALSE(ResultsWriter::WriteCsv("/dev/full", results, error));
    EXPECT_EQ(error, "cannot write /dev/full: No space left on device");
    EXPECT_FALSE(ResultsWriter::CheckWritable("/dev/full", error));
    EXPECT_EQ(error, "cannot write /dev/full: it exists and is not a regular file");
  }
  const std::string dir = TestFolder("writable");
  EXPECT_FALSE(ResultsWriter::WriteJson(dir + "/missing/r.json", results, error));
  EXPECT_EQ(error, "cannot write " + dir + "/missing/r.json: No such file or directory");
  EXPECT_FALSE(ResultsWriter::CheckWritable(dir + "/missing/r.json", error));
  EXPECT_TRUE(ResultsWriter::CheckWritable(dir + "/new.csv", error)) << error;
  EXPECT_FALSE(std::filesystem::exists(dir + "/new.csv"));
  { std::ofstream(dir + "/old.csv") << "kept"; }
  EXPECT_TRUE(ResultsWriter::CheckWritable(dir + "/old.csv", error)) << error;
  EXPECT_EQ(ReadFile(dir + "/old.csv"), "kept");
}

// A write that fails part-way (here: the file-size limit, standing in for a
// full disk) leaves the earlier file whole and no temporary beside it, and
// of files written together none is replaced when one fails; a write that
// succeeds through a symbolic link replaces the file the link names and
// keeps the link, and never writes through a link where its temporary goes.
TEST(ResultsWriterTest, AFailedWriteLeavesTheEarlierFileWhole) {
  StudyTable study;
  study.Load();
  const StudyResults results = HandResults(study);
  const std::string dir = TestFolder("replace");
  std::string error;
  ASSERT_TRUE(ResultsWriter::WriteCsv(dir + "/results.csv", results, error)) << error;
  const std::string earlier = ReadFile(dir + "/results.csv");
  ASSERT_GT(earlier.size(), 200u);

  StudyResults changed = results;
  changed.experiments[0].seed = 12345;
  bool csvWritten, stateWritten, togetherWritten;
  std::string stateError, togetherError;
  {
    FileSizeLimit limit(100);
    csvWritten = ResultsWriter::WriteCsv(dir + "/results.csv", changed, error);
    stateWritten = ResultsWriter::WriteText(dir + "/state.json", std::string(500, 'x'), stateError);
    // Of files written together, the first fits and the second does not:
    // neither is replaced.
    togetherWritten = ResultsWriter::WriteTogether(
        {{dir + "/results.csv", "short\n"}, {dir + "/results.json", std::string(500, 'y')}}, togetherError);
  }

  EXPECT_FALSE(csvWritten);
  EXPECT_EQ(error, "cannot write " + dir + "/results.csv: File too large");
  EXPECT_FALSE(stateWritten);
  EXPECT_EQ(stateError, "cannot write " + dir + "/state.json: File too large");
  EXPECT_FALSE(togetherWritten);
  EXPECT_EQ(togetherError, "cannot write " + dir + "/results.json: File too large");
  EXPECT_EQ(ReadFile(dir + "/results.csv"), earlier);
  EXPECT_FALSE(std::filesystem::exists(dir + "/state.json"));
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) names.push_back(entry.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"results.csv"});

  if (geteuid() != 0) {
    // Permissions do not bind the superuser. A folder that takes no new
    // files: its files are not written in place, where a full disk or the
    // end of the process would leave them cut off.
    const std::string before = ReadFile(dir + "/results.csv");
    std::filesystem::permissions(dir, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    EXPECT_FALSE(ResultsWriter::WriteCsv(dir + "/results.csv", changed, error));
    EXPECT_FALSE(ResultsWriter::WriteText(dir + "/new.json", "{}", error));
    std::filesystem::permissions(dir, std::filesystem::perms::owner_all);
    EXPECT_EQ(ReadFile(dir + "/results.csv"), before);
  }

  // Through a link: the named file gets the new text, the link stays.
  std::filesystem::create_directory(dir + "/kept");
  std::filesystem::rename(dir + "/results.csv", dir + "/kept/real.csv");
  std::filesystem::create_symlink("kept/real.csv", dir + "/results.csv");
  ASSERT_TRUE(ResultsWriter::WriteCsv(dir + "/results.csv", changed, error)) << error;
  EXPECT_TRUE(std::filesystem::is_symlink(dir + "/results.csv"));
  EXPECT_NE(ReadFile(dir + "/kept/real.csv"), earlier);
  EXPECT_NE(ReadFile(dir + "/kept/real.csv").find("12345"), std::string::npos);

  // The temporary's name already taken by a link (left there, or planted
  // by someone else): the file it names is not written.
  { std::ofstream(dir + "/victim") << "not results\n"; }
  std::filesystem::create_symlink("../victim", dir + "/kept/real.csv.tmp" + std::to_string(getpid()));
  ASSERT_TRUE(ResultsWriter::WriteCsv(dir + "/results.csv", results, error)) << error;
  EXPECT_EQ(ReadFile(dir + "/victim"), "not results\n");
  EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(dir + "/kept/real.csv")));
  EXPECT_EQ(ReadFile(dir + "/kept/real.csv"), earlier);
}

// A pipe put where a result goes (by the user, or by someone else sharing
// the folder while the study runs) is written in place: one that nobody
// reads is refused at once rather than holding the manager for ever, one
// with a reader gets the whole text, however long.
TEST(ResultsWriterTest, APipeWithoutAReaderIsRefusedAtOnce) {
  const std::string dir = TestFolder("pipe");
  const std::string fifo = dir + "/results.json";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string error;
  auto writing = std::async(std::launch::async, [&] { return ResultsWriter::WriteText(fifo, "{}\n", error); });
  if (writing.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    // Let the writer go, so that the failure is reported, not a hang.
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    writing.wait();
    close(reader);
    FAIL() << "the write waited for a reader";
  }
  EXPECT_FALSE(writing.get());
  EXPECT_EQ(error, "cannot write " + fifo + ": No such device or address");

  const std::string text(300000, 'x');
  auto reading = std::async(std::launch::async, [&] {
    std::ifstream in(fifo, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  });
  // The reader opens the pipe when it gets to it; until then the write is
  // refused as above.
  bool written = false;
  for (int tries = 0; tries < 500 && !written; ++tries) {
    written = ResultsWriter::WriteText(fifo, text, error);
    if (!written) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(written) << error;
  if (!written) {
    const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (writer != -1) close(writer);
  }
  const std::string got = reading.get();
  if (written) {
    EXPECT_TRUE(got == text) << got.size() << " bytes read";
  }
}

// A file replaced by a new text keeps its permissions (a file kept private
// stays so), and a new one gets those the umask leaves.
TEST(ResultsWriterTest, AReplacedFileKeepsItsPermissions) {
  namespace fs = std::filesystem;
  const std::string dir = TestFolder("permissions");
  const mode_t umaskBefore = umask(022);
  std::string error;
  ASSERT_TRUE(ResultsWriter::WriteText(dir + "/state.json", "{}\n", error)) << error;
  EXPECT_EQ(fs::status(dir + "/state.json").permissions(), fs::perms(0644));
  fs::permissions(dir + "/state.json", fs::perms(0600));
  ASSERT_TRUE(ResultsWriter::WriteText(dir + "/state.json", "{\"new\": 1}\n", error)) << error;
  umask(umaskBefore);
  EXPECT_EQ(ReadFile(dir + "/state.json"), "{\"new\": 1}\n");
  EXPECT_EQ(fs::status(dir + "/state.json").permissions(), fs::perms(0600));
}

// What the syncs saw: the descriptors' targets, in order, the temporaries
// still in a folder as it was synced, and whether a sync is to fail.
struct SyncRecord {
  std::vector<std::string> synced;
  std::vector<std::string> temporariesAtFolderSync;
  bool fail = false;
};
SyncRecord syncRecord;

int RecordSync(int fd) {
  char target[4096];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = readlink(link.c_str(), target, sizeof(target) - 1);
  syncRecord.synced.push_back(n > 0 ? std::string(target, n) : "?");
  if (n > 0 && std::filesystem::is_directory(syncRecord.synced.back())) {
    for (const auto& entry : std::filesystem::directory_iterator(syncRecord.synced.back())) {
      const std::string name = entry.path().filename().string();
      if (name.find(".tmp") != std::string::npos) syncRecord.temporariesAtFolderSync.push_back(name);
    }
  }
  if (syncRecord.fail) {
    errno = EIO;
    return -1;
  }
  return 0;
}

// The results and the last state are on the disk before they replace the
// files they replace, and the replacement after; the states written along
// the way are not waited for. A sync that fails (the disk could not take
// the data) fails the write and keeps the earlier file.
TEST(ResultsWriterTest, DurableWritesReachTheDiskBeforeAndAfterTheirRename) {
  const std::string dir = std::filesystem::canonical(TestFolder("durable"));
  std::string error;
  syncRecord = SyncRecord();
  ResultsWriter::SetSyncForTesting(RecordSync);
  ASSERT_TRUE(ResultsWriter::WriteText(dir + "/state.json", "{}\n", error)) << error;
  EXPECT_TRUE(syncRecord.synced.empty());
  ASSERT_TRUE(ResultsWriter::WriteTogether({{dir + "/a.csv", "a\n"}, {dir + "/b.json", "{}\n"}}, error, true))
      << error;
  const std::string pid = std::to_string(getpid());
  EXPECT_EQ(syncRecord.synced, (std::vector<std::string>{dir + "/a.csv.tmp" + pid, dir + "/b.json.tmp" + pid,
                                                          dir, dir}));
  // Both are in place before the folder is synced, however long that
  // takes: an end meanwhile leaves no new a.csv beside an earlier b.json.
  EXPECT_TRUE(syncRecord.temporariesAtFolderSync.empty())
      << syncRecord.temporariesAtFolderSync.front() << " was still to be renamed";

  syncRecord = SyncRecord();
  syncRecord.fail = true;
  EXPECT_FALSE(ResultsWriter::WriteTogether({{dir + "/a.csv", "new\n"}}, error, true));
  EXPECT_EQ(error, "cannot write " + dir + "/a.csv: Input/output error");
  ResultsWriter::SetSyncForTesting(nullptr);
  EXPECT_EQ(ReadFile(dir + "/a.csv"), "a\n");
  EXPECT_FALSE(std::filesystem::exists(dir + "/a.csv.tmp" + pid));
}

// The attempts of an experiment: the CSV counts them and names their
// endings, the JSON has each with its seed and reason, the table lists the
// experiments whose simulators failed.
TEST(ResultsWriterTest, AttemptsAreRecordedInEveryForm) {
  StudyTable study;
  study.Load();
  StudyResults results = HandResults(study);
  SimulatorAttempt first;
  first.seed = 11;
  first.replications = 150;
  first.ending = SimulatorAttempt::kKilled;
  first.reason = "the simulator ended (killed by signal 9)";
  SimulatorAttempt second;
  second.number = 1;
  second.seed = 12;
  second.replications = 250;
  second.ending = SimulatorAttempt::kDone;
  results.experiments[0].attempts = {first, second};
  results.retries = 3;
  const std::string dir = TestFolder("attempts");
  std::string error;
  ASSERT_TRUE(ResultsWriter::WriteCsv(dir + "/r.csv", results, error)) << error;
  const auto rows = ReadCsv(dir + "/r.csv");
  EXPECT_EQ(rows[0].at("attempts"), "2");
  EXPECT_EQ(rows[0].at("attempt_endings"), "killed;complete");
  EXPECT_EQ(rows[8].at("attempts"), "0");
  EXPECT_EQ(rows[8].at("attempt_endings"), "");
  ASSERT_TRUE(ResultsWriter::WriteJson(dir + "/r.json", results, error)) << error;
  const nlohmann::json document = nlohmann::json::parse(ReadFile(dir + "/r.json"));
  EXPECT_EQ(document["settings"]["retries"], 3);
  const nlohmann::json& attempts = document["experiments"][0]["attempts"];
  ASSERT_EQ(attempts.size(), 2u);
  EXPECT_EQ(attempts[0]["ended"], "killed");
  EXPECT_EQ(attempts[0]["reason"], "the simulator ended (killed by signal 9)");
  EXPECT_EQ(attempts[0]["replications"], 150);
  EXPECT_EQ(attempts[1]["attempt"], 1);
  EXPECT_EQ(attempts[1]["seed"], 12);
  EXPECT_EQ(attempts[1]["reason"], nullptr);
  std::ostringstream table;
  ResultsWriter::PrintTable(table, results);
  EXPECT_NE(table.str().find("   4: 1 killed after 150 (the simulator ended (killed by signal 9)); 2 complete after 250"),
            std::string::npos)
      << table.str();
}

// The table rounds to five decimals; an interval it shows must still
// contain the interval computed, or the table claims more certainty than
// the study has: no failure in 10^6 replications (95% Clopper-Pearson
// [0, 3.69e-6]) is no proof that the probability is 0, and a lower end of
// 0.0030562 is not 0.00306.
TEST(ResultsWriterTest, TheTableNeverShowsAnIntervalNarrowerThanTheOneComputed) {
  StudyTable study;
  study.Load();
  StudyResults results = HandResults(study);
  results.experiments.resize(1);
  StudyResults::Experiment& e = results.experiments[0];
  e.replications = 1000000;
  const ConfidenceInterval none = ConfidenceInterval::ClopperPearson(0, 1000000, 0.95);
  const ConfidenceInterval few = ConfidenceInterval::ClopperPearson(7, 902, 0.955);
  for (int v = 0; v < 3; ++v) {
    StudyResults::Variable& x = e.variables[v];
    const ConfidenceInterval& ci = v == 0 ? none : few;
    x.replications = v == 0 ? 1000000 : 902;
    x.mean = v == 0 ? 0.0 : 7.0 / 902.0;
    x.method = ConfidenceInterval::kClopperPearson;
    x.interval = true;
    x.low = ci.Low();
    x.high = ci.High();
    x.halfWidth = ci.HalfWidth(x.mean);
  }
  std::ostringstream table;
  ResultsWriter::PrintTable(table, results);
  std::istringstream lines(table.str());
  std::string line;
  std::getline(lines, line);  // title
  std::getline(lines, line);  // header
  std::getline(lines, line);  // the experiment
  std::vector<std::pair<double, double>> shown;
  for (size_t at = line.find('['); at != std::string::npos; at = line.find('[', at + 1)) {
    shown.emplace_back(std::strtod(line.c_str() + at + 1, nullptr),
                       std::strtod(line.c_str() + line.find(',', at) + 1, nullptr));
  }
  ASSERT_EQ(shown.size(), 3u) << table.str();
  for (int v = 0; v < 3; ++v) {
    EXPECT_LE(shown[v].first, e.variables[v].low) << line;
    EXPECT_GE(shown[v].second, e.variables[v].high) << line;
  }
}

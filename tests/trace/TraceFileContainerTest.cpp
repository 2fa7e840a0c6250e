#include "trace/TraceFileContainer.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/trace/TinyModel.h"

namespace {

using tinymodel::TinyPVModel;

// Logs every call, tagged with the writer's name, into a log shared by
// several writers, so that the order across writers shows.
class RecordingWriter : public TraceFile {
 public:
  RecordingWriter(const char* tag, std::vector<std::string>* log) : tag(tag), log(log) {}
  void printHeader(PVModel* m) override { Log("header", m); }
  void printFooter() override { Log("footer"); }
  void printInitialState(BaseModelClass* m) override { Log("initial", m); }
  void printState(BaseModelClass* m) override { Log("state(model)", m); }
  void printState(PVModel* m) override { Log("state(pv)", m); }
  void printFireAction(BaseActionClass* a, double t) override { Log("fire " + Str(t), a); }
  void printPreFireAction(BaseActionClass* a) override { Log("pre", a); }
  void printPostFireAction(BaseActionClass* a, BaseActionClass* s) override { Log("post", a, s); }
  void newBatch() override { Log("batch"); }
  void printStr(int level, char* text) override { Log("str " + Str(level) + " " + text); }

  template <class T>
  static std::string Str(T v) {
    std::ostringstream s;
    s << v;
    return s.str();
  }

 private:
  void Log(const std::string& what, const void* a = nullptr, const void* b = nullptr) {
    log->push_back(tag + ":" + what + (a ? " " + Str(a) : "") + (b ? " " + Str(b) : ""));
  }
  std::string tag;
  std::vector<std::string>* log;
};

TEST(TraceFileContainerTest, ForwardsEveryEventToEachWriterInRegistrationOrder) {
  TinyPVModel pv;
  BaseActionClass* group = pv.join->pump->pumpGroup;
  BaseActionClass* member = pv.join->pump->pump2;
  std::vector<std::string> log;
  RecordingWriter first("A", &log), second("B", &log);
  TraceFileContainer traces;
  traces.AddTraceFile(&first);
  traces.AddTraceFile(nullptr);  // ignored
  traces.AddTraceFile(&second);
  traces.RemoveTraceFile(&first);  // does nothing
  traces.addPVModel(&pv);

  traces.printHeader();
  traces.printInitialState();
  traces.printState();
  traces.printFireAction(group, 2.5);
  traces.printPreFireAction(group);
  traces.printPostFireAction(group, member);
  traces.newBatch();
  traces.printStr(3, const_cast<char*>("text"));
  traces.printf(2, "%s=%d", "n", 7);
  traces.printf(1, "%s!", std::string(1500, 'x').c_str());  // cut to 1023 characters
  traces.printFooter();
  // The container's own model-taking overloads write to nobody.
  traces.printHeader(&pv);
  traces.printState(static_cast<BaseModelClass*>(pv.join));
  traces.printState(&pv);
  traces.printInitialState(pv.join);

  auto S = [](const void* p) { return " " + RecordingWriter::Str(p); };
  std::vector<std::string> expected;
  for (const std::string& line :
       {"header" + S(&pv), "initial" + S(pv.join), "state(pv)" + S(&pv), "fire 2.5" + S(group),
        "pre" + S(group), "post" + S(group) + S(member), std::string("batch"),
        std::string("str 3 text"), std::string("str 2 n=7"), "str 1 " + std::string(1023, 'x'),
        std::string("footer")}) {
    expected.push_back("A:" + line);
    expected.push_back("B:" + line);
  }
  EXPECT_EQ(expected, log);
}

TEST(TraceFileContainerTest, WithoutWritersOrModelAcceptsEveryCall) {
  TraceFileContainer traces;
  traces.printHeader();
  traces.printInitialState();
  traces.printState();
  traces.printFireAction(nullptr, 1.0);
  traces.printPreFireAction(nullptr);
  traces.printPostFireAction(nullptr, nullptr);
  traces.newBatch();
  traces.printStr(1, const_cast<char*>("x"));
  traces.printf(1, "%d", 1);
  traces.printFooter();
  EXPECT_EQ(nullptr, traces.getStream());
  // Writers registered before the reward model get null models.
  std::vector<std::string> log;
  RecordingWriter writer("A", &log);
  traces.AddTraceFile(&writer);
  traces.printHeader();
  traces.printInitialState();
  EXPECT_EQ((std::vector<std::string>{"A:header", "A:initial"}), log);
}

// Two writers on one stream (both traces on standard output) fail
// together: the failure is reported once, not once per writer, whichever
// call meets it. A writer on a stream of its own still reports its own.
TEST(TraceFileContainerTest, AFailedStreamSharedByTwoWritersIsReportedOnce) {
  std::ostringstream shared;
  std::ostringstream own;
  TraceFile first(&shared);
  TraceFile second(&shared);
  TraceFile third(&own);
  for (TraceFile* writer : {&first, &second, &third}) writer->NameStream("standard output");
  TraceFileContainer traces;
  traces.AddTraceFile(&first);
  traces.AddTraceFile(&second);
  traces.AddTraceFile(&third);
  const std::string report = "!! Error writing the trace to standard output: write failed; the trace ends there\n";
  ::testing::internal::CaptureStderr();
  traces.printHeader();
  shared.setstate(std::ios::badbit);
  traces.newBatch();
  traces.newBatch();
  traces.printFooter();
  EXPECT_EQ(report, ::testing::internal::GetCapturedStderr());
  ::testing::internal::CaptureStderr();
  own.setstate(std::ios::badbit);
  traces.printFooter();
  EXPECT_EQ(report, ::testing::internal::GetCapturedStderr());
}

TEST(TraceFileTest, LevelsStateOfRewardModelAndTheProcessWideLevel) {
  TraceFile plain;
  EXPECT_EQ(1, plain.getTraceLevel());
  EXPECT_EQ(1, TraceLevel);
  plain.setTraceLevel(3);
  EXPECT_EQ(3, TraceLevel);
  // Only the default constructor and setTraceLevel write TraceLevel.
  std::ostringstream s;
  TraceFile onStream(&s);
  EXPECT_EQ(1, onStream.getTraceLevel());
  EXPECT_EQ(3, TraceLevel);
  TraceFileContainer container;
  EXPECT_EQ(1, TraceLevel);

  // The base printState(PVModel*) prints the top model through the writer's
  // own printState(BaseModelClass*).
  TinyPVModel pv;
  std::vector<std::string> log;
  RecordingWriter writer("A", &log);
  writer.TraceFile::printState(&pv);
  writer.TraceFile::printState(static_cast<PVModel*>(nullptr));
  EXPECT_EQ((std::vector<std::string>{"A:state(model) " + RecordingWriter::Str(pv.join),
                                      "A:state(model)"}),
            log);
}

}  // namespace

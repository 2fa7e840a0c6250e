#include "trace/TraceFileContainer.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "tests/trace/TinyModel.h"

namespace {

using tinymodel::TinyPVModel;

// A writer that logs every call it receives, tagged with its own name, into
// a log shared by several writers (so that the order across writers shows).
class RecordingWriter : public TraceFile {
 public:
  RecordingWriter(const std::string& tag, std::vector<std::string>* log) : tag(tag), log(log) {}

  void printHeader(PVModel* m) override { Log("printHeader", m); }
  void printFooter() override { Log("printFooter"); }
  void printInitialState(BaseModelClass* m) override { Log("printInitialState", m); }
  void printState(BaseModelClass* m) override { Log("printState(model)", m); }
  void printState(PVModel* m) override { Log("printState(pv)", m); }
  void printFireAction(BaseActionClass* a, double t) override {
    Log("printFireAction " + std::to_string(t), a);
  }
  void printPreFireAction(BaseActionClass* a) override { Log("printPreFireAction", a); }
  void printPostFireAction(BaseActionClass* a, BaseActionClass* s) override {
    Log("printPostFireAction", a, s);
  }
  void newBatch() override { Log("newBatch"); }
  void printStr(int level, char* text) override {
    Log("printStr " + std::to_string(level) + " " + text);
  }

 private:
  void Log(const std::string& what, const void* a = nullptr, const void* b = nullptr) {
    std::ostringstream line;
    line << tag << ":" << what;
    if (a != nullptr) line << " " << a;
    if (b != nullptr) line << " " << b;
    log->push_back(line.str());
  }

  std::string tag;
  std::vector<std::string>* log;
};

std::string Ptr(const void* p) {
  std::ostringstream s;
  s << " " << p;
  return s.str();
}

TEST(TraceFileContainerTest, ForwardsEveryEventToEachWriterInRegistrationOrder) {
  TinyPVModel pv;
  BaseActionClass* group = pv.join->pump->pumpGroup;
  BaseActionClass* member = pv.join->pump->pump2;
  std::vector<std::string> log;
  RecordingWriter first("A", &log);
  RecordingWriter second("B", &log);
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
  traces.printFooter();
  // The container's own model-taking overloads write to nobody.
  traces.printHeader(&pv);
  traces.printState(static_cast<BaseModelClass*>(pv.join));
  traces.printState(&pv);
  traces.printInitialState(pv.join);

  const std::string P = Ptr(&pv), J = Ptr(pv.join), G = Ptr(group), M = Ptr(member);
  std::vector<std::string> expected;
  for (const std::string& line :
       {"printHeader" + P, "printInitialState" + J, "printState(pv)" + P,
        "printFireAction 2.500000" + G, "printPreFireAction" + G, "printPostFireAction" + G + M,
        std::string("newBatch"), std::string("printStr 3 text"), std::string("printStr 2 n=7"),
        std::string("printFooter")}) {
    expected.push_back("A:" + line);
    expected.push_back("B:" + line);
  }
  EXPECT_EQ(expected, log);
}

TEST(TraceFileContainerTest, WithoutWritersOrModelAcceptsEveryCall) {
  TraceFileContainer traces;
  traces.setTraceLevel(4);
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
  EXPECT_EQ(4, traces.getTraceLevel());

  // Writers without a model get null models, not a crash.
  std::vector<std::string> log;
  RecordingWriter writer("A", &log);
  traces.AddTraceFile(&writer);
  traces.printHeader();
  traces.printInitialState();
  EXPECT_EQ((std::vector<std::string>{"A:printHeader", "A:printInitialState"}), log);
}

TEST(TraceFileContainerTest, PrintfCutsTextAt1023Characters) {
  std::vector<std::string> log;
  RecordingWriter writer("A", &log);
  TraceFileContainer traces;
  traces.AddTraceFile(&writer);
  std::string longText(1500, 'x');
  traces.printf(1, "%s!", longText.c_str());
  traces.printf(1, "%s", std::string(1023, 'y').c_str());
  ASSERT_EQ(2u, log.size());
  EXPECT_EQ("A:printStr 1 " + std::string(1023, 'x'), log[0]);
  EXPECT_EQ("A:printStr 1 " + std::string(1023, 'y'), log[1]);
}

TEST(TraceFileTest, LevelsAndTheProcessWideTraceLevel) {
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
  container.setTraceLevel(2);
  EXPECT_EQ(2, TraceLevel);
  EXPECT_EQ(3, plain.getTraceLevel());
}

// The base printState(PVModel*) prints the reward model's top model through
// the writer's own printState(BaseModelClass*); a null reward model passes null.
TEST(TraceFileTest, PrintStateOfRewardModelPrintsItsTopModel) {
  TinyPVModel pv;
  std::vector<std::string> log;
  class TopOnly : public TraceFile {
   public:
    explicit TopOnly(std::vector<std::string>* log) : log(log) {}
    using TraceFile::printState;
    void printState(BaseModelClass* m) override { log->push_back(m == nullptr ? "null" : m->name); }
    std::vector<std::string>* log;
  } writer(&log);
  writer.printState(&pv);
  writer.printState(static_cast<PVModel*>(nullptr));
  EXPECT_EQ((std::vector<std::string>{"Join", "null"}), log);
}

}  // namespace

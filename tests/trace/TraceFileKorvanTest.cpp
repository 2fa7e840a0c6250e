#include "trace/TraceFileKorvan.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "Cpp/BaseClasses/BaseGroupClass.h"
#include "tests/trace/GeneratedModel.h"
#include "tests/support/FileSizeLimit.h"
#include "tests/trace/TinyModel.h"
#include "trace/TraceFileContainer.h"

namespace {

using tinymodel::Fill;
using tinymodel::Ids;
using tinymodel::TinyPVModel;

const char kHeader[] =
    "**************************************\n"
    "\t\tTRACE\n"
    "**************************************\n";

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(TraceFileKorvanTest, StateOfComposedModelIsWrittenDepthFirstWithFullNames) {
  TinyPVModel pv;
  std::ostringstream s;
  TraceFileKorvan writer(&s);
  writer.printHeader(&pv);
  writer.printState(&pv);
  writer.printInitialState(pv.join->tank);
  writer.newBatch();
  writer.printFooter();
  writer.printf(1, "%s", "not written");
  writer.printStr(1, const_cast<char*>("not written"));
  EXPECT_EQ(std::string(kHeader) + Fill(
                                       "Model State:\n"
                                       "  Model: ({J})Join\n"
                                       "  Model: ({P})pump\n"
                                       "    level = 3\n"
                                       "    running = 1\n"
                                       "  Model: ({T})tank\n"
                                       "    level = 3\n"
                                       "    tank.valve = 1\n"
                                       "Initial Model State:\n"
                                       "  Model: ({T})tank\n"
                                       "    level = 3\n"
                                       "    tank.valve = 1\n"
                                       "##### NEW BATCH #####\n",
                                       Ids(pv.join)),
            s.str());
}

TEST(TraceFileKorvanTest, FiringRecordsDependOnTheLevel) {
  TinyPVModel pv;
  auto* pump = pv.join->pump;
  pump->running->setMark(0);
  pv.join->level->setMark(7);

  std::ostringstream level1;
  TraceFileKorvan quiet(&level1);
  quiet.printFireAction(pump->pumpGroup, 1.25);
  quiet.printPreFireAction(pump->pumpGroup);
  quiet.printPostFireAction(pump->pumpGroup, pump->pump2);
  EXPECT_EQ(Fill("#### Firing: 1.25  Action: ({P})pump->pumpGroup\n"
                 "#### After: ({P})pumpGroup->pump_case2\n",
                 Ids(pv.join)),
            level1.str());

  // Level 2 adds the enabling state of the group's printed action (its first
  // case) and the affected state of the case that fired. The shared place
  // appears once, under the name of the Join's variable.
  std::ostringstream level2;
  TraceFileKorvan verbose(&level2);
  verbose.setTraceLevel(2);
  verbose.printFireAction(pump->pumpGroup, 1234567.0);
  verbose.printPreFireAction(pump->pumpGroup);
  verbose.printPostFireAction(pump->pumpGroup, pump->pump2);
  verbose.printPostFireAction(pv.join->tank->drain, pv.join->tank->drain);
  EXPECT_EQ(Fill("#### Firing: 1.23457e+06  Action: ({P})pump->pumpGroup\n"
                 "Enabling state before action firing:\n"
                 "  running = 0\n"
                 "  level = 7\n"
                 "#### After: ({P})pumpGroup->pump_case2\n"
                 "Affected state after firing: \n"
                 "  running = 0\n"
                 "  level = 7\n"
                 "#### After: ({T})drain->drain\n"
                 "Affected state after firing: \n"
                 "  level = 7\n"
                 "  tank.valve = 1\n",
                 Ids(pv.join)),
            level2.str());

  // Level 0 writes no firing records; an action no model collected and a
  // missing selected action leave their places empty.
  std::ostringstream level0;
  TraceFileKorvan silent(&level0);
  silent.setTraceLevel(0);
  silent.printFireAction(pump->pumpGroup, 1.0);
  silent.printPostFireAction(pump->pumpGroup, pump->pump2);
  EXPECT_EQ("", level0.str());
  tinymodel::TinyActivity loose("loose", EXPONENTIAL);
  verbose.printFireAction(&loose, 0.5);
  quiet.printPostFireAction(&loose, nullptr);
  EXPECT_NE(std::string::npos, level2.str().find("#### Firing: 0.5  Action: ()->loose\n"));
  EXPECT_NE(std::string::npos, level1.str().find("#### After: ()loose->\n"));
}

TEST(TraceFileKorvanTest, RunOfThreeBatchesThroughTheContainerWritesHeaderAndMarks) {
  TinyPVModel pv;
  const std::string path = ::testing::TempDir() + "korvan_trace_three_batches.txt";
  {
    std::ofstream old(path);
    old << "stale content that must be truncated\n";
  }
  {
    TraceFileContainer traces;
    TraceFileKorvan* writer = new TraceFileKorvan(path.c_str());
    traces.AddTraceFile(writer);
    traces.addPVModel(&pv);
    traces.printHeader();
    for (int batch = 0; batch < 3; batch++) traces.newBatch();
    traces.printFooter();
    // The writer owns the file it opened and closes it when deleted, or
    // before, once: closing again, and deleting it then, is no failure.
    ::testing::internal::CaptureStderr();
    writer->Close();
    writer->Close();
    delete writer;
    EXPECT_EQ("", ::testing::internal::GetCapturedStderr());
  }
  EXPECT_EQ(std::string(kHeader) +
                "##### NEW BATCH #####\n##### NEW BATCH #####\n##### NEW BATCH #####\n",
            ReadFile(path));
  std::remove(path.c_str());
}

// A held file is left as it is until OpenHeldFile, which empties it and
// writes what was held; the stream callers keep (trout) stays the same.
TEST(TraceFileKorvanTest, AHeldFileIsTouchedOnlyWhenOpened) {
  TinyPVModel pv;
  const std::string path = ::testing::TempDir() + "korvan_trace_held.txt";
  { std::ofstream(path) << "an earlier run's trace, longer than the header and a mark of this one\n"; }
  const std::string earlier = ReadFile(path);
  { TraceFileKorvan refused(path.c_str(), TraceFile::kHeld); refused.printHeader(&pv); refused.Close(); }
  EXPECT_EQ(earlier, ReadFile(path));
  {
    TraceFileKorvan writer(path.c_str(), TraceFile::kHeld);
    std::ostream* const stream = writer.getStream();
    writer.printHeader(&pv);
    EXPECT_EQ(earlier, ReadFile(path));
    writer.OpenHeldFile();
    writer.newBatch();
    writer.OpenHeldFile();  // nothing held any more: no second emptying
    EXPECT_EQ(stream, writer.getStream());
    EXPECT_EQ(stream, trout);
  }
  EXPECT_EQ(std::string(kHeader) + "##### NEW BATCH #####\n", ReadFile(path));
  std::remove(path.c_str());
}

// An earlier trace is given up only once what was held is in the file: a
// file that cannot take it (here the file-size limit, in place of a full
// disk) is reported as not created and keeps the earlier trace whole; one
// that can holds this run's trace and nothing of the longer earlier one.
TEST(TraceFileKorvanTest, AHeldFileThatCannotTakeWhatWasHeldKeepsTheEarlierTrace) {
  TinyPVModel pv;
  const std::string path = ::testing::TempDir() + "korvan_trace_held_full.txt";
  std::string batches;
  for (int batch = 0; batch < 20; batch++) batches += "##### NEW BATCH #####\n";
  { std::ofstream(path) << "an earlier run's trace\n"; }
  const std::string earlier = ReadFile(path);
  ::testing::internal::CaptureStderr();
  {
    TraceFileKorvan writer(path.c_str(), TraceFile::kHeld);
    writer.printHeader(&pv);
    for (int batch = 0; batch < 20; batch++) writer.newBatch();
    {
      // Room for the captured report, not for what was held.
      FileSizeLimit limit(300);
      writer.OpenHeldFile();
    }
    writer.newBatch();
  }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "!! Cannot create trace file " + path + ": File too large\n");
  EXPECT_EQ(ReadFile(path), earlier);

  { std::ofstream(path) << std::string(2000, 'e'); }
  {
    TraceFileKorvan writer(path.c_str(), TraceFile::kHeld);
    writer.printHeader(&pv);
    for (int batch = 0; batch < 20; batch++) writer.newBatch();
    writer.OpenHeldFile();
    writer.newBatch();
  }
  EXPECT_EQ(ReadFile(path), std::string(kHeader) + batches + "##### NEW BATCH #####\n");
  std::remove(path.c_str());
}

// Under a descriptor limit that leaves room for one more file, an earlier
// trace is given up as it was before it was kept: the file is opened
// emptied and takes this run's trace, as a new file would, rather than the
// run going on with no trace at all.
TEST(TraceFileKorvanTest, AHeldFileUnderADescriptorLimitIsTracedAsANewOneWould) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the sanitizers' own checks need descriptors of their own (the check of a dynamic type opens a "
                  "pipe), and stop the test under such limits";
#endif
  TinyPVModel pv;
  const std::string path = ::testing::TempDir() + "korvan_trace_held_nofile.txt";
  { std::ofstream(path) << std::string(2000, 'e'); }
  ::testing::internal::CaptureStderr();
  {
    TraceFileKorvan writer(path.c_str(), TraceFile::kHeld);
    writer.printHeader(&pv);
    writer.newBatch();
    {
      // Room for exactly one descriptor more: the lowest free one.
      const int lowest = open("/dev/null", O_RDONLY | O_CLOEXEC);
      ASSERT_GE(lowest, 0);
      close(lowest);
      struct rlimit saved;
      getrlimit(RLIMIT_NOFILE, &saved);
      struct rlimit limit = saved;
      limit.rlim_cur = static_cast<rlim_t>(lowest) + 1;
      setrlimit(RLIMIT_NOFILE, &limit);
      writer.OpenHeldFile();
      setrlimit(RLIMIT_NOFILE, &saved);
    }
    writer.newBatch();
  }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_EQ(ReadFile(path), std::string(kHeader) + "##### NEW BATCH #####\n##### NEW BATCH #####\n");
  std::remove(path.c_str());
}

TEST(TraceFileKorvanTest, UncreatableFileWarnsOnceAndDropsWrites) {
  const std::string path = "/nonexistent-korvan-dir/trace.txt";
  ::testing::internal::CaptureStderr();
  {
    TraceFileKorvan writer(path.c_str());
    writer.printHeader(nullptr);
    writer.newBatch();
    writer.printState(static_cast<BaseModelClass*>(nullptr));
  }
  EXPECT_EQ("!! Cannot create trace file " + path + ": No such file or directory\n",
            ::testing::internal::GetCapturedStderr());
  std::ifstream probe(path);
  EXPECT_FALSE(probe.is_open());
  // The name is the user's text: its control characters are shown escaped,
  // so that it cannot print as another line of the run's messages.
  ::testing::internal::CaptureStderr();
  { TraceFileKorvan writer("/nonexistent-korvan-dir/x\nSIMULATOR::MAIN()-GOOD EXIT\x1b[2K.txt"); }
  EXPECT_EQ("!! Cannot create trace file /nonexistent-korvan-dir/x\\x0ASIMULATOR::MAIN()-GOOD EXIT\\x1B[2K.txt: "
            "No such file or directory\n",
            ::testing::internal::GetCapturedStderr());
}

// A file that stops taking writes part-way (here the file-size limit, in
// place of a full disk) is reported once, however many writes fail after
// the first; a file with room is not reported.
TEST(TraceFileKorvanTest, AWriteThatFailsIsReportedOnce) {
  TinyPVModel pv;
  std::string path = ::testing::TempDir() + "korvan_trace_cut_short.txt";
  auto traceWithLimit = [&](rlim_t bytes, int batches) {
    ::testing::internal::CaptureStderr();
    {
      FileSizeLimit limit(bytes);
      TraceFileContainer traces;
      TraceFileKorvan* writer = new TraceFileKorvan(path.c_str());
      traces.AddTraceFile(writer);
      traces.addPVModel(&pv);
      traces.printHeader();
      for (int batch = 0; batch < batches; batch++) traces.newBatch();
      traces.printFooter();
      delete writer;
    }
    return ::testing::internal::GetCapturedStderr();
  };
  const std::string report = "!! Error writing trace file " + path + ": File too large; the trace ends there\n";
  // The limit leaves room for the captured report itself; the trace of
  // 2000 batches (44 kB) is cut at the limit.
  EXPECT_EQ(traceWithLimit(1000, 2000), report);
  EXPECT_EQ(ReadFile(path).size(), 1000u);
  // Room enough: nothing to report.
  EXPECT_EQ(traceWithLimit(1 << 20, 3), "");
  std::remove(path.c_str());
  // The report shows the name's control characters escaped, as the
  // report of a file that cannot be created does.
  const std::string tabbed = ::testing::TempDir() + "korvan\ttrace.txt";
  path = tabbed;
  EXPECT_EQ(traceWithLimit(1000, 2000), "!! Error writing trace file " + ::testing::TempDir() +
                                            "korvan\\x09trace.txt: File too large; the trace ends there\n");
  std::remove(tabbed.c_str());
}

// A trace that stopped taking writes ends where it was cut, also when room
// comes back before the run ends (a full disk cleared meanwhile): what the
// stream still held of the failed write is not written after that end.
TEST(TraceFileKorvanTest, ATraceCutShortStaysCutWhenRoomComesBack) {
  TinyPVModel pv;
  const std::string path = ::testing::TempDir() + "korvan_trace_room_back.txt";
  ::testing::internal::CaptureStderr();
  {
    TraceFileContainer traces;
    TraceFileKorvan* writer = new TraceFileKorvan(path.c_str());
    traces.AddTraceFile(writer);
    traces.addPVModel(&pv);
    {
      FileSizeLimit limit(1000);
      traces.printHeader();
      for (int batch = 0; batch < 2000; batch++) traces.newBatch();
    }
    for (int batch = 0; batch < 3; batch++) traces.newBatch();
    traces.printFooter();
    delete writer;
  }
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "!! Error writing trace file " + path + ": File too large; the trace ends there\n");
  std::string whole = kHeader;
  for (int batch = 0; batch < 2000; batch++) whole += "##### NEW BATCH #####\n";
  EXPECT_EQ(ReadFile(path), whole.substr(0, 1000));
  std::remove(path.c_str());
}

TEST(TraceFileKorvanTest, TroutFollowsTheLatestWriterAndNeverDangles) {
  EXPECT_EQ(&std::cout, trout);
  std::ostringstream first;
  {
    TraceFileKorvan writer(&first);
    EXPECT_EQ(&first, trout);
    TraceFileKorvan noStream;  // nothing to offer: trout is kept, writes dropped
    EXPECT_EQ(&first, trout);
    noStream.printHeader(nullptr);
  }
  EXPECT_EQ(&std::cout, trout);
}

TEST(TraceFileKorvanTest, GeneratedModelStateAndFirings) {
  generatedmodel::GeneratedModel model;
  std::ostringstream s;
  TraceFileKorvan writer(&s);
  writer.setTraceLevel(2);
  TraceFileContainer traces;
  traces.AddTraceFile(&writer);
  traces.addPVModel(model.pv);
  traces.printHeader();
  traces.printInitialState();
  traces.newBatch();
  BaseActionClass* bitErrorGroup = model.ram->groups[2];
  BaseActionClass* bitErrorCase2 = model.ram->actions[4];
  BaseActionClass* powerCycle = model.flash->actions[3];
  traces.printFireAction(bitErrorGroup, 0.5);
  traces.printPreFireAction(bitErrorGroup);
  traces.printPostFireAction(bitErrorGroup, bitErrorCase2);
  writer.setTraceLevel(1);
  traces.printFireAction(powerCycle, 0.03125);
  traces.printPreFireAction(powerCycle);
  traces.printPostFireAction(powerCycle, powerCycle);
  writer.setTraceLevel(2);
  traces.printPreFireAction(model.ram->actions[0]);
  traces.printPostFireAction(powerCycle, powerCycle);
  traces.printFooter();
  const char* expected =
      "Initial Model State:\n"
      "  Model: ({J})Join\n"
      "  Model: ({R})ram_system\n"
      "    flash_corrupted = 0\n"
      "    ram_working = 1\n"
      "    ram_corrupted = 0\n"
      "    system_failed = 0\n"
      "  Model: ({F})redundant_flash_system\n"
      "    flash_corrupted = 0\n"
      "    replicas_available = 1\n"
      "##### NEW BATCH #####\n"
      "#### Firing: 0.5  Action: ({R})ram_system->bit_errorGroup\n"
      "Enabling state before action firing:\n"
      "  ram_working = 1\n"
      "#### After: ({R})bit_errorGroup->bit_error_case2\n"
      "Affected state after firing: \n"
      "  ram_working = 1\n"
      "  ram_corrupted = 0\n"
      "#### Firing: 0.03125  Action: ({F})redundant_flash_system->power_cycle\n"
      "#### After: ({F})power_cycle->power_cycle\n"
      "Enabling state before action firing:\n"
      "  flash_corrupted = 0\n"
      "  ram_corrupted = 0\n"
      "  system_failed = 0\n"
      "#### After: ({F})power_cycle->power_cycle\n"
      "Affected state after firing: \n"
      "  replicas_available = 1\n"
      "  flash_corrupted = 0\n";
  EXPECT_EQ(std::string(kHeader) + Fill(expected, model.Ids()), s.str());
}

}  // namespace

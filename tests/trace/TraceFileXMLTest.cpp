#include "trace/TraceFileXML.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/trace/GeneratedModel.h"
#include "tests/trace/TinyModel.h"
#include "tests/trace/XmlCheck.h"
#include "trace/TraceFileContainer.h"

namespace {

using tinymodel::Fill;
using tinymodel::Ids;
using tinymodel::TinyPVModel;

const char kPreamble[] =
    "<?xml version=\"1.0\" encoding=\"utf-8\" ?>\n"
    "<!DOCTYPE Trace\n"
    "  SYSTEM \"http://korvan.invalid/dtd/KorvanTrace.dtd\">\n"
    "<Trace model=\"Example_Korvan\" generator=\"manually_generated\" >\n"
    "<Comment> Purpose of this trace: demonstration </Comment>\n"
    "<!-- TESTING declaration of processes -->\n"
    "<!-- Trace file of model Example_Korvan -->\n";

// The shared place is declared once, by the Join, and every touch of it names
// the Join; the prefixed place keeps its prefix in its id and name.
const char kTinyDeclarations[] =
    "<Process id=\"p{J}\" name=\"Join\" >\n"
    "<Var id=\"p{J}level\" name=\"level\" />\n"
    "<Process id=\"p{P}\" name=\"pump{P}\" >\n"
    "<Var id=\"p{P}running\" name=\"running\" />\n"
    "</Process>\n"
    "<Process id=\"p{T}\" name=\"tank{T}\" >\n"
    "<Var id=\"p{T}tank.valve\" name=\"tank.valve\" />\n"
    "</Process>\n"
    "</Process>\n"
    "<Interactions>\n"
    "<Undiraction id=\"a{start}\" name=\"start\">\n"
    "<Touch>p{P}</Touch></Undiraction>\n"
    "<Undiraction id=\"a{pump1}\" name=\"pump_case1\">\n"
    "<Touch>p{J}</Touch></Undiraction>\n"
    "<Undiraction id=\"a{pump2}\" name=\"pump_case2\">\n"
    "<Touch>p{P}</Touch><Touch>p{J}</Touch></Undiraction>\n"
    "<Undiraction id=\"a{drain}\" name=\"drain\">\n"
    "<Touch>p{J}</Touch><Touch>p{T}</Touch></Undiraction>\n"
    "</Interactions>\n"
    "<!-- process sequence -->\n"
    "<Sequence type=\"StateActionType\">\n";

TEST(TraceFileXMLTest, HeaderRecordsOfTheFirstBatchAndClosingOnTheSecond) {
  TinyPVModel pv;
  auto* pump = pv.join->pump;
  std::ostringstream s;
  TraceFileXML writer(&s);
  writer.setTraceLevel(0);  // never consulted
  writer.printHeader(&pv);
  // Before the first batch nothing is recorded.
  writer.printInitialState(pv.join);
  writer.printPostFireAction(pump->pumpGroup, pump->pump2);
  const std::string header = std::string(kPreamble) + Fill(kTinyDeclarations, Ids(pv.join));
  EXPECT_EQ(header, s.str());
  EXPECT_EQ(pv.join->modelId, pv.join->parentId);
  EXPECT_EQ(pv.join->modelId, pump->parentId);
  EXPECT_EQ(pv.join->modelId, pv.join->tank->parentId);

  writer.newBatch();
  writer.printHeader(&pv);  // the header is written only once
  writer.printInitialState(pv.join);
  pump->running->setMark(0);
  pv.join->level->setMark(4);
  writer.printFireAction(pump->pumpGroup, 2.5);
  writer.printPreFireAction(pump->pumpGroup);
  writer.printState(&pv);
  writer.printFooter();
  writer.printPostFireAction(pump->pumpGroup, pump->pump2);
  writer.printState(static_cast<BaseModelClass*>(pump));
  writer.newBatch();
  writer.newBatch();
  writer.printInitialState(pv.join);
  writer.printPostFireAction(pump->pumpGroup, pump->pump2);
  writer.printHeader(&pv);

  EXPECT_EQ(header + Fill("<S>\n"
                          "<V id=\"p{J}level\" val=\"3\" />\n"
                          "<V id=\"p{P}running\" val=\"1\" />\n"
                          "<V id=\"p{T}tank.valve\" val=\"1\" />\n"
                          "</S>\n"
                          "<A id=\"a{pumpGroup}\" t=\"2.5\">\n"
                          "  <V id=\"p{P}running\"  val=\"0\" />\n"
                          "  <V id=\"p{J}level\"  val=\"4\" />\n"
                          "</A>\n"
                          "<V id=\"p{P}running\" val=\"0\" />\n"
                          "</Sequence>\n"
                          "</Trace>\n",
                          Ids(pv.join)),
            s.str());
  EXPECT_EQ("", xmlcheck::Check(s.str()));
}

TEST(TraceFileXMLTest, SingleBatchLeavesTheDocumentOpen) {
  TinyPVModel pv;
  std::ostringstream s;
  TraceFileXML writer(&s);
  TraceFileContainer traces;
  traces.AddTraceFile(&writer);
  traces.addPVModel(&pv);
  traces.printHeader();
  traces.newBatch();
  traces.printFooter();
  EXPECT_EQ(std::string(kPreamble) + Fill(kTinyDeclarations, Ids(pv.join)), s.str());
  EXPECT_EQ("element <Sequence> not closed", xmlcheck::Check(s.str()));
  traces.newBatch();
  EXPECT_EQ("", xmlcheck::Check(s.str()));
}

TEST(TraceFileXMLTest, UsedStateNamesAreKeyedOnTheParentId) {
  std::ostringstream s;
  TraceFileXML writer(&s);
  EXPECT_TRUE(writer.addUsedStateName("x", 2, 2));
  EXPECT_FALSE(writer.addUsedStateName("x", 2, 3));  // enclosed by model 2
  EXPECT_FALSE(writer.addUsedStateName("x", 5, 6));
  EXPECT_TRUE(writer.addUsedStateName("x", 1, 4));  // a process outside model 2
  EXPECT_TRUE(writer.addUsedStateName("y", 9, 9));
  EXPECT_EQ("", s.str());
}

TEST(TraceFileXMLTest, NamesAreEscapedAndTheFileIsOwned) {
  TinyPVModel pv;
  pv.join->tank->DefineName("tank<&>\"");
  pv.join->tank->drain->defineName("drain & refill");
  const std::string path = ::testing::TempDir() + "korvan_trace_escaped.xml";
  TraceFileXML* writer = new TraceFileXML(path.c_str());
  writer->printHeader(&pv);
  writer->newBatch();
  writer->newBatch();
  delete writer;
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  std::string doc = content.str();
  EXPECT_NE(std::string::npos, doc.find("name=\"tank&lt;&amp;&gt;&quot;" +
                                        std::to_string(pv.join->tank->modelId) + "\" >\n"));
  EXPECT_NE(std::string::npos, doc.find("name=\"drain &amp; refill\">\n"));
  EXPECT_EQ("", xmlcheck::Check(doc));
  std::remove(path.c_str());
}

// Names from a model are not bound to XML's characters: a control character,
// a tab or line end, or a name in a single-byte encoding still gives a
// well-formed document, and a valid UTF-8 name is written unchanged.
TEST(TraceFileXMLTest, NamesOfAnyBytesKeepTheDocumentWellFormed) {
  TinyPVModel pv;
  pv.join->tank->DefineName("Z\xe4hler\x01");
  pv.join->tank->drain->defineName("drain\tnow\n");
  pv.join->tank->valve->SetPrefix("v\xc3\xa4lve \xe2\x82\xac \xed\xa0\x80");
  std::ostringstream s;
  TraceFileXML writer(&s);
  writer.printHeader(&pv);
  writer.newBatch();
  writer.printInitialState(pv.join);
  writer.printFireAction(pv.join->tank->drain, 1.0);
  writer.printPostFireAction(pv.join->tank->drain, pv.join->tank->drain);
  writer.newBatch();
  const std::string doc = s.str();
  EXPECT_EQ("", xmlcheck::Check(doc));
  const std::string tank = std::to_string(pv.join->tank->modelId);
  EXPECT_NE(std::string::npos, doc.find("name=\"Z&#xE4;hler&#x2401;" + tank + "\" >\n"));
  EXPECT_NE(std::string::npos, doc.find("name=\"drain&#x9;now&#xA;\">\n"));
  EXPECT_NE(std::string::npos,
            doc.find("<V id=\"p" + tank + "v\xc3\xa4lve \xe2\x82\xac &#xED;&#xA0;&#x80;.valve\""));
}

// The flash_corrupted place shared by the two atomic models is declared once,
// by the Join, and every action that writes it touches the Join's process.
TEST(TraceFileXMLTest, GeneratedModelDeclarationsAndFirstBatch) {
  generatedmodel::GeneratedModel model;
  std::ostringstream s;
  TraceFileXML writer(&s);
  TraceFileContainer traces;
  traces.AddTraceFile(&writer);
  traces.addPVModel(model.pv);
  traces.printHeader();
  traces.newBatch();
  traces.printInitialState();
  BaseActionClass* sefi = model.flash->actions[2];
  traces.printFireAction(sefi, 17.25);
  traces.printPostFireAction(sefi, sefi);
  traces.newBatch();
  traces.newBatch();
  traces.printFooter();
  EXPECT_EQ(std::string(kPreamble) +
                Fill("<Process id=\"p{J}\" name=\"Join\" >\n"
                     "<Var id=\"p{J}flash_corrupted\" name=\"flash_corrupted\" />\n"
                     "<Process id=\"p{R}\" name=\"ram_system{R}\" >\n"
                     "<Var id=\"p{R}ram_working\" name=\"ram_working\" />\n"
                     "<Var id=\"p{R}ram_corrupted\" name=\"ram_corrupted\" />\n"
                     "<Var id=\"p{R}system_failed\" name=\"system_failed\" />\n"
                     "</Process>\n"
                     "<Process id=\"p{F}\" name=\"redundant_flash_system{F}\" >\n"
                     "<Var id=\"p{F}replicas_available\" name=\"replicas_available\" />\n"
                     "</Process>\n"
                     "</Process>\n"
                     "<Interactions>\n"
                     "<Undiraction id=\"a{r0}\" name=\"failure\">\n"
                     "<Touch>p{R}</Touch></Undiraction>\n"
                     "<Undiraction id=\"a{r1}\" name=\"watchdog_reboot\">\n"
                     "<Touch>p{R}</Touch></Undiraction>\n"
                     "<Undiraction id=\"a{r2}\" name=\"random_failure\">\n"
                     "<Touch>p{R}</Touch></Undiraction>\n"
                     "<Undiraction id=\"a{r3}\" name=\"bit_error_case1\">\n"
                     "<Touch>p{R}</Touch></Undiraction>\n"
                     "<Undiraction id=\"a{r4}\" name=\"bit_error_case2\">\n"
                     "<Touch>p{R}</Touch></Undiraction>\n"
                     "<Undiraction id=\"a{r5}\" name=\"page_error_case1\">\n"
                     "<Touch>p{R}</Touch></Undiraction>\n"
                     "<Undiraction id=\"a{r6}\" name=\"page_error_case2\">\n"
                     "<Touch>p{R}</Touch></Undiraction>\n"
                     "<Undiraction id=\"a{f0}\" name=\"seu_case1\">\n"
                     "<Touch>p{F}</Touch></Undiraction>\n"
                     "<Undiraction id=\"a{f1}\" name=\"seu_case2\">\n"
                     "<Touch>p{F}</Touch><Touch>p{J}</Touch></Undiraction>\n"
                     "<Undiraction id=\"a{f2}\" name=\"sefi\">\n"
                     "<Touch>p{F}</Touch><Touch>p{J}</Touch></Undiraction>\n"
                     "<Undiraction id=\"a{f3}\" name=\"power_cycle\">\n"
                     "<Touch>p{F}</Touch><Touch>p{J}</Touch></Undiraction>\n"
                     "</Interactions>\n"
                     "<!-- process sequence -->\n"
                     "<Sequence type=\"StateActionType\">\n"
                     "<S>\n"
                     "<V id=\"p{J}flash_corrupted\" val=\"0\" />\n"
                     "<V id=\"p{R}ram_working\" val=\"1\" />\n"
                     "<V id=\"p{R}ram_corrupted\" val=\"0\" />\n"
                     "<V id=\"p{R}system_failed\" val=\"0\" />\n"
                     "<V id=\"p{F}replicas_available\" val=\"1\" />\n"
                     "</S>\n"
                     "<A id=\"a{f2}\" t=\"17.25\">\n"
                     "  <V id=\"p{F}replicas_available\"  val=\"1\" />\n"
                     "  <V id=\"p{J}flash_corrupted\"  val=\"0\" />\n"
                     "</A>\n"
                     "</Sequence>\n"
                     "</Trace>\n",
                     model.Ids()),
            s.str());
  EXPECT_EQ("", xmlcheck::Check(s.str()));
}

TEST(TraceFileXMLTest, CheckerCatchesMalformedDocuments) {
  EXPECT_EQ("", xmlcheck::Check("<?xml version=\"1.0\" ?>\n<!-- c -->\n<a x='1'><b/>t&amp;</a>\n"));
  EXPECT_EQ("", xmlcheck::Check("<a x=\"&#x9;&#10;\">\xc3\xa4\xf0\x9f\x98\x80</a>"));
  for (const char* bad : {"<a><b></a></b>", "<a x=1></a>", "<a x=\"1\" x=\"2\"></a>",
                          "<a>&bogus;</a>", "<a></a><b></b>", "<a x=\"<\"></a>", "<a>",
                          "<a>\x01</a>", "<a>\xe4</a>", "<a>\xc0\xaf</a>", "<a>\xed\xa0\x80</a>",
                          "<a>\xef\xbf\xbe</a>", "<a>&#xZ;</a>"}) {
    EXPECT_NE("", xmlcheck::Check(bad)) << bad;
  }
}

}  // namespace

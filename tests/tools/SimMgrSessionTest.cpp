#include "tools/SimMgrSession.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "tests/tools/FakeSimulator.h"

namespace {

// The child announces the fake's port and keeps its process id (exec); the
// fake greets with the id it is told.
std::vector<std::string> Announce(int port) {
  return {"-c", "echo 'REGISTER:  Port: [" + std::to_string(port) + "]'; exec sleep 30"};
}

TEST(SimMgrSessionTest, LinksUpWithTheChildItStarted) {
  SimMgrSession session;
  FakeSimulator fake([&session](KorvanSocket& c) {
    // The child was started before the manager connected.
    const uint32_t pid = static_cast<uint32_t>(session.Process().Pid());
    FakeSimulator::Send(c, Reply(0xFF, 1, pid));
    if (FakeSimulator::ReadCommand(c) == 1) FakeSimulator::Send(c, Reply(0xFF, 1, pid));
  });
  ASSERT_TRUE(session.Open("/bin/sh", Announce(fake.port), 10000)) << session.Error();
  EXPECT_EQ(fake.port, session.Port());
  const unsigned long pid = static_cast<unsigned long>(session.Process().Pid());
  ASSERT_TRUE(session.Connection().SendCommand(1));
  EXPECT_TRUE(session.Connection().ReadReply(1, pid, 5000)) << session.Connection().Error();
  fake.Finish();
  session.Process().Kill();
}

TEST(SimMgrSessionTest, AGreetingFromAnotherProcessIsRefused) {
  SimMgrSession session;
  FakeSimulator fake([&session](KorvanSocket& c) {
    FakeSimulator::Send(c, Reply(0xFF, 1, static_cast<uint32_t>(session.Process().Pid()) + 1));
  });
  EXPECT_FALSE(session.Open("/bin/sh", Announce(fake.port), 10000));
  EXPECT_NE(std::string::npos, session.Error().find("greeting")) << session.Error();
  EXPECT_TRUE(session.Process().Running());
}

TEST(SimMgrSessionTest, AChildThatNeverAnnouncesAPortFailsTheSession) {
  SimMgrSession session;
  EXPECT_FALSE(session.Open("/bin/sh", {"-c", "echo starting; exit 1"}, 5000));
  EXPECT_NE(std::string::npos, session.Error().find("no port announcement")) << session.Error();
  EXPECT_TRUE(session.Process().Wait(5000));
  EXPECT_EQ(1, session.Process().ExitStatus());
  EXPECT_EQ("starting\n", session.Process().Output());
}

}  // namespace

#ifndef TESTS_SIMULATOR_TEST_SIMULATOR_H
#define TESTS_SIMULATOR_TEST_SIMULATOR_H

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "simulator/SimulatorClass.h"

// A simulator built from a small command line, with its output side set up
// and released at the end of the test.
class TestSimulator {
 public:
  explicit TestSimulator(std::vector<std::string> args) {
    args.insert(args.begin(), "simulator");
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    testing::internal::CaptureStdout();  // the option echoes
    sim_ = std::make_unique<SimulatorClass>(static_cast<int>(argv.size()), argv.data());
    testing::internal::GetCapturedStdout();
    sim_->CreatePacketQueues();
  }
  ~TestSimulator() { sim_->DestroyOutput(); }
  SimulatorClass* operator->() { return sim_.get(); }
  SimulatorClass& operator*() { return *sim_; }
  SimulatorClass* get() { return sim_.get(); }

 private:
  std::unique_ptr<SimulatorClass> sim_;
};

#endif

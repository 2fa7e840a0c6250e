#include "tests/support/RunProgram.h"

#include <chrono>

#include "tools/SimulatorProcess.h"

ProgramResult RunProgram(const std::string& program, const std::vector<std::string>& arguments,
                         double timeoutSeconds, const std::string& directory) {
  return RunProgramAndSignal(program, arguments, -1.0, 0, 0, timeoutSeconds, directory);
}

ProgramResult RunProgramAndSignal(const std::string& program,
                                  const std::vector<std::string>& arguments,
                                  double signalAfterSeconds, int signalNumber, int count,
                                  double timeoutSeconds, const std::string& directory) {
  using Clock = std::chrono::steady_clock;
  auto Milliseconds = [](Clock::duration d) {
    return static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
  };
  ProgramResult result;
  SimulatorProcess process;
  process.SetWorkingDirectory(directory);
  if (!process.Start(program, arguments)) {
    result.err = process.Error();
    return result;
  }
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(static_cast<long>(timeoutSeconds * 1000));
  Clock::time_point nextSignal =
      Clock::now() + std::chrono::milliseconds(static_cast<long>(signalAfterSeconds * 1000));
  int signalsLeft = signalAfterSeconds >= 0 ? count : 0;
  bool ended = false;
  while (!ended && Clock::now() < deadline) {
    Clock::time_point until = signalsLeft > 0 && nextSignal < deadline ? nextSignal : deadline;
    int wait = Milliseconds(until - Clock::now());
    ended = process.Wait(wait > 0 ? wait : 0);
    if (!ended && signalsLeft > 0 && Clock::now() >= nextSignal) {
      process.Signal(signalNumber);
      signalsLeft--;
      nextSignal = Clock::now() + std::chrono::milliseconds(50);
    }
  }
  if (!ended) {
    result.timedOut = true;
    process.Kill();
  }
  result.exitCode = process.ExitStatus();
  result.out = process.Output();
  result.err = process.ErrorOutput();
  return result;
}

ProgramResult RunSimulator(const std::vector<std::string>& arguments, double timeoutSeconds,
                           const std::string& directory) {
  return RunProgram(KORVAN_SIMULATOR_PATH, arguments, timeoutSeconds, directory);
}

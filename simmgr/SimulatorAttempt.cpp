#include "simmgr/SimulatorAttempt.h"

const char* SimulatorAttempt::EndingName(Ending ending) {
  switch (ending) {
    case kRunning: return "running";
    case kDone: return "complete";
    case kInterrupted: return "interrupted";
    case kKilled: return "killed";
    case kExited: return "exited";
    case kTimedOut: return "timeout";
    case kProtocol: return "protocol";
    case kLink: return "link";
    case kNotStarted: return "start";
  }
  return "?";
}

bool SimulatorAttempt::Retryable(Ending ending) {
  // A program that cannot be started at all (missing, not executable) will
  // not start on a second try either.
  return ending == kKilled || ending == kExited || ending == kTimedOut || ending == kProtocol ||
         ending == kLink;
}

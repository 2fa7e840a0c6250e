#ifndef SIMULATOR_PROCESS_H
#define SIMULATOR_PROCESS_H

#include <string>
#include <sys/types.h>
#include <vector>

// A simulator run as a child process, its standard output and standard error
// captured through pipes. What the child prints is kept (Output,
// ErrorOutput): everything, or with SetOutputLimit only the last bytes;
// standard output can also be consumed line by line. Every wait is bounded
// by a timeout.
//
// Owns the child: a child still running when the object is destroyed is
// killed and reaped. Used by one thread at a time.
class SimulatorProcess {
 public:
  SimulatorProcess();
  ~SimulatorProcess();

  SimulatorProcess(const SimulatorProcess&) = delete;
  SimulatorProcess& operator=(const SimulatorProcess&) = delete;

  // Starts `path` with `arguments` (not including the program name), with
  // standard input from /dev/null. REQUIRES: no child is running.
  bool Start(const std::string& path, const std::vector<std::string>& arguments);

  // With `own` set before Start, the child leads a process group of its own:
  // a Ctrl-C at the terminal then reaches only the parent, which can stop
  // its children in order, and Kill and Signal reach everything the child
  // started (a launcher's shell and the simulator under it). When the child
  // ends, whatever is left in its group is killed as it is reaped.
  void SetOwnProcessGroup(bool own) { ownGroup = own; }

  // With a folder set before Start, the child starts in it (empty: the
  // parent's current folder).
  void SetWorkingDirectory(const std::string& folder) { workingDirectory = folder; }

  // With a limit (bytes, 0: none) each captured stream keeps at least its
  // last `limit` bytes and at most twice that; older text is dropped, lines
  // not yet read by ReadLine included. A child that floods its output then
  // costs bounded memory.
  void SetOutputLimit(size_t limit) { outputLimit = limit; }

  // The read ends of the child's standard output and standard error, for a
  // caller that waits on many children at once; -1 once closed.
  int OutputFd() const { return outPipe; }
  int ErrorFd() const { return errPipe; }
  // Moves what the pipes hold now into the captured text without waiting;
  // at most a few hundred kilobytes per pipe and call, so that a child
  // writing without pause cannot keep the caller here.
  void Pump();
  // Reaps the child if it has ended, without waiting; true once it has.
  bool PollEnded();
  // Without reaping: whether any process of the child's group (with
  // SetOwnProcessGroup; else the child itself) still runs. A launcher's
  // shell may end at once on SIGTERM while the launcher under it is still
  // cleaning up.
  bool GroupRunning() const;
  // Sends `signal` to the child (its group with SetOwnProcessGroup) while
  // it runs.
  void Signal(int signal);

  // The next complete line of standard output, without its line end. False
  // when none arrived within `timeoutMs` or the output ended; a last line
  // without a line end is returned once the output has ended.
  bool ReadLine(std::string& line, int timeoutMs);

  // Reads lines until the "REGISTER:  Port: [<port>]" announcement and
  // returns the port; -1 when it does not come within `timeoutMs`, the
  // output ends first, or the port is not a number from 1 to 65535.
  int WaitForPort(int timeoutMs);

  // The port of a "REGISTER:  Port: [<port>]" line; 0 for a line that is
  // no announcement, -1 for one whose port is not a number from 1 to 65535.
  static int PortFromAnnouncement(const std::string& line);

  // Waits up to `timeoutMs` for the child to end, collecting its output
  // meanwhile. True once it has ended; ExitStatus tells how.
  bool Wait(int timeoutMs);

  // Ends the child with SIGKILL and reaps it (nothing when it has ended).
  void Kill();

  pid_t Pid() const { return pid; }
  bool Running() const { return pid > 0 && !ended; }
  // The exit status of an ended child, or 128 + the signal that ended it;
  // -1 while it runs.
  int ExitStatus() const { return exitStatus; }

  const std::string& Output() const { return output; }
  const std::string& ErrorOutput() const { return errorOutput; }
  const std::string& Error() const { return error; }
  // The errno of a Start that failed (EMFILE, EAGAIN, ENOENT, ...); 0 after
  // one that succeeded.
  int StartErrno() const { return startErrno; }

 private:
  // Moves what the pipes hold into the captured text, waiting up to
  // `timeoutMs` for something to arrive. False when both pipes are closed.
  bool Collect(int timeoutMs);
  // Reaps the child if it has ended, without waiting.
  bool Reap(bool block);
  void ClosePipes();
  // Reads what a pipe holds into `text` (see Pump), then applies the limit;
  // true when it stopped at its bound.
  bool Drain(int& fd, std::string& text, bool isOutput);
  void DrainAfterEnd();

  pid_t pid;
  bool ownGroup = false;
  std::string workingDirectory;
  size_t outputLimit = 0;
  bool ended;
  int exitStatus;
  int outPipe;  // read ends; -1 once closed
  int errPipe;
  std::string output;
  std::string errorOutput;
  // Position in `output` of the first character ReadLine has not returned.
  size_t lineStart;
  std::string error;
  int startErrno = 0;
};

#endif

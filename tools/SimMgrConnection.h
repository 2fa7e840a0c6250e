#ifndef SIM_MGR_CONNECTION_H
#define SIM_MGR_CONNECTION_H

#include <deque>
#include <string>

#include "tools/SimMgrMessage.h"

class Deadline;
class KorvanSocket;

// The manager's end of one connection to a simulator: connects, checks the
// greeting, sends commands and reads replies and records. Every read has a
// deadline; a peer that closes, stalls or sends something that is no
// message ends the read with false and a description in Error().
//
// Owns its socket. Used by one thread at a time.
class SimMgrConnection {
 public:
  // Largest length field accepted for a data record.
  static constexpr uint32_t kMaxRecordLength = 256u * 1024 * 1024;

  SimMgrConnection();
  ~SimMgrConnection();

  SimMgrConnection(const SimMgrConnection&) = delete;
  SimMgrConnection& operator=(const SimMgrConnection&) = delete;

  // Connects to `host` (IPv4) on `port`, trying again while the connection
  // is refused, until `timeoutMs` has passed.
  bool Connect(const char* host, int port, int timeoutMs);

  // Reads the greeting and checks it: length 10, 0xFF, 1 and `expectedPid`.
  bool ReadGreeting(unsigned long expectedPid, int timeoutMs);

  // Sends one command byte (1 status, 2 quit, 3 file; see SendFileCommand).
  bool SendCommand(unsigned char command);
  // Sends command 3 followed by `text` ("<file>;<batches>;;").
  bool SendFileCommand(const std::string& text);

  // Reads messages until the reply to `command` arrives and checks it (0xFF
  // for commands 1 and 3, 0xFE for 2, and `expectedPid`). Records that
  // arrive first are kept and returned by later ReadMessage calls.
  bool ReadReply(unsigned char command, unsigned long expectedPid, int timeoutMs);

  // Reads the next message (kept records first).
  bool ReadMessage(SimMgrMessage& message, int timeoutMs);

  // Waits until the simulator closes the connection, discarding what it
  // still sends; false when it is still open at the deadline.
  bool WaitForClose(int timeoutMs);

  void Close();
  bool IsConnected() const;
  const std::string& Error() const { return error; }

 private:
  // Reads exactly `n` bytes into `buffer` before the deadline.
  bool ReadExact(unsigned char* buffer, size_t n, const Deadline& deadline);
  bool ReadNextFromSocket(SimMgrMessage& message, const Deadline& deadline);
  bool CheckReply(const SimMgrMessage& message, int marker, int command,
                  unsigned long expectedPid, const char* what);
  bool SendAll(const char* data, int n);

  KorvanSocket* socket;
  std::deque<SimMgrMessage> kept;
  std::string error;
};

#endif

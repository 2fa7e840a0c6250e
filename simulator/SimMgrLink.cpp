// The link to the simulation manager: the listening port, the connection and
// its greeting, and the one-byte commands served at every hand-over.
//
// Messages sent here are 10 bytes: a big-endian length of 10 (the whole
// message), a kind byte, a code byte and the big-endian process id.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <new>

#include "Cpp/BaseClasses/ErrorReporting.h"
#include "platform/KorvanSocket.h"
#include "platform/ProcessServices.h"
#include "simulator/SimulatorClass.h"

namespace {

const int kListenBacklog = 100;
// Longest command-3 text read, its terminator included.
const int kCommandTextSize = 512;
const char kTextTerminator[] = ";;";

const char kCommandHello = 1;
const char kCommandQuit = 2;
const char kCommandFile = 3;

void SendMessage(SimulatorClass* simulator, KorvanSocket* socket, char kind, char code) {
  if (socket == nullptr) return;
  // A failed part sets `status` 2 inside the writers; the later parts are
  // still attempted.
  simulator->OutputInt(socket, nullptr, 10);
  simulator->OutputByte(socket, nullptr, kind);
  simulator->OutputByte(socket, nullptr, code);
  simulator->OutputInt(socket, nullptr, static_cast<int>(static_cast<uint32_t>(KorvanGetPid())));
}

// A decimal number read as atoi reads it (no digits: 0), but saturating at
// the limits of int instead of overflowing.
int ReadLimit(const char* text) {
  const long value = std::strtol(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

char* CopyText(const char* text, size_t length) {
  char* copy = new (std::nothrow) char[length + 1];
  if (copy == nullptr) MemoryAllocationError();
  std::memcpy(copy, text, length);
  copy[length] = '\0';
  return copy;
}

void ReportReadError(SimulatorClass* simulator) {
  std::cout << "Error reading socket 'read'... Exiting." << std::endl;
  simulator->status = 2;
}

}  // namespace

KorvanSocket* SimulatorClass::WaitForSimMgrConnection(int waitMs) {
  delete listenSocket;
  listenSocket = new (std::nothrow) KorvanSocket(true);
  if (listenSocket == nullptr) MemoryAllocationError();
  if (listenSocket->sock == -1) return nullptr;  // reported by the socket layer

  // Ports in use are skipped; the port field ends up holding the bound one.
  while (!listenSocket->Bind(port)) {
    if (port == 65535) {
      std::cerr << "!! No port free to listen on up to 65535" << std::endl;
      return nullptr;
    }
    ++port;
  }
  if (port == 0) {
    // Port 0 lets the system choose: announce the port actually bound.
    sockaddr_in address;
    socklen_t length = sizeof(address);
    if (getsockname(listenSocket->sock, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      port = ntohs(address.sin_port);
    }
  }
  // Listening comes before the announcement: a manager may connect the
  // moment it reads the port, and must not be refused.
  if (!listenSocket->Listen(kListenBacklog)) return nullptr;
  std::cout << "REGISTER:  Port: [" << port << "]" << std::endl;  // flushed

  KorvanSocket* client = new (std::nothrow) KorvanSocket(false);
  if (client == nullptr) MemoryAllocationError();
  bool connected = false;
  for (;;) {
    if (connected) return client;
    // Stopped or interrupted meanwhile, or the wait is over (0 and negatives
    // other than -1 do not wait at all).
    if (status != 0 || SimulatorInterruptSignal != 0 || (waitMs <= 0 && waitMs != -1)) {
      delete client;
      return nullptr;
    }
    const bool timed = waitMs > 0;
    const char* errorBefore = listenSocket->GetErrorString();
    if (listenSocket->Select(acceptPollMs)) {
      if (listenSocket->Accept(*client)) {
        SendMessage(this, client, static_cast<char>(0xFF), 1);
        connected = true;
      }
    }
    // A listening socket that has failed (select or accept reported an
    // error) would fail again at every poll: waiting on would only spin.
    if (!connected && listenSocket->GetErrorString() != errorBefore) {
      delete client;
      return nullptr;
    }
    // A poll of 0 ms still uses up a millisecond, so a timed wait ends.
    if (timed) waitMs -= acceptPollMs > 0 ? acceptPollMs : 1;
  }
}

void SimulatorClass::ListenToSimMgr(KorvanSocket* socket) {
  if (socket == nullptr) return;
  if (!socket->Select(commandPollMs)) {
    if (socket->GetErrorString() != nullptr) {
      std::cout << "Error reading socket 'select'... Exiting." << std::endl;
      status = 2;
    }
    return;
  }
  char command = 0;
  // The socket was readable, so a read of nothing is an error or a manager
  // that closed the connection; either ends the link (the socket would be
  // readable again at every later poll).
  if (socket->RecvBlock(&command, 1) < 1) {
    ReportReadError(this);
    return;
  }

  if (command == kCommandQuit) {
    std::cout << "SOCKET::Quit" << std::endl;
    SendMessage(this, socket, static_cast<char>(0xFE), 2);
    status = 2;
  } else if (command == kCommandFile) {
    char text[kCommandTextSize + 1];
    const int received = socket->RecvBlock(text, kCommandTextSize, kTextTerminator);
    // A text without its terminator was cut short (the manager went away,
    // or sent more than fits): acting on part of a file name would write the
    // results to the wrong file.
    const int terminatorLength = static_cast<int>(sizeof(kTextTerminator) - 1);
    if (received < terminatorLength ||
        std::memcmp(text + received - terminatorLength, kTextTerminator,
                    static_cast<size_t>(terminatorLength)) != 0) {
      ReportReadError(this);
      return;
    }
    // "name;limit;;": the first piece names the file, the second is the
    // batch limit (absent: 0).
    const char* separator = std::strchr(text, ';');
    const size_t nameLength = static_cast<size_t>(separator - text);
    const int limit = ReadLimit(separator + 1);

    SendMessage(this, socket, static_cast<char>(0xFF), 3);
    // A file given on the command line is kept, with its limit.
    if (binFileName == nullptr) {
      binFileName = CopyText(text, nameLength);
      binStream = CreateBinFile(binFileName);
      if (binStream != nullptr) {
        maxBatches = limit;
      } else {
        // Going on alone with nowhere to write would lose every result.
        status = 2;
        exitStatus = 1;
      }
    }
    // The simulator goes on alone, writing to the binary file.
    if (socket == simMgrSocket) {
      delete simMgrSocket;
      simMgrSocket = nullptr;
    } else {
      socket->Close();
    }
  } else if (command == kCommandHello) {
    SendMessage(this, socket, static_cast<char>(0xFF), 1);
  } else {
    std::cerr << "!! Invalid Response Received by Client " << std::endl;
    std::cerr << "!! Simulation" << std::endl;
  }
}

void SimulatorClass::ListenToSimMgrLoop(KorvanSocket* socket) {
  while (status == 0 && socket != nullptr) {
    const bool isLink = socket == simMgrSocket;
    ListenToSimMgr(socket);
    // Command 3 releases the connection: it must not be used again.
    if (isLink ? simMgrSocket != socket : socket->sock == -1) return;
  }
}

int SimulatorClass::SocketThreadFunc() {
  if (status != 0) return 0;
  KorvanSocket* socket = WaitForSimMgrConnection(-1);
  // Null: the run was stopped while waiting, or no port could be listened
  // on; trying again would only repeat the failure.
  if (socket == nullptr) return 0;
  delete simMgrSocket;
  simMgrSocket = socket;
  ListenToSimMgrLoop(socket);
  return 0;
}

int SimulatorClass::StaticSocketThreadFunc(void* simulator) {
  return static_cast<SimulatorClass*>(simulator)->SocketThreadFunc();
}

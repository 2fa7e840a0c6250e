#include "platform/KorvanSocket.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <iostream>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "Cpp/BaseClasses/KorvanAssert.h"

namespace {

long MonotonicMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Waits for `events` on `fd` for at most `timeoutMs` (0: do not wait),
// resuming with the time left after a signal. Returns poll's result and
// leaves the events seen in `revents`.
int PollFor(int fd, short events, int timeoutMs, short& revents) {
  const long deadline = MonotonicMs() + timeoutMs;
  int left = timeoutMs;
  for (;;) {
    pollfd entry = {fd, events, 0};
    const int result = poll(&entry, 1, left);
    if (result >= 0 || errno != EINTR) {
      revents = entry.revents;
      return result;
    }
    const long remaining = deadline - MonotonicMs();
    left = remaining > 0 ? static_cast<int>(remaining) : 0;
  }
}

}  // namespace

KorvanSocket::KorvanSocket(bool create) : sock(-1), errorString(nullptr) {
  InitializeSocketLibrary();
  if (!create) return;
  // Close-on-exec: a manager that starts simulators must not hand its
  // connections down to them.
  sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock == -1) {
    errorString = "error in socket creation";
    std::cerr << errorString << std::endl;
  }
}

KorvanSocket::~KorvanSocket() { Close(); }

void KorvanSocket::Fail(const char* message, long number) {
  errorString = message;
  std::cerr << message << number << std::endl;
}

void KorvanSocket::Close() {
  if (sock == -1) return;
  // A listening socket or one that never got connected has nothing to shut
  // down and reports ENOTCONN; that is the normal end of such a socket, not
  // a fault worth a message at every exit.
  if (shutdown(sock, SHUT_RDWR) == -1 && errno != ENOTCONN) {
    Fail("error in shutdown.  errno=", errno);
  }
  // Not retried on EINTR: Linux releases the descriptor even then, and a
  // retry could close a descriptor another thread just opened.
  close(sock);
  sock = -1;
}

long KorvanSocket::CloseDelivered(int quietMs) {
  if (sock == -1) return 0;
  // Only TCP resets a connection closed with bytes unread (a local stream
  // socket hands what was sent straight to its peer).
  int protocol = 0;
  socklen_t size = sizeof(protocol);
  if (getsockopt(sock, SOL_SOCKET, SO_PROTOCOL, &protocol, &size) != 0 || protocol != IPPROTO_TCP) {
    Close();
    return 0;
  }
  long unacknowledged = 0;
  if (shutdown(sock, SHUT_WR) == 0) {
    long lastSeen = -1;
    long quietSince = MonotonicMs();
    char dropped[4096];
    for (;;) {
      // Whatever the peer sends meanwhile is read and dropped (a bounded
      // amount per look: a peer that sends without end holds nothing); a
      // reset or another failure shows here.
      bool failed = false;
      for (int reads = 0; reads < 64; reads++) {
        const ssize_t n = recv(sock, dropped, sizeof(dropped), MSG_DONTWAIT);
        if (n > 0 || (n == -1 && errno == EINTR)) continue;
        failed = n == -1 && errno != EAGAIN && errno != EWOULDBLOCK;
        break;
      }
      // The count includes the end-of-stream mark once it is queued.
      int queued = 0;
      if (ioctl(sock, SIOCOUTQ, &queued) != 0) queued = 0;
      unacknowledged = queued > 1 ? queued - 1 : 0;
      if (unacknowledged == 0 || failed) break;
      const long now = MonotonicMs();
      if (queued != lastSeen) {
        lastSeen = queued;
        quietSince = now;
      }
      // A peer that closed can still take what is on its way (it may have
      // shut only its own sending side).
      if (now - quietSince >= quietMs) break;
      // Acknowledgements wake no poll: a short pause between looks (a
      // peer's data or its end would wake one at once, for nothing).
      timespec pause = {0, 2000000};
      nanosleep(&pause, nullptr);
    }
  } else {
    // The peer reset the connection (it went away with bytes unread, or
    // bytes came after it had gone): what the system still holds to send
    // never reached it, and must not be reported as delivered.
    int queued = 0;
    if (ioctl(sock, SIOCOUTQ, &queued) == 0 && queued > 0) unacknowledged = queued;
  }
  // Nothing unread is left behind now, unless it arrived this moment.
  close(sock);
  sock = -1;
  return unacknowledged;
}

bool KorvanSocket::Bind(int port) {
  // No SO_REUSEADDR: with it, Linux lets a second socket bind a port that is
  // bound but not yet listening, so two simulators could both believe they
  // own a port. The price is that a port with connections in TIME_WAIT is
  // skipped, which the caller's search for the next free port absorbs.
  if (port < 0 || port > 65535) {
    errorString = "error in bind.  errno=";
    std::cerr << errorString << EINVAL << " (Port=" << port << ")" << std::endl;
    return false;
  }
  sockaddr_in address;
  std::memset(&address, 0, sizeof(address));
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  if (bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) return true;
  const int error = errno;
  if (error == EADDRINUSE) return false;
  errorString = "error in bind.  errno=";
  std::cerr << errorString << error << " (Port=" << port << ")" << std::endl;
  return false;
}

bool KorvanSocket::Listen(int backlog) {
  if (listen(sock, backlog) == 0) return true;
  Fail("error in listen", errno);
  return false;
}

bool KorvanSocket::Accept(KorvanSocket& client) {
  sockaddr_in peer;
  socklen_t peerLength = sizeof(peer);
  int accepted;
  do {
    accepted = accept4(sock, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC);
  } while (accepted == -1 && errno == EINTR);
  if (accepted == -1) {
    errorString = "error in accept: ";
    std::cerr << errorString << std::endl;
    return false;
  }
  client.Close();
  client.sock = accepted;
  return true;
}

bool KorvanSocket::Connect(const char* host, int port) {
  if (host == nullptr || port < 0 || port > 65535) {
    Fail("error in connect: errno=", EINVAL);
    return false;
  }
  addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int lookup = getaddrinfo(host, nullptr, &hints, &found);
  if (lookup != 0 || found == nullptr) {
    // Only a system error carries an errno; otherwise print the lookup code.
    Fail("error in connect: errno=", lookup == EAI_SYSTEM ? errno : lookup);
    if (found != nullptr) freeaddrinfo(found);
    return false;
  }
  sockaddr_in address;
  std::memcpy(&address, found->ai_addr, sizeof(address));
  freeaddrinfo(found);
  address.sin_port = htons(static_cast<uint16_t>(port));

  if (connect(sock, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) return true;
  int error = errno;
  if (error == EINTR) {
    // The connection attempt goes on after a signal and must not be started
    // again; wait for its outcome instead.
    short revents = 0;
    int ready;
    do {
      ready = PollFor(sock, POLLOUT, 60000, revents);
    } while (ready == 0);
    socklen_t length = sizeof(error);
    if (ready > 0 && getsockopt(sock, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) {
      return true;
    }
    if (ready < 0) error = errno;
  }
  Fail("error in connect: errno=", error);
  return false;
}

bool KorvanSocket::Select(int timeoutMs) {
  if (sock == -1) {
    Fail("error in select", EBADF);
    return false;
  }
  short revents = 0;
  const int result = PollFor(sock, POLLIN, timeoutMs > 0 ? timeoutMs : 0, revents);
  if (result == -1) {
    Fail("error in select", errno);
    return false;
  }
  if (result == 0) return false;
  if (revents & POLLNVAL) {
    Fail("error in select", EBADF);
    return false;
  }
  // End of stream and pending errors count as readable, as they do for
  // select: the following receive returns 0 or -1 and the caller sees it.
  return (revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

int KorvanSocket::Send(const char* data, int n) {
  if (n <= 0) return 0;
  int sent = 0;
  while (sent < n) {
    // MSG_NOSIGNAL: a peer that has gone away gives EPIPE here instead of a
    // SIGPIPE that would end the process.
    const ssize_t result = send(sock, data + sent, static_cast<size_t>(n - sent), MSG_NOSIGNAL);
    if (result == -1) {
      if (errno == EINTR) continue;
      return -1;
    }
    sent += static_cast<int>(result);
  }
  return sent;
}

int KorvanSocket::Recv(char* buffer, int n) {
  ssize_t result;
  do {
    result = recv(sock, buffer, n > 0 ? static_cast<size_t>(n) : 0, 0);
  } while (result == -1 && errno == EINTR);
  return static_cast<int>(result);
}

int KorvanSocket::RecvBlock(char* buffer, int n) {
  int received = 0;
  while (received < n) {
    const int result = Recv(buffer + received, n - received);
    if (result <= 0) break;  // closed by the peer, or failed
    received += result;
  }
  return received;
}

int KorvanSocket::RecvBlock(char* buffer, int n, const char* terminator) {
  KORVAN_ASSERT(terminator != nullptr);
  if (n <= 0) return 0;
  const int terminatorLength = static_cast<int>(std::strlen(terminator));
  int received = 0;
  buffer[0] = '\0';
  // One byte per receive: whatever follows the terminator (the next command,
  // or anything else the peer sent in the same packet) stays in the socket,
  // so what is read never depends on how the bytes were cut on the way.
  while (received < n) {
    if (Recv(buffer + received, 1) <= 0) break;  // closed by the peer, or failed
    received++;
    buffer[received] = '\0';
    if (received >= terminatorLength &&
        std::memcmp(buffer + received - terminatorLength, terminator,
                    static_cast<size_t>(terminatorLength)) == 0) {
      break;
    }
  }
  return received;
}

bool KorvanSocket::InitializeSocketLibrary() {
  // Atomic: sockets may be made on several threads at once, each calling
  // this.
  static std::atomic<bool> alreadyInitialized{false};
  // Set before any start-up work, so a failed start-up is not retried. POSIX
  // sockets need no library start-up; SIGPIPE is avoided per send instead of
  // by changing the process's signal disposition.
  alreadyInitialized.store(true);
  return true;
}

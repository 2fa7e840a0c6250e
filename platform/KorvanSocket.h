#ifndef KORVAN_SOCKET_H
#define KORVAN_SOCKET_H

// One TCP/IPv4 stream socket. Errors are printed on standard error (each
// message followed by a line end) and remembered in `errorString`; nothing
// throws. A KorvanSocket owns its descriptor: it is closed by Close() or by
// the destructor, and copying is not allowed.
//
// A KorvanSocket is used by one thread at a time.
class KorvanSocket {
 public:
  // The descriptor; -1 while the object holds no socket.
  int sock;
  // Text of the last error recorded on this socket (static text, never
  // freed); null while none occurred. Once set it is never cleared.
  const char* errorString;

  // With `create`, opens a TCP/IPv4 stream socket ("error in socket creation"
  // on failure). Without it the object stays empty until Accept fills it.
  explicit KorvanSocket(bool create);
  ~KorvanSocket();  // as Close()

  KorvanSocket(const KorvanSocket&) = delete;
  KorvanSocket& operator=(const KorvanSocket&) = delete;

  // Shuts both directions down and closes the descriptor; `sock` becomes -1.
  // A socket that was never connected (a listening socket, or one whose
  // connect failed) is closed without a message.
  void Close();

  // Ends a connected socket so that what was sent reaches the peer: shuts
  // it for writing, then reads and drops whatever the peer still sends
  // until the peer has acknowledged every byte sent, has closed or failed,
  // or `quietMs` milliseconds have passed without a byte acknowledged; then
  // closes it as Close() does. (Closing with bytes from the peer unread
  // would reset the connection, and the peer would lose what had not yet
  // reached it.) Returns the bytes the peer never acknowledged: 0 when all
  // arrived. Prints nothing. A descriptor that is not a TCP socket (a test's
  // local socket pair) is closed at once, as Close() does.
  long CloseDelivered(int quietMs);

  // Binds to every local IPv4 address on `port`. An address already in use
  // gives false without any message; other failures print
  // "error in bind.  errno=<n> (Port=<port>)". The address is not marked for
  // reuse: a port another socket is bound to or listening on is never taken.
  bool Bind(int port);
  bool Listen(int backlog);

  // Accepts one pending connection into `client` (an open descriptor held by
  // `client` is closed first). Blocks until a connection arrives.
  bool Accept(KorvanSocket& client);

  // Resolves `host` (IPv4 only) and connects to its first address on `port`.
  // An unresolvable host is a failure too.
  bool Connect(const char* host, int port);

  // Waits until the socket is readable or `timeoutMs` milliseconds have
  // passed (0: look and return at once). A peer that closed the connection,
  // or an error pending on the socket, makes it readable, so the next Recv
  // reports it. An empty object (sock -1) is an error ("error in select").
  bool Select(int timeoutMs);

  // Sends all `n` bytes (repeating after short sends). Returns n, or -1 when
  // the connection failed; a peer that has gone away never raises SIGPIPE.
  // Prints and records nothing.
  int Send(const char* data, int n);

  // One receive of at most `n` bytes: the byte count, 0 when the peer has
  // closed the connection, -1 on an error. Prints and records nothing.
  int Recv(char* buffer, int n);

  // Receives until `n` bytes have arrived, the peer closes the connection or
  // a receive fails; returns the bytes received. Prints and records nothing.
  int RecvBlock(char* buffer, int n);

  // Receives, appending, until the text received ends with `terminator`,
  // `n` bytes have arrived, the peer closes the connection or a receive
  // fails; returns the bytes received and leaves a NUL after them. Never
  // reads past the terminator: what follows it stays in the socket.
  // REQUIRES: `buffer` holds n + 1 bytes; `terminator` is not null.
  // n <= 0 returns 0 at once without touching the buffer.
  int RecvBlock(char* buffer, int n, const char* terminator);

  const char* GetErrorString() { return errorString; }

  // Prepares the process for sockets once; later calls return true at once.
  // On POSIX there is no library to start, so this only keeps the flag.
  static bool InitializeSocketLibrary();

 private:
  // Records `message` and prints it followed by `number`.
  void Fail(const char* message, long number);
};

#endif

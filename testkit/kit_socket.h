// Plain TCP/UDP sockets for the kit and its tools on POSIX and on Windows:
// handles, waits, errors and a waker that interrupts a wait. The platform's
// socket headers stay in kit_socket.cpp.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace testkit {

// A descriptor on POSIX, a SOCKET on Windows.
typedef intptr_t Socket;
const Socket BAD_SOCKET = -1;

// Starts the platform's socket service once per process (Winsock); always
// true on POSIX.
bool SocketsReady();

// A TCP socket that child processes do not inherit; BAD_SOCKET on failure.
Socket OpenTcpSocket(bool bNonBlocking);
bool SetNonBlocking(Socket s);
void SetNoDelay(Socket s);
void SetReceiveBuffer(Socket s, int nBytes);
void SetSendBuffer(Socket s, int nBytes);
void CloseSocket(Socket s);
// Closes with SO_LINGER {1,0}, so the peer gets a reset instead of a FIN.
void ResetSocket(Socket s);

// Binds to 127.0.0.1:nPort and listens; false with *pError set on failure.
bool ListenLoopback(Socket s, uint16_t nPort, int nBacklog, std::string *pError);
// The same on another local IPv4 address in dotted form.
bool ListenOn(Socket s, const std::string &address, uint16_t nPort, int nBacklog,
              std::string *pError);
// Binds to 127.0.0.1:nPort without listening: connects to the port are
// refused for as long as s stays open. False with *pError set on failure.
bool BindLoopback(Socket s, uint16_t nPort, std::string *pError);
// The bound local port (host order); 0 on failure.
uint16_t BoundPort(Socket s);
// Starts a connect to 127.0.0.1:nPort: 0 when connected at once, EINPROGRESS
// while a non-blocking connect is under way, else the error.
int ConnectLoopback(Socket s, uint16_t nPort);
// The error of a finished non-blocking connect (SO_ERROR), as an errno value.
int ConnectError(Socket s);
// A non-blocking, non-inheritable accepted socket; BAD_SOCKET when none waits.
Socket AcceptSocket(Socket listener);

// One send or receive call: the count, or -1 with the error in LastSocketError().
long SendSome(Socket s, const void *data, size_t n);
long ReceiveSome(Socket s, void *data, size_t n);
// The error of the last failed socket call on this thread, as an errno value
// (EAGAIN for "would block", ECONNRESET, ECONNREFUSED, ETIMEDOUT, EINTR, ...).
int LastSocketError();
std::string SocketErrorText(int nError);

// A wait on several sockets, like poll().
enum : short { WAIT_IN = 1, WAIT_OUT = 2, WAIT_ERR = 4, WAIT_HUP = 8 };
struct SocketWait {
    Socket s;
    short events;  // WAIT_IN, WAIT_OUT
    short revents; // any of the four
};
// Returns the number of entries with events, 0 on time-out (-1: no limit),
// -1 on error.
int WaitSockets(SocketWait *entries, size_t n, int nTimeoutMs);
bool WaitReadable(Socket s, int nTimeoutMs);
bool WaitWritable(Socket s, int nTimeoutMs);

// Wakes a thread that waits on WakeHandle() among its sockets.
class Waker {
public:
    Waker() = default;
    ~Waker() { Close(); }
    Waker(const Waker &) = delete;
    Waker &operator=(const Waker &) = delete;
    bool Open(std::string *pError);
    void Close();
    Socket WakeHandle() const { return m_read; }
    void Wake();
    void Drain();

private:
    Socket m_read = BAD_SOCKET;
    Socket m_write = BAD_SOCKET;
};

} // namespace testkit

// The socket calls of the RTMP connection: stand-ins for the few Windows sockets (WS2_32) calls
// it makes, over blocking IPv4 TCP. A Windows build swaps Sockets.cpp for one that calls
// WSAStartup, inet_addr/gethostbyname, socket, connect, setsockopt, send, recv, closesocket and
// WSAGetLastError.
//
// Every function is safe on any thread; SocketLastError() is per thread, as WSAGetLastError is.
// A failed call sets it and returns false, -1 or kNoSocket; none raises a signal (a send to a
// closed peer fails with EPIPE instead of SIGPIPE, which would end the host process).
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// A socket handle. 0 never names a socket, so that the connection can keep "0 = not connected".
using Socket = int;
constexpr Socket kNoSocket = 0;

// Start-up and clean-up of the socket library, counted like WSAStartup/WSACleanup: every
// successful start-up needs one clean-up. Nothing else here depends on them on this platform.
bool SocketsStartup();
void SocketsCleanup();
// Start-ups not yet cleaned up.
int SocketsStartupCount();

// The IPv4 address of |host|, in network byte order: a dotted address is taken as it stands,
// anything else is looked up by name. Waits at most |timeoutMs| for the lookup; an answer that
// comes later is dropped. False when there is no address in time.
bool ResolveIPv4(const char* host, int timeoutMs, uint32_t* address);

// A new blocking TCP socket over IPv4, or kNoSocket.
Socket SocketCreateTcp();

// Connects |socket| to |address| (network byte order) and |port|, waiting at most |timeoutMs|.
// The socket stays blocking. False on refusal, time-out (ETIMEDOUT) or any other error.
bool SocketConnect(Socket socket, uint32_t address, uint16_t port, int timeoutMs);

// Bounds every later recv (|receiveMs|) and send (|sendMs|) on |socket|; 0 means no bound. A
// recv or send that runs out of time fails with ETIMEDOUT.
bool SocketSetTimeouts(Socket socket, int receiveMs, int sendMs);

// Blocking send and receive: the bytes moved, 0 when the peer has closed (receive) or nothing
// was accepted (send), -1 on error or time-out.
int SocketSend(Socket socket, const void* data, size_t size);
int SocketReceive(Socket socket, void* data, size_t size);

// Sends all |size| bytes within |timeoutMs| for the whole call (0: no bound), however few bytes
// the peer takes at a time. False on error or time-out (ETIMEDOUT); |*sent| tells how many bytes
// went out either way.
bool SocketSendAll(Socket socket, const void* data, size_t size, int timeoutMs, size_t* sent);

void SocketClose(Socket socket);

// The error of the last failed call on this thread (an errno value).
int SocketLastError();

}  // namespace platform

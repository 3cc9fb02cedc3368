// How the program sets up its TCP sockets, written once. Every socket is
// born non-blocking, because one thread serves every connection and a call
// that blocked would stall them all, and close-on-exec, so that no
// connection leaks into a child process. Both flags are set by the call
// that creates the socket, so there is no moment without them and no second
// call that could fail.
#pragma once

#include <netinet/in.h>

#include <cerrno>
#include <cstdint>

namespace zandor {

inline constexpr int kBufferRecepcao = 2048;  // SO_RCVBUF of accepted sockets
// SO_SNDBUF of accepted sockets. A 2048-byte send buffer (Linux makes it
// 4608) behind a 2048-byte ring cannot take one read's worth of MUD output
// for every user: the loop reads the MUD again at once while full reads
// come, so a burst of a few kilobytes lost lines even for users reading at
// full speed. 64 KiB (the kernel doubles it) still bounds what a user who
// never reads can hold, at about 8 MiB for 62 such users.
inline constexpr int kBufferEnvio = 64 * 1024;

// A call on a non-blocking socket that failed with this error is to be
// tried again later: nothing was lost.
inline bool ehBloqueio(int erro) { return erro == EAGAIN || erro == EWOULDBLOCK || erro == EINTR; }

// A new IPv4 TCP socket, non-blocking and close-on-exec; -1 with errno set.
int soqueteTcp();

// Accepts one pending connection of the listening socket `escuta`: the new
// socket is non-blocking and close-on-exec, with the buffer sizes above, and
// `par` holds the peer's address. -1 when none is pending or on an error.
int aceitaSoquete(int escuta, sockaddr_in* par);

// Turns Nagle's algorithm off on a connected TCP socket. The loop already
// gathers each connection's output into one send per pass, so Nagle could
// only hold a small reply back until the peer's delayed acknowledgement,
// up to about 40 ms, whenever a user types while output is flowing. Built
// with ZANDOR_NAGLE (for measurements) it leaves the socket as it is.
void semAtraso(int soquete);

// Sends at once what earlier sends with MSG_MORE left in the socket waiting
// for more (a failure, e.g. on a socket that is not TCP, leaves it as it is).
void empurra(int soquete);

// For a helper thread, where waiting is allowed: waits until `soquete` shows
// one of `eventos`, `vigia` hangs up or shows input (whoever watches it gave
// the wait up), or `fimMs` on relogioMonotonico passes. 0 when ready, else
// ECANCELED, ETIMEDOUT or poll's error.
int aguardaSoquete(int soquete, short eventos, int vigia, uint32_t fimMs);

}  // namespace zandor

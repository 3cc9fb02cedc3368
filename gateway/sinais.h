// The process's signals: SIGPIPE ignored from the start, and SIGTERM,
// SIGINT and SIGHUP ending the gateway as "/terminar" does.
//
// A handler may do almost nothing safely, so it only writes one byte into a
// socket pair; the other end is a connection object of the loop's, and its
// cEvento, an ordinary callback, calls encerraZandor. The object sits on the
// last level, served after every user. Its timer also looks for the byte
// every two seconds, a second way in should the notice ever be missed.
#pragma once

#include "framework/comunica.h"

namespace zandor {

inline constexpr int kNivelSinais = kNivelAvisos;
inline constexpr int kTicksVigiaSinais = 10;  // how often the timer looks: 2 s

// Ignores SIGPIPE, process-wide; start-up does it first of all. Every send
// of the program's own asks for no signal (MSG_NOSIGNAL), but OpenSSL's
// socket BIO writes with write(2): without this a TLS link the MUD reset
// would end the process. Nothing else changes. Idempotent.
void ignoraSigpipe();

// Installs the three handlers (SA_RESTART). Called by start-up just before
// the loop runs, never by harnesses that drive the gateway in-process. False,
// with the signals' default actions left in place, when the pair or the
// object cannot be made.
bool instalaSinais();

}  // namespace zandor

// The bytes of the telnet protocol and of the terminal streams around it,
// for the two decoders that read them: the users' input and the MUD's
// output. Names follow RFC 854 and the ASCII control characters.
#pragma once

namespace zandor::telnet {

// Commands: IAC introduces each one; a doubled IAC is a data byte 255.
inline constexpr unsigned char IAC = 255;
inline constexpr unsigned char DONT = 254;
inline constexpr unsigned char DO = 253;
inline constexpr unsigned char WONT = 252;
inline constexpr unsigned char WILL = 251;
inline constexpr unsigned char SB = 250;  // subnegotiation begins...
inline constexpr unsigned char SE = 240;  // ...and ends, after an IAC

// Options the gateway itself speaks of.
inline constexpr unsigned char kOpcaoEco = 1;
inline constexpr unsigned char kOpcaoSemGA = 3;
inline constexpr unsigned char kOpcaoEstado = 5;
inline constexpr unsigned char kOpcaoMarcaTempo = 6;
inline constexpr unsigned char kOpcaoTipoTerminal = 24;
inline constexpr unsigned char kOpcaoJanela = 31;
inline constexpr unsigned char kOpcaoVelocidade = 32;
inline constexpr unsigned char kOpcaoFluxo = 33;
inline constexpr unsigned char kOpcaoModoLinha = 34;
inline constexpr unsigned char kOpcaoAmbiente = 36;
inline constexpr unsigned char kPedeTipo = 1;  // TERMINAL-TYPE SEND

// Control characters of the text itself.
inline constexpr unsigned char BS = 8;
inline constexpr unsigned char LF = 10;
inline constexpr unsigned char CR = 13;
inline constexpr unsigned char ESC = 27;  // starts a colour escape sequence
inline constexpr unsigned char DEL = 127;

// ESC sequences end at their first ASCII letter.
inline constexpr bool ehLetra(unsigned char b) { return (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z'); }

}  // namespace zandor::telnet

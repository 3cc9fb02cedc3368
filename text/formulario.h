// What a browser sends besides the request line: one cookie out of a Cookie
// field, one field out of a small form body, and the shape of the tokens
// those carry.
//
// Like the request head parser (text/http.h) these keep no state, copy
// nothing and allocate nothing: what they find is a view into the caller's
// bytes. They are strict where a browser never strays and a forger might:
//
//   Cookie: a=1; zandor_assento=Q2x...; b=2      pairs split on ";", blanks
//                                                around each pair ignored
//   convite=q4T_x-9ZzAbCdEfGhIjKlm&x=1           pairs split on "&"
//
// - Names are compared byte for byte, case counting: "Zandor_assento" is
//   another cookie, "xconvite" another field.
// - The first pair with the name wins. A second copy of a cookie comes from
//   another path or domain, which this gateway never sets; a forged second
//   copy at best names another seat, which it has to know anyway.
// - Values are not decoded. What travels in them here is base64url, which
//   needs no escaping; a value holding "%" or "+" is returned as it is and
//   then fails the token check (tokenValido), so a decoder would only widen
//   what gets through.
// - A form body longer than kMaxFormulario, or one holding a control byte
//   or a byte outside ASCII, is refused whole.
#pragma once

#include "text/http.h"

namespace zandor {

inline constexpr int kMaxFormulario = 1024;  // a longer body is refused (413)
inline constexpr int kMinRetoma = 22;        // a resume id: 22 to 64 characters of base64url
inline constexpr int kMaxRetoma = 64;

// The value of the first cookie called exactly `nome` in a Cookie field's
// value, surrounding blanks left out; absent when there is none (or when the
// field itself is absent). A pair without "=" names no cookie.
TTrecho valorCookie(TTrecho campo, const char* nome);

// Result of campoFormulario.
enum ResultadoFormulario : int {
  kFormularioAusente = 0,  // a well-formed body without the field
  kFormularioAchado,       // `valor` holds the field's value
  kFormularioGrande,       // more than kMaxFormulario bytes: 413
  kFormularioMalformado,   // a control byte or a byte above 0x7E: 400
};

// The value of the first field called exactly `nome` in an
// application/x-www-form-urlencoded body of n bytes; a field without "=" has
// an empty value. `valor` (may be null) is set only when found.
int campoFormulario(const char* corpo, int n, const char* nome, TTrecho* valor);

// Whether t holds minimo..maximo characters of A-Za-z0-9_- and nothing else.
bool tokenValido(TTrecho t, int minimo, int maximo);

// A "?retoma=" id: 22 to 64 characters of base64url.
inline bool retomaValida(TTrecho t) { return tokenValido(t, kMinRetoma, kMaxRetoma); }

}  // namespace zandor

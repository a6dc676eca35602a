// Text from outside the program (a device's description or serial number, as the driver gives
// its bytes) as it may be shown anywhere, a terminal, a tooltip or a list, and as exactly as the
// bytes themselves.
//
// Every character that would act rather than show, or show as nothing, is written as an escape:
// C0 and C1 control characters, line and paragraph separators, format characters (Unicode's Cf:
// the bidirectional overrides and isolates U+202A-202E and U+2066-2069, the marks U+200E and
// U+200F, zero-width characters), the other invisible ones, spaces other than the plain space and
// private-use characters. Bytes that are not part of UTF-8 are written as \xHH, and the backslash
// itself as \\, so that no two byte strings are shown alike: what is shown names the bytes, and
// velmor-bridge --device and --serial take it back.
//
//     "new\nline"      a line feed                 \n, \r, \t; other C0 and DEL as \x1b, \x7f
//     "\u202eevil.exe" U+202E, right-to-left override   \u202e (C1 controls too: \u0085)
//     "caf\xe9"        the byte E9, not UTF-8      \xe9 (always a byte 80-FF)
//     "C:\dev"         a backslash                 C:\\dev
//
// Plain text, the accents and scripts of any language included, is shown as it is.
#pragma once

#include <string>
#include <string_view>

namespace shown
{

// The text as shown: valid UTF-8, with the escapes above.
std::string ShownText(std::string_view Bytes);

// Whether Code is written as an escape (\uHHHH, \UHHHHHHHH, or \xHH below 0x80) wherever it is
// shown.
bool IsEscaped(char32_t Code);

// Whether Given names Bytes: it is the shown text of them, or the bytes themselves.
bool Names(std::string_view Given, std::string_view Bytes);

} // namespace shown

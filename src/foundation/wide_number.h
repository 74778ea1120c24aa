// Number reading from wide text with the Windows runtime's rules, on every target.
//
// The JSON reader converts number runs and \u escapes exactly as the Windows C runtime
// does in its default ("C") locale, whose decimal separator is the full stop. These
// functions reproduce those results portably; they keep no state and never throw.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vovu {

// Reads a decimal floating-point number from the start of `text` (`length` code units;
// no terminator needed, embedded NULs simply end the number) as the runtime's `_wtof`
// does:
// - leading wide white space (the runtime's wide space class: 9-13, 32, U+00A0, U+1680,
//   U+2000-U+200A, U+2028, U+2029, U+202F, U+205F, U+3000) is skipped;
// - then the longest prefix of the form [+|-] digits [. digits] [(e|E) [+|-] digits], with
//   at least one digit before or after the full stop, is converted; an exponent marker
//   that no digit follows is not part of the number ("1e+" reads as 1);
// - whatever follows that prefix is ignored; when there is no such prefix the result is
//   0.0 (positive zero);
// - the conversion rounds correctly to nearest; a magnitude too large gives +/-infinity
//   ("1e999"), one too small gives +/-0.0; "-0" gives -0.0.
// Only decimal forms are recognised: "inf", "nan" and hexadecimal forms read as 0.
[[nodiscard]] double WideToDouble(const char16_t* text, std::size_t length);

// Scans `text` (NUL-terminated) as the runtime's wide `%x` conversion does and stores the
// number in `*value`:
// - leading wide white space (as for WideToDouble) is skipped;
// - an optional `+` or `-`, then an optional "0x" or "0X" prefix, then hexadecimal
//   digits (ASCII only) up to the first other character;
// - a `-` negates the number as unsigned 32-bit arithmetic ("-1" gives 0xFFFFFFFF); more
//   than eight digits keep the low 32 bits.
// Returns false, leaving `*value` untouched, when no digit was converted. A "0x" prefix
// that no hexadecimal digit follows converts nothing ("0xzz" fails), as in the Windows
// runtime; the C library of other systems would read the 0 there.
[[nodiscard]] bool ScanWideHex(const char16_t* text, std::uint32_t* value);

}  // namespace vovu

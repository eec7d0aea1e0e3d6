#pragma once

#include <QString>
#include <QStringView>

#include <cstdint>
#include <optional>

namespace hs {

// Number rules shared by every part of the station: "Integer" is int16, a real converted to a
// whole number rounds to the nearest with halves to even, and overflow is reported, never
// wrapped.

// Nearest whole number, halves to the even neighbour (2.5 -> 2, 3.5 -> 4, -2.5 -> -2).
// Independent of the floating-point rounding mode. NaN and infinities are returned unchanged.
double roundHalfEven(double value);

// Rounds half to even into an int16; nullopt when the result lies outside -32768..32767 or the
// value is NaN.
std::optional<std::int16_t> toInt16(double value);
// As toInt16, but out-of-range values give the nearest limit and NaN gives 0.
std::int16_t toInt16Saturating(double value);

// Rounds half to even into an int32 ("Long"); nullopt outside the int32 range or for NaN.
std::optional<std::int32_t> toInt32(double value);

// The leading number of a text: leading blanks (space, tab, CR, LF) are skipped, then the longest
// prefix of the form [sign] digits [. digits] [E|D [sign] digits] is read; at least one digit is
// needed in front of the exponent. Anything after it is ignored. A text without such a prefix
// reads as 0, and so does a number too large for a double (the station treats it as no number).
double readNumber(QStringView text);

// The spaced form of a number, as written into recorder commands: a blank in front of zero and
// positive values, "-" in front of negative ones, whole numbers without a point, fractions
// without a leading zero (" 3", "-3", " .5", "-.25", " 1.5").
//
// The digits are the shortest that read back as the same value. Stored reals are floats, so a
// value that is exactly a float (0.005f widened to double) gets the shortest text that reads
// back as that float (" .005"); any other double gets the shortest text that reads back as the
// double. Magnitudes below 1E-4 or from 1E15 on use the exponent form " 1E-05", "-1.5E+16".
// NaN and infinities give " NaN", " Inf" and "-Inf".
QString spacedNumber(double value);
// The spaced form of a whole number (" 400", "-3", " 0").
QString spacedNumber(int value);

// The plain form: decimal integer, no blanks, "-" for negative values.
QString plainNumber(int value);

} // namespace hs

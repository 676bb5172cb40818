#pragma once

#include <string_view>

namespace platform {

/// The order in which a file browser lists names, for UTF-8 text: letter case
/// ignored, runs of digits compared by their numeric value ("2-Two" before
/// "10-Ten", in any script's digits), letters ordered by the rules of the
/// user's locale (the root locale's rules when the locale is C/POSIX or has no
/// collation of its own). Two different strings never compare equal: names
/// that the locale's rules call equal are told apart by letter case and then
/// by their bytes. Returns -1, 0 or 1; 0 only for identical strings. A strict
/// weak order, fit for std::sort. Thread-safe; it allocates, so never call it
/// on the render thread. Invalid UTF-8 is compared as U+FFFD.
int localizedStandardCompare(std::string_view a, std::string_view b);

/// True when the UTF-8 text is non-empty and every code point has a Unicode
/// numeric value: digits of any script, and also fractions such as "½" and
/// Roman numerals such as "Ⅻ". Letters, spaces and "-" are not numeric;
/// neither is text that is not valid UTF-8.
bool isNumericText(std::string_view utf8);

} // namespace platform

// hidapi's wide strings as UTF-8: for the browser's device list, and for the
// log.
#pragma once

#include <string>

// What wstring_to_utf8 gives for a string it cannot convert.
extern const std::string range_error_str;

// Each wide character is one character of at most U+FFFF, as the browser's
// device list has always been built from 16-bit units: a surrogate value or a
// character above U+FFFF makes the whole string range_error_str.
std::string wstring_to_utf8(const std::wstring& text);

// The inverse: UTF-8 of characters up to U+FFFF to one wide character each.
// Throws std::range_error on malformed or truncated input, a surrogate, or a
// character above U+FFFF.
std::wstring utf8_to_wstring(const std::string& text);

// A wide string for the log: UTF-8 whatever the locale, "(null)" for an
// absent string, U+FFFD for a unit that is no character. A surrogate pair
// gives its character, so the log is the same with 16-bit wide characters.
std::string LogText(const wchar_t* text);

// Text conversion between the API's UTF-8 and the 8-bit code page 1251 that
// dictionary names and ANSI record text use. A character 1251 cannot hold
// becomes '?', never a silent drop; so does a malformed UTF-8 sequence.
#pragma once

#include <string>
#include <string_view>

namespace btr {

// Code page 1251 bytes ("ANSI" text inside records and dictionaries).
using AnsiString = std::string;

std::string AnsiToUtf8(std::string_view ansi);
// The same into `out`, whose storage is reused.
void AnsiToUtf8(std::string_view ansi, std::string& out);
AnsiString Utf8ToAnsi(std::string_view utf8);

// Upper / lower case of one 1251 byte: ASCII and the Cyrillic letters.
unsigned char AnsiUpper(unsigned char c);
unsigned char AnsiLower(unsigned char c);
AnsiString AnsiUpperCase(std::string_view s);
// Case-insensitive comparison of 1251 text (Latin and Cyrillic); <0, 0, >0.
int AnsiCompareTextI(std::string_view a, std::string_view b);

// Upper case of UTF-8 text where the fold is exact: the characters 1251
// holds (ASCII and the Cyrillic letters) are upper-cased, every other byte
// stays as it was, so texts that differ in anything but those letters'
// case stay different.
std::string Utf8UpperCase(std::string_view utf8);

// Case-insensitive comparison of UTF-8 text, through 1251 (the names the
// system compares are 1251 names).
int Utf8CompareTextI(std::string_view a, std::string_view b);

} // namespace btr

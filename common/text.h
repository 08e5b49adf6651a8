#pragma once
// Text forms the product uses: the system's ANSI code page for the single-byte
// Windows calls, and the binary text form of the settings values (UTF-16 code
// units, low byte first, no terminator, no length field).

#include <string>
#include <string_view>
#include <vector>

using Bytes = std::vector<unsigned char>;

// A text that the system would not convert.  Going on with "" instead would
// act on another key or file (for the registry, the root key itself).
struct TextConversionFailed {};

// UTF-16 to the ANSI code page in force (GetACP()); a character without a
// form there becomes the code page's default character, a question mark.
// Throws TextConversionFailed when the conversion fails.
std::string to_ansi(std::wstring_view text);
// The same to the code page `codepage`, with the flags it accepts.
std::string to_ansi(std::wstring_view text, unsigned codepage);
std::wstring from_ansi(std::string_view text);

// Removes U+0020 from both ends; tabs and other white space stay.
std::wstring trim_spaces(std::wstring_view text);

// A number in decimal digits (the runtime's own formatting would link a
// printf family into every deliverable).
std::wstring decimal(unsigned long number);

Bytes encode_binary_text(std::wstring_view text);
// Bytes taken in pairs as 16-bit units, low byte first; an odd last byte is dropped.
std::wstring decode_binary_text(const unsigned char *data, size_t size);
inline std::wstring decode_binary_text(const Bytes &bytes) { return decode_binary_text(bytes.data(), bytes.size()); }

#pragma once
// The rules of the installation records, apart from the registry: the encoded
// status flag and what a stored text means when it is read back.

#include <cstddef>
#include <string>
#include <string_view>

// The add-in counts a status text in a 16-bit signed number: a longer text
// overflows before anything is stored.
constexpr size_t MaxStatusLength = 32766;

// The longest install folder that InstallPath hands out; a longer stored text
// reads as no folder at all.
constexpr size_t MaxInstallPathLength = 255;

// Each character's code in the system ANSI code page, in decimal, joined in
// character order: "True" gives "84114117101".  A character without a form in
// the code page counts as its question mark (63); on a double-byte code page a
// two-byte character gives the number of its two bytes, lead byte high.
std::wstring encode_flag(std::wstring_view text);

// APP_TYPEINST: "01" is 1, "02" is 2, anything else (missing included) 0.
short installation_type(std::wstring_view stored);

// APP_EXIST: the add-in counts as present only while nothing is stored.
bool app_exists(std::wstring_view stored);

// Dir as handed out: the stored text, or nothing when it is too long.
std::wstring install_path(std::wstring_view stored);

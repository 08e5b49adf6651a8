#include "text.h"

#include <windows.h>

namespace {

// ASCII stays as it is in every code page that takes conversion flags; the
// ones that take none are stateful or special (UTF-7, ISO-2022, HZ, ISCII,
// Symbol).  Most names and values are plain ASCII and need no conversion call.
template <class To, class From>
bool copy_ascii(From text, To &out)
{
    for (auto c : text)
        if ((unsigned)c >= 0x80) return false;
    out.assign(text.begin(), text.end());
    return true;
}

// The flags WideCharToMultiByte accepts for a code page: any other makes it
// fail with ERROR_INVALID_FLAGS.  UTF-8 (the system code page can be UTF-8
// from Windows 10 on) and GB18030 take only WC_ERR_INVALID_CHARS, which makes
// a lone surrogate fail instead of becoming U+FFFD.
DWORD conversion_flags(unsigned codepage)
{
    switch (codepage) {
    case CP_UTF8:
    case 54936:
        return WC_ERR_INVALID_CHARS;
    case 42:
    case 50220: case 50221: case 50222: case 50225: case 50227: case 50229:
    case 52936:
    case 65000:
        return 0;
    default:
        return codepage >= 57002 && codepage <= 57011 ? 0 : WC_NO_BEST_FIT_CHARS;
    }
}

} // namespace

std::string to_ansi(std::wstring_view text) { return to_ansi(text, GetACP()); }

std::string to_ansi(std::wstring_view text, unsigned codepage)
{
    DWORD flags = conversion_flags(codepage);
    std::string out;
    if ((flags && copy_ascii(text, out)) || text.empty()) return out;
    int size = WideCharToMultiByte(codepage, flags, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    if (size <= 0) throw TextConversionFailed();
    out.resize(size);
    if (WideCharToMultiByte(codepage, flags, text.data(), (int)text.size(), out.data(), size, nullptr, nullptr) != size)
        throw TextConversionFailed();
    return out;
}

std::wstring from_ansi(std::string_view text)
{
    std::wstring ascii;
    if (copy_ascii(text, ascii)) return ascii;
    int size = MultiByteToWideChar(CP_ACP, 0, text.data(), (int)text.size(), nullptr, 0);
    std::wstring out(size, L'\0');
    MultiByteToWideChar(CP_ACP, 0, text.data(), (int)text.size(), out.data(), size);
    return out;
}

std::wstring trim_spaces(std::wstring_view text)
{
    size_t first = text.find_first_not_of(L' ');
    if (first == std::wstring_view::npos) return {};
    size_t last = text.find_last_not_of(L' ');
    return std::wstring(text.substr(first, last - first + 1));
}

std::wstring decimal(unsigned long number)
{
    std::wstring digits;
    do digits.insert(digits.begin(), (wchar_t)(L'0' + number % 10));
    while (number /= 10);
    return digits;
}

Bytes encode_binary_text(std::wstring_view text)
{
    Bytes out;
    out.reserve(text.size() * 2);
    for (wchar_t c : text) {
        out.push_back((unsigned char)(c & 0xFF));
        out.push_back((unsigned char)(c >> 8));
    }
    return out;
}

std::wstring decode_binary_text(const unsigned char *data, size_t size)
{
    std::wstring out(size / 2, L'\0');
    for (size_t i = 0; i < out.size(); ++i) out[i] = (wchar_t)(data[2 * i] | (data[2 * i + 1] << 8));
    return out;
}

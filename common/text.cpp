#include "text.h"

#include <windows.h>

namespace {

// Every ANSI code page keeps ASCII as it is, so plain ASCII text needs no
// conversion call; most names and values are plain ASCII.
template <class To, class From>
bool copy_ascii(From text, To &out)
{
    for (auto c : text)
        if ((unsigned)c >= 0x80) return false;
    out.assign(text.begin(), text.end());
    return true;
}

} // namespace

std::string to_ansi(std::wstring_view text)
{
    std::string ascii;
    if (copy_ascii(text, ascii)) return ascii;
    int size = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), (int)text.size(), nullptr, 0, nullptr, nullptr);
    std::string out(size, '\0');
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), (int)text.size(), out.data(), size, nullptr, nullptr);
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

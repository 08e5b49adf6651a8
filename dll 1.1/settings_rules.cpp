#include "settings_rules.h"

#include "../common/text.h"

std::wstring encode_flag(std::wstring_view text)
{
    std::wstring flag;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned code = 0;
        for (unsigned char byte : to_ansi(text.substr(i, 1))) code = code << 8 | byte;
        flag += decimal(code);
    }
    return flag;
}

short installation_type(std::wstring_view stored)
{
    if (stored == L"01") return 1;
    if (stored == L"02") return 2;
    return 0;
}

bool app_exists(std::wstring_view stored) { return stored.empty(); }

std::wstring install_path(std::wstring_view stored)
{
    return stored.size() <= MaxInstallPathLength ? std::wstring(stored) : std::wstring();
}

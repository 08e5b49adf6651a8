#include "removal.h"

#include <windows.h>

#include "text.h"

std::wstring GetSystemDir()
{
    wchar_t buffer[MAX_PATH];
    UINT length = GetSystemDirectoryW(buffer, MAX_PATH);
    // 0 is a failure; a length beyond the buffer is the size it would need.
    if (length == 0 || length >= MAX_PATH) return {};
    return std::wstring(buffer, length);
}

void delete_product_file(const std::wstring &folder, const wchar_t *file_name)
{
    std::wstring seen = folder.substr(0, folder.find(L'\0'));
    if (trim_spaces(seen).empty()) return;
    DeleteFileW((seen + file_name).c_str()); // result deliberately ignored
}

#include "removal.h"

#include <windows.h>

#include "text.h"

void limit_library_search()
{
    using SetDefaultDllDirectoriesFunction = BOOL(WINAPI *)(DWORD);
    auto set_default = (SetDefaultDllDirectoriesFunction)(void *)GetProcAddress(GetModuleHandleW(L"kernel32.dll"),
                                                                                "SetDefaultDllDirectories");
    if (set_default) set_default(LOAD_LIBRARY_SEARCH_SYSTEM32);
}

std::wstring GetSystemDir()
{
    wchar_t buffer[MAX_PATH];
    UINT length = GetSystemDirectoryW(buffer, MAX_PATH);
    // 0 is a failure; a length beyond the buffer is the size it would need.
    if (length == 0 || length >= MAX_PATH) return {};
    return std::wstring(buffer, length);
}

namespace {

// `folder` + `name` as the file system would see it, or "" when the folder part
// is empty or blank and the path would lead to the root of the current drive.
std::wstring product_path(const std::wstring &folder, const wchar_t *name)
{
    std::wstring seen = folder.substr(0, folder.find(L'\0'));
    if (trim_spaces(seen).empty()) return {};
    return seen + name;
}

// Whether the volume that `path` lies on (a drive, a share) can be reached.
bool volume_present(const std::wstring &path)
{
    std::wstring root(path.size() + MAX_PATH, L'\0');
    if (!GetVolumePathNameW(path.c_str(), root.data(), (DWORD)root.size())) return false;
    return GetFileAttributesW(root.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Whether no file is at `path`, as far as can be known.  A name that the file
// system refuses (a recorded folder may hold any text) names no file; a
// missing folder holds none, when its volume is there.  A drive or share that
// cannot be reached may well hold the file.
bool is_gone(const std::wstring &path)
{
    if (GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES) return false;
    switch (GetLastError()) {
    case ERROR_INVALID_NAME:
        return true;
    case ERROR_FILE_NOT_FOUND: // what Wine answers for a file at the root of a missing drive
    case ERROR_PATH_NOT_FOUND:
        return volume_present(path);
    default:
        return false;
    }
}

} // namespace

bool delete_product_file(const std::wstring &folder, const wchar_t *file_name)
{
    std::wstring path = product_path(folder, file_name);
    if (path.empty()) return true;
    DeleteFileW(path.c_str()); // judged by what is left, not by this result
    return is_gone(path);
}

void remove_empty_product_folder(const std::wstring &folder, const wchar_t *subfolder_name)
{
    std::wstring path = product_path(folder, subfolder_name);
    // RemoveDirectoryW refuses a folder that is not empty; the result is deliberately ignored.
    if (!path.empty()) RemoveDirectoryW(path.c_str());
}

// Stands in for the program associated with a document type: records the
// document path it was given (argument 2) in the file named by argument 1, as
// UTF-16, written beside it and renamed so that no reader sees half of it.
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t **argv)
{
    if (argc != 3) return 2;
    std::wstring part = std::wstring(argv[1]) + L".part";
    HANDLE file = CreateFileW(part.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    DWORD written = 0;
    BOOL ok = WriteFile(file, argv[2], (DWORD)(wcslen(argv[2]) * sizeof(wchar_t)), &written, nullptr);
    CloseHandle(file);
    return ok && MoveFileExW(part.c_str(), argv[1], MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}

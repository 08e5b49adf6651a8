#pragma once
// What the two uninstallers share: the system directory and the deletion of one
// product file.  Wide-character calls throughout, so that folders whose names
// have characters outside the ANSI code page are found all the same.

#include <string>

// The first act of both programs: libraries are loaded from the system
// directory only, never from the program's own folder, which an elevated
// caller may start it from while a user can write there.  Through the loader's
// entry, which Windows 7 has only with update KB2533623: without it the
// program still runs, with the default search order.
void limit_library_search();

// The system directory without a trailing separator, or "" when it cannot be had.
std::wstring GetSystemDir();

// Deletes `folder` + `file_name` (which begins with the separator), joined without
// any other change.  The file system sees the folder only up to its first NUL;
// when that part is empty or only spaces the deletion is skipped, so that a
// missing folder never names a file at the root of a drive.  True when no such
// file is there afterwards (deleted now, absent already, in a folder that does
// not exist on a volume that does, or not looked for under a blank folder);
// false when it may still be there: in use, not this user's to delete, or on a
// drive or share that cannot be reached.
bool delete_product_file(const std::wstring &folder, const wchar_t *file_name);

// The exit code of both programs, judged after their last pass.
enum RemovalOutcome { AllGone = 0, SomeRemain = 1 };

// Removes `folder` + `subfolder_name` when it is empty, under the same guard as
// delete_product_file.  A folder that still holds anything stays.
void remove_empty_product_folder(const std::wstring &folder, const wchar_t *subfolder_name);

// UMV: removes the files of release 1.0 of the add-in.  It has no window and
// shows nothing: three removal passes, one after the other, and it ends, with
// an exit code that says whether a file it targets is left.  The registry is
// only read.

#include <windows.h>

#include "registry.h"
#include "removal.h"

namespace {

// The install folder of release 1.0, recorded in the binary text form and
// trimmed of spaces, or "" when there is none.
std::wstring GetInstallDir()
{
    RegistryRead read = read_registry_value(HKEY_CURRENT_USER, L"Software\\Marvisto\\Groupdate", L"Dir", TypeBinary);
    if (read.outcome != RegistryRead::Binary) return {};
    return trim_spaces(decode_binary_text(read.bytes));
}

// One removal pass; the folders are read afresh each time.  True when none of
// its files is left.
bool RemoveProductFiles()
{
    std::wstring system_dir = GetSystemDir();
    std::wstring install_dir = GetInstallDir();
    bool gone = delete_product_file(install_dir, L"\\Marvisto.chm");
    gone &= delete_product_file(system_dir, L"\\KPD_v01.dll");
    gone &= delete_product_file(install_dir, L"\\Marvisto.xla");
    return gone;
}

} // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    limit_library_search();
    bool gone = false;
    for (int pass = 0; pass < 3; ++pass) gone = RemoveProductFiles();
    return gone ? AllGone : SomeRemain;
}

// A long session of one client: registry methods and the installation
// records, called by name as the add-in calls them.  The handles and the
// memory of the process must not grow.  The test runs 20,000 calls;
// `make bench` runs 200,000 (IMV_SOAK_CALLS) and reports the figures.

#include <algorithm>
#include "support.h"

#include <psapi.h>

namespace {

const std::wstring SoakKey = std::wstring(ScratchKey) + L"\\soak";
const wchar_t ProductKey[] = L"Software\\Marvisto11";

void one_round(IDispatch *library, int i)
{
    switch (i % 16) {
    case 0: invoke(library, L"SetRegistryValue", {Var(HKCU_LONG), Var(SoakKey), Var(L"text"), Var((short)1), Var(L"C:\\Program Files\\Marvisto")}); break;
    case 1: invoke(library, L"GetRegistryValue", {Var(HKCU_LONG), Var(SoakKey), Var(L"text"), Var((short)1)}); break;
    case 2: invoke(library, L"SetRegistryValueX", {Var(SoakKey), Var(L"bytes"), Var((short)3), Var(Bytes(64, 0x5A))}); break;
    case 3: invoke(library, L"GetRegistryValueX", {Var(SoakKey), Var(L"bytes"), Var((short)3), Var(L"none")}); break;
    case 4: invoke(library, L"SetRegistryValue", {Var(HKCU_LONG), Var(SoakKey), Var(L"number"), Var((short)4), Var((LONG)i)}); break;
    case 5: invoke(library, L"GetRegistryValue", {Var(HKCU_LONG), Var(SoakKey), Var(L"number"), Var((short)2)}); break; // error 1001
    case 6: invoke(library, L"EnumRegistryKeys", {Var(HKCU_LONG), Var(ScratchKey)}); break;
    case 7: invoke(library, L"CheckRegistryKey", {Var(HKCU_LONG), Var(SoakKey)}); break;
    case 8: invoke(library, L"prcDir", {Var(L"  C:\\Marvisto soak  ")}); break;
    case 9: invoke(library, L"InstallPath"); break;
    case 10: invoke(library, L"prcSet_status_Addin", {Var(L"True")}); break;
    case 11: invoke(library, L"IsAddin_Installed"); break;
    case 12: invoke(library, L"TypeInstallation", {Var(L"02")}); break;
    case 13: invoke(library, L"ReadTypeInstall"); break;
    case 14: invoke(library, L"prcSet_Addin", {Var(L"")}); break; // error 9
    case 15:
        if (i % 64 == 15) invoke(library, L"Delete_information_All");
        else invoke(library, L"App_Exist");
        break;
    }
}

void print_figures(const char *when)
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    printf("%s: %lu handles, %lu KB committed, %lu KB working set\n", when, process_handle_count(),
           (unsigned long)(counters.PagefileUsage / 1024), (unsigned long)(counters.WorkingSetSize / 1024));
}

} // namespace

TEST(Soak, ALongSessionLeavesNoHandleOrMemoryBehind)
{
    delete_tree(HKEY_CURRENT_USER, ScratchKey);
    delete_tree(HKEY_CURRENT_USER, ProductKey);
    ComPtr<_CLibrary> library = create_library();
    ASSERT_TRUE(library);
    invoke(library.Get(), L"CreateRegistryKey", {Var(HKCU_LONG), Var(SoakKey)});

    const char *calls_text = getenv("IMV_SOAK_CALLS");
    const int warm_up = 2000, total = calls_text ? atoi(calls_text) : 20000;
    for (int i = 0; i < warm_up; ++i) one_round(library.Get(), i);
    ULONG handles_before = process_handle_count();
    long long memory[3] = {(long long)process_committed_bytes()};
    print_figures("after warming up");
    for (int half = 1; half <= 2; ++half) {
        for (int i = (half - 1) * total / 2; i < half * total / 2; ++i) one_round(library.Get(), i);
        memory[half] = (long long)process_committed_bytes();
    }
    ULONG handles_after = process_handle_count();
    print_figures(("after " + std::to_string(total) + " calls").c_str());

    EXPECT_LE(handles_after, handles_before);
    // A leak grows both halves; the heap may take one step of its own (Wine 10's once took 1.1 MB).
    EXPECT_LE(std::min(memory[1] - memory[0], memory[2] - memory[1]), 64 * 1024);

    // And the session did its work.
    EXPECT_EQ(L"C:\\Marvisto soak", invoke(library.Get(), L"InstallPath").result.text());
    delete_tree(HKEY_CURRENT_USER, ScratchKey);
    delete_tree(HKEY_CURRENT_USER, ProductKey);
}

// Reading a string value and listing subkeys through the library, against the
// raw registry calls and the script host's shell object.  Prints per-call
// times (median of several rounds) and the ratios to the raw calls.

#include <windows.h>
#include <oleauto.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "IMV_v11.h"

namespace {

const wchar_t Key[] = L"Software\\IMV_v11 bench";
const char KeyA[] = "Software\\IMV_v11 bench";
const wchar_t ListKey[] = L"Software\\IMV_v11 bench\\list";
const char ListKeyA[] = "Software\\IMV_v11 bench\\list";
const LONG CurrentUser = (LONG)0x80000001;

double now_us()
{
    static LARGE_INTEGER frequency = [] { LARGE_INTEGER f; QueryPerformanceFrequency(&f); return f; }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return (double)t.QuadPart * 1e6 / (double)frequency.QuadPart;
}

// Per-call times in microseconds of several ways of doing the same thing,
// measured in interleaved rounds so that a change in the machine's load hits
// all of them alike; each figure is the median over the rounds.
std::vector<double> measure(int calls, int rounds, const std::vector<std::function<void()>> &ways)
{
    for (auto &way : ways)
        for (int i = 0; i < calls; ++i) way(); // warm up
    std::vector<std::vector<double>> times(ways.size());
    for (int r = 0; r < rounds; ++r) {
        for (size_t w = 0; w < ways.size(); ++w) {
            double start = now_us();
            for (int i = 0; i < calls; ++i) ways[w]();
            times[w].push_back((now_us() - start) / calls);
        }
    }
    std::vector<double> medians;
    for (auto &t : times) {
        std::sort(t.begin(), t.end());
        medians.push_back(t[t.size() / 2]);
    }
    return medians;
}

void fail(const char *what, HRESULT hr)
{
    printf("benchmark set-up failed: %s (0x%08lx)\n", what, (unsigned long)hr);
    exit(1);
}

DISPID id_of(IDispatch *object, const wchar_t *name)
{
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) fail("GetIDsOfNames", hr);
    return id;
}

} // namespace

int main()
{
    CoInitialize(nullptr);
    const char value[] = "C:\\Program Files\\Marvisto\\Groupdate";
    HKEY key;
    RegCreateKeyExA(HKEY_CURRENT_USER, KeyA, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    RegSetValueExA(key, "Dir", 0, REG_SZ, (const BYTE *)value, sizeof value);
    RegCloseKey(key);

    _CLibrary *library = nullptr;
    HRESULT hr = CoCreateInstance(CLSID_CLibrary, nullptr, CLSCTX_INPROC_SERVER, IID__CLibrary, (void **)&library);
    if (FAILED(hr)) fail("creating IMV_v11.CLibrary (is it registered?)", hr);
    CLSID shell_clsid;
    IDispatch *shell = nullptr;
    hr = CLSIDFromProgID(L"WScript.Shell", &shell_clsid);
    if (SUCCEEDED(hr)) hr = CoCreateInstance(shell_clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, (void **)&shell);
    if (FAILED(hr)) fail("creating WScript.Shell", hr);

    BSTR key_name = SysAllocString(Key), value_name = SysAllocString(L"Dir");
    VARIANT none;
    VariantInit(&none);
    V_VT(&none) = VT_BSTR;
    V_BSTR(&none) = SysAllocString(L"");
    bool correct = true;
    auto expect = [&](VARIANT &result) {
        correct &= V_VT(&result) == VT_BSTR && !wcscmp(V_BSTR(&result), L"C:\\Program Files\\Marvisto\\Groupdate");
        VariantClear(&result);
    };

    const int calls = 1000, rounds = 11;
    auto early = [&] {
        VARIANT result;
        VariantInit(&result);
        library->GetRegistryValue(CurrentUser, key_name, value_name, 1, &none, &result);
        expect(result);
    };
    DISPID get_id = id_of(library, L"GetRegistryValue");
    auto late = [&] {
        VARIANT args[4], result;
        VariantInit(&result);
        V_VT(&args[3]) = VT_I4;   V_I4(&args[3]) = CurrentUser;
        V_VT(&args[2]) = VT_BSTR; V_BSTR(&args[2]) = key_name;
        V_VT(&args[1]) = VT_BSTR; V_BSTR(&args[1]) = value_name;
        V_VT(&args[0]) = VT_I2;   V_I2(&args[0]) = 1;
        DISPPARAMS params{args, nullptr, 4, 0};
        library->Invoke(get_id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
        expect(result);
    };
    auto raw = [&] {
        HKEY k;
        char buffer[1024];
        DWORD type = REG_SZ, length = sizeof buffer;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, KeyA, 0, KEY_READ, &k) == ERROR_SUCCESS) {
            correct &= RegQueryValueExA(k, "Dir", nullptr, &type, (BYTE *)buffer, &length) == ERROR_SUCCESS;
            RegCloseKey(k);
        }
    };
    DISPID read_id = id_of(shell, L"RegRead");
    BSTR shell_path = SysAllocString(L"HKCU\\Software\\IMV_v11 bench\\Dir");
    auto script_host = [&] {
        VARIANT arg, result;
        VariantInit(&result);
        V_VT(&arg) = VT_BSTR;
        V_BSTR(&arg) = shell_path;
        DISPPARAMS params{&arg, nullptr, 1, 0};
        shell->Invoke(read_id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
        expect(result);
    };
    std::vector<double> read = measure(calls, rounds, {early, late, raw, script_host});

    // A key of 10,000 subkeys.
    const int subkeys = 10000;
    RegCreateKeyExA(HKEY_CURRENT_USER, ListKeyA, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    for (int i = 0; i < subkeys; ++i) {
        HKEY child;
        std::string name = "subkey " + std::to_string(i);
        RegCreateKeyExA(key, name.c_str(), 0, nullptr, 0, KEY_READ, nullptr, &child, nullptr);
        RegCloseKey(child);
    }
    RegCloseKey(key);
    BSTR list_name = SysAllocString(ListKey);
    auto list = [&] {
        SAFEARRAY *names = nullptr;
        library->EnumRegistryKeys(CurrentUser, list_name, &names);
        correct &= names && names->rgsabound[0].cElements == (ULONG)subkeys;
        SafeArrayDestroy(names);
    };
    auto raw_list = [&] {
        HKEY k;
        char name[MAX_PATH];
        int count = 0;
        if (RegOpenKeyExA(HKEY_CURRENT_USER, ListKeyA, 0, KEY_READ, &k) == ERROR_SUCCESS) {
            while (RegEnumKeyA(k, count, name, sizeof name) == ERROR_SUCCESS) ++count;
            RegCloseKey(k);
        }
        correct &= count == subkeys;
    };
    std::vector<double> listing = measure(1, 9, {list, raw_list});

    printf("GetRegistryValue of a string value, per call (median of %d interleaved rounds of %d calls):\n", rounds, calls);
    printf("  (a) early-bound, virtual table     %8.2f us   %.2f x raw   (target <= 1.10)\n", read[0], read[0] / read[2]);
    printf("  (b) late-bound, IDispatch::Invoke  %8.2f us   %.2f x raw   (target <= 1.25)\n", read[1], read[1] / read[2]);
    printf("  (c) raw RegOpenKeyExA/RegQueryValueExA/RegCloseKey %8.2f us\n", read[2]);
    printf("  (d) WScript.Shell RegRead, late    %8.2f us   %.2f x raw   ((b) takes %.2f of (d), target < 1)\n",
           read[3], read[3] / read[2], read[1] / read[3]);
    printf("EnumRegistryKeys of a key with %d subkeys, per listing (median of 9 rounds):\n", subkeys);
    printf("  library, early-bound               %8.0f us   %.2f x raw   (target <= 1.25)\n", listing[0], listing[0] / listing[1]);
    printf("  raw RegOpenKeyExA/RegEnumKeyA loop %8.0f us\n", listing[1]);
    printf("results checked: %s\n", correct ? "all correct" : "SOME WRONG");

    RegDeleteTreeA(HKEY_CURRENT_USER, KeyA);
    RegDeleteKeyA(HKEY_CURRENT_USER, KeyA);
    library->Release();
    shell->Release();
    CoUninitialize();
    return correct ? 0 : 1;
}

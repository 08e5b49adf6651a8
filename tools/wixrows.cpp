// Writes the registration of a built library as Windows Installer rows: a WiX
// include holding the registry values that regsvr32 of this build writes in
// its own registry view, the library's path given as the installed file
// ([#<file key>]), in two components: <file key>.registration, the keys kept
// per view and those naming the library's path, and <file key>.shared, the
// keys that both builds write alike (the ProgID, the type library's version),
// which a package of both builds takes from one of them.  The other view's
// interface key is left to the other build, as a package holds both builds or
// only one view.  The components have no code: the package gives each the code
// of what it installs where (tools/msi).  Runs at build time under Wine.
//
// usage: wixrows <library> <file key> <out.wxi>

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "registration.h"

namespace {

// Written out for both: wixl 0.102 and later make a component without it
// 64-bit in a package for x64.
#ifdef _WIN64
const wchar_t Bitness[] = L" Win64=\"yes\"";
#else
const wchar_t Bitness[] = L" Win64=\"no\"";
#endif

// Text for an attribute of a formatted column: XML's special characters, and
// the installer's brackets, which would name a property.
std::wstring literal(const std::wstring &text)
{
    std::wstring out;
    for (wchar_t c : text) {
        switch (c) {
        case L'&': out += L"&amp;"; break;
        case L'<': out += L"&lt;"; break;
        case L'"': out += L"&quot;"; break;
        case L'[': out += L"[\\[]"; break;
        case L']': out += L"[\\]]"; break;
        default: out += c;
        }
    }
    return out;
}

// The keys that 64-bit Windows keeps per registry view; the others are shared.
bool kept_per_view(const std::wstring &key)
{
    for (const wchar_t *branch : {L"CLSID\\", L"Interface\\"})
        if (key.compare(wcslen(ClassesKey), wcslen(branch), branch) == 0) return true;
    return false;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc != 4) {
        fprintf(stderr, "usage: wixrows <library> <file key> <out.wxi>\n");
        return 2;
    }
    std::wstring file_key = argv[2];
    TypeLibraryFacts facts;
    HRESULT hr = read_type_library_facts(argv[1], facts);
    if (FAILED(hr)) {
        fprintf(stderr, "wixrows: cannot read the type library of %ls (0x%08lx)\n", argv[1], (unsigned long)hr);
        return 1;
    }
    std::wstring path = L"[#" + file_key + L"]";
    std::wstring own, shared;
    int count = 0;
    for (const RegistryEntry &entry : registration_entries(path, facts)) {
        if (entry.view != OwnView) continue;
        std::wstring &rows = kept_per_view(entry.key) || entry.value == path ? own : shared;
        bool first = rows.empty();
        rows += L"    <RegistryValue Id=\"" + file_key + L"." + std::to_wstring(++count) + L"\" Root=\"HKCR\" Key=\"" +
                literal(entry.key.substr(wcslen(ClassesKey))) + L"\"";
        if (!entry.name.empty()) rows += L" Name=\"" + literal(entry.name) + L"\"";
        // An empty value becomes a row without name and value, which creates the key.
        rows += L" Value=\"" + (entry.value == path ? path : literal(entry.value)) + L"\" Type=\"string\"";
        // Each component's first value, none of them empty, is its key path.
        if (first) rows += L" KeyPath=\"yes\"";
        rows += L"/>\n";
    }
    auto component = [&](const wchar_t *name, const std::wstring &rows) {
        return L"  <Component Id=\"" + file_key + L"." + name + L"\"" + Bitness + L">\n" + rows + L"  </Component>\n";
    };
    std::wstring xml = L"<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<Include>\n" +
                       component(L"registration", own) + component(L"shared", shared) +
                       L"</Include>\n";

    int size = WideCharToMultiByte(CP_UTF8, 0, xml.c_str(), (int)xml.size(), nullptr, 0, nullptr, nullptr);
    std::string bytes(size, '\0');
    WideCharToMultiByte(CP_UTF8, 0, xml.c_str(), (int)xml.size(), bytes.data(), size, nullptr, nullptr);
    FILE *out = _wfopen(argv[3], L"wb");
    if (!out || fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size() || fclose(out) != 0) {
        fprintf(stderr, "wixrows: cannot write %ls\n", argv[3]);
        return 1;
    }
    return 0;
}

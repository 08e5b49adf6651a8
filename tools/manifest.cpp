// Writes the side-by-side assembly manifest of a built library: the assembly
// (named after the library, versioned as its version resource, for the
// processor this tool is built for), the class with its ProgID and threading
// model, the type library, and the interface's marshaller, so that hosts can
// use the library without registration.  Runs at build time under Wine.
//
// usage: manifest <IMV_v11.dll> <out.manifest>

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "IMV_v11.h"
#include "registration.h"

namespace {

std::wstring guid_text(REFGUID guid)
{
    wchar_t text[39];
    StringFromGUID2(guid, text, 39);
    return text;
}

// The module's FILEVERSION as a.b.c.d, or "" when it has none.
std::wstring file_version(const wchar_t *path)
{
    DWORD ignored = 0, size = GetFileVersionInfoSizeW(path, &ignored);
    std::vector<BYTE> block(size);
    VS_FIXEDFILEINFO *info = nullptr;
    UINT length = 0;
    if (!size || !GetFileVersionInfoW(path, 0, size, block.data()) ||
        !VerQueryValueW(block.data(), L"\\", (void **)&info, &length) || length < sizeof *info)
        return {};
    wchar_t text[64];
    swprintf(text, 64, L"%u.%u.%u.%u", HIWORD(info->dwFileVersionMS), LOWORD(info->dwFileVersionMS),
             HIWORD(info->dwFileVersionLS), LOWORD(info->dwFileVersionLS));
    return text;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: manifest <library> <out.manifest>\n");
        return 2;
    }
    std::wstring version = file_version(argv[1]);
    if (version.empty()) {
        fprintf(stderr, "manifest: no version resource in %ls\n", argv[1]);
        return 1;
    }
#ifdef _WIN64
    const wchar_t *processor = L"amd64";
#else
    const wchar_t *processor = L"x86";
#endif
    std::wstring name(ModuleName, wcslen(ModuleName) - 4); // without ".dll"
    std::wstring library = guid_text(LIBID_IMV_v11);
    std::wstring xml =
        L"<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\r\n"
        L"<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\r\n"
        L"  <assemblyIdentity type=\"win32\" name=\"" + name + L"\" version=\"" + version +
        L"\" processorArchitecture=\"" + processor + L"\"/>\r\n"
        L"  <file name=\"" + ModuleName + L"\">\r\n"
        L"    <comClass clsid=\"" + guid_text(CLSID_CLibrary) + L"\" threadingModel=\"" + ThreadingModel +
        L"\" progid=\"" + ProgId + L"\" tlbid=\"" + library + L"\"/>\r\n"
        L"    <typelib tlbid=\"" + library + L"\" version=\"" + TypeLibVersion + L"\" helpdir=\"\"/>\r\n"
        L"  </file>\r\n"
        L"  <comInterfaceExternalProxyStub name=\"" + InterfaceName + L"\" iid=\"" + guid_text(IID__CLibrary) +
        L"\" proxyStubClsid32=\"" + guid_text(AutomationMarshaller) + L"\" tlbid=\"" + library + L"\"/>\r\n"
        L"</assembly>\r\n";
    // Every character above is ASCII.
    std::string bytes(xml.begin(), xml.end());
    FILE *out = _wfopen(argv[2], L"wb");
    if (!out || fwrite(bytes.data(), 1, bytes.size(), out) != bytes.size() || fclose(out) != 0) {
        fprintf(stderr, "manifest: cannot write %ls\n", argv[2]);
        return 1;
    }
    return 0;
}

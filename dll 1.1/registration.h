#pragma once
// What the class registration and the side-by-side manifest both declare, and
// the registration itself.  The identifiers (library, class, interface) come
// from the interface description; the assembly version from the module's
// version resource.

#include <windows.h>

#include <string>
#include <vector>

constexpr wchar_t ModuleName[] = L"IMV_v11.dll";
constexpr wchar_t ProgId[] = L"IMV_v11.CLibrary";
constexpr wchar_t ThreadingModel[] = L"Apartment";
constexpr wchar_t InterfaceName[] = L"_CLibrary";
constexpr wchar_t TypeLibVersion[] = L"1.0";
// The automation marshaller: proxies and stubs driven by the type library.
constexpr GUID AutomationMarshaller = {0x00020424, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// The classes key below either hive.
constexpr wchar_t ClassesKey[] = L"Software\\Classes\\";

// On 64-bit Windows the CLSID and Interface keys of both classes keys are kept
// per registry view.  Each build writes its class in the view of its own
// bitness and the interface in both, as RegisterTypeLib does, so that a host
// of either bitness finds its marshaller; the ProgID and the type library key
// are shared, the library's path being kept per platform (win32, win64).
#ifdef _WIN64
constexpr REGSAM OwnView = KEY_WOW64_64KEY, OtherView = KEY_WOW64_32KEY;
#else
constexpr REGSAM OwnView = KEY_WOW64_32KEY, OtherView = KEY_WOW64_64KEY;
#endif

struct RegistryEntry {
    std::wstring key;  // below the hive, beginning with ClassesKey
    std::wstring name; // value name, "" for the default value
    std::wstring value;
    REGSAM view = OwnView;
};

// What the type library itself says of the entries of its version key.
struct TypeLibraryFacts {
    std::wstring title; // its doc string, or else its name
    std::wstring flags; // in decimal
};
HRESULT read_type_library_facts(const std::wstring &module, TypeLibraryFacts &facts);

// Every entry the registration of this build writes, in order, for the library
// at `path`: the class, its ProgID, the type library and the interface.
std::vector<RegistryEntry> registration_entries(const std::wstring &path, const TypeLibraryFacts &typelib);

enum class Scope { Machine, User };
// The scope that DllInstall's command line names: none for the machine, "user"
// in any case for the current user; false for anything else.
bool scope_of_command_line(const wchar_t *command_line, Scope &scope);
// Writes every entry for the library at `path`; a failure takes back what was written.
HRESULT register_server(Scope scope, const std::wstring &path);
// Removes the entries, never reaching past the library's own keys.
HRESULT unregister_server(Scope scope);

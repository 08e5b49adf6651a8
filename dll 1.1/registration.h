#pragma once
// What the class registration and the side-by-side manifest both declare.  The
// identifiers themselves (library, class, interface) come from the interface
// description; the assembly version from the module's version resource.

#include <windows.h>

constexpr wchar_t ModuleName[] = L"IMV_v11.dll";
constexpr wchar_t ProgId[] = L"IMV_v11.CLibrary";
constexpr wchar_t ThreadingModel[] = L"Apartment";
constexpr wchar_t InterfaceName[] = L"_CLibrary";
constexpr wchar_t TypeLibVersion[] = L"1.0";
// The automation marshaller: proxies and stubs driven by the type library.
constexpr GUID AutomationMarshaller = {0x00020424, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

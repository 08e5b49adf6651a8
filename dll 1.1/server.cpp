// Server plumbing: module lifetime, the type info, the class factory, and
// registration.

#include <windows.h>
#include <oleauto.h>
#include <olectl.h>

#include <new>
#include <string>

#include "library.h"

namespace {

HINSTANCE module_instance;
LONG module_refs;
ITypeInfo *cached_type_info;

std::wstring module_path()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(module_instance, path.data(), (DWORD)path.size());
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

HRESULT load_type_library(ITypeLib **library)
{
    std::wstring path = module_path();
    if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
    return LoadTypeLibEx(path.c_str(), REGKIND_NONE, library);
}

class ClassFactory final : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void **object) override
    {
        if (!object) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IClassFactory) {
            *object = static_cast<IClassFactory *>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    // The factory is a static object; it holds the module only through LockServer.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP CreateInstance(IUnknown *outer, REFIID riid, void **object) override
    {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        CLibrary *library = new (std::nothrow) CLibrary();
        if (!library) return E_OUTOFMEMORY;
        HRESULT hr = library->QueryInterface(riid, object);
        library->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL lock) override
    {
        lock ? module_add_ref() : module_release();
        return S_OK;
    }
};

ClassFactory factory;

const wchar_t ClassKey[] = L"CLSID\\{4E5ED605-F42D-46B8-94A2-CC3A9E8BF3BE}";
const wchar_t ProgId[] = L"IMV_v11.CLibrary";

struct Entry {
    const wchar_t *key;    // below HKEY_CLASSES_ROOT
    const wchar_t *name;   // value name, nullptr for the default value
    const wchar_t *value;  // nullptr for the module's path
};

const Entry entries[] = {
    {L"CLSID\\{4E5ED605-F42D-46B8-94A2-CC3A9E8BF3BE}", nullptr, ProgId},
    {L"CLSID\\{4E5ED605-F42D-46B8-94A2-CC3A9E8BF3BE}\\InprocServer32", nullptr, nullptr},
    {L"CLSID\\{4E5ED605-F42D-46B8-94A2-CC3A9E8BF3BE}\\InprocServer32", L"ThreadingModel", L"Apartment"},
    {L"CLSID\\{4E5ED605-F42D-46B8-94A2-CC3A9E8BF3BE}\\ProgID", nullptr, ProgId},
    {L"CLSID\\{4E5ED605-F42D-46B8-94A2-CC3A9E8BF3BE}\\VERSION", nullptr, L"1.0"},
    {L"CLSID\\{4E5ED605-F42D-46B8-94A2-CC3A9E8BF3BE}\\TypeLib", nullptr, L"{D6A26E2E-6BBE-41C9-8599-8DD41551C218}"},
    {L"CLSID\\{4E5ED605-F42D-46B8-94A2-CC3A9E8BF3BE}\\Programmable", nullptr, L""},
    {L"IMV_v11.CLibrary", nullptr, ProgId},
    {L"IMV_v11.CLibrary\\CLSID", nullptr, L"{4E5ED605-F42D-46B8-94A2-CC3A9E8BF3BE}"},
};

LONG write_entry(const Entry &entry, const std::wstring &path)
{
    HKEY key = nullptr;
    LONG status = RegCreateKeyExW(HKEY_CLASSES_ROOT, entry.key, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return status;
    const wchar_t *value = entry.value ? entry.value : path.c_str();
    status = RegSetValueExW(key, entry.name, 0, REG_SZ, (const BYTE *)value, (DWORD)((wcslen(value) + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return status;
}

} // namespace

void module_add_ref() { InterlockedIncrement(&module_refs); }
void module_release() { InterlockedDecrement(&module_refs); }

HRESULT library_type_info(ITypeInfo **info)
{
    if (!cached_type_info) {
        ITypeLib *library = nullptr;
        HRESULT hr = load_type_library(&library);
        if (FAILED(hr)) return hr;
        ITypeInfo *dispatch_side = nullptr, *vtable_side = nullptr;
        hr = library->GetTypeInfoOfGuid(IID__CLibrary, &dispatch_side);
        library->Release();
        if (FAILED(hr)) return hr;
        // Dispatch goes through the virtual-table side of the dual interface.
        HREFTYPE href = 0;
        hr = dispatch_side->GetRefTypeOfImplType((UINT)-1, &href);
        if (SUCCEEDED(hr)) hr = dispatch_side->GetRefTypeInfo(href, &vtable_side);
        dispatch_side->Release();
        if (FAILED(hr)) return hr;
        if (InterlockedCompareExchangePointer((void **)&cached_type_info, vtable_side, nullptr) != nullptr)
            vtable_side->Release();
    }
    cached_type_info->AddRef();
    *info = cached_type_info;
    return S_OK;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void *reserved)
{
    if (reason == DLL_PROCESS_ATTACH) {
        module_instance = instance;
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH && !reserved && cached_type_info) {
        cached_type_info->Release();
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void **object)
{
    if (!object) return E_POINTER;
    *object = nullptr;
    if (clsid != CLSID_CLibrary) return CLASS_E_CLASSNOTAVAILABLE;
    return factory.QueryInterface(riid, object);
}

STDAPI DllCanUnloadNow() { return module_refs == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer()
{
    std::wstring path = module_path();
    if (path.empty()) return SELFREG_E_CLASS;
    for (const Entry &entry : entries)
        if (write_entry(entry, path) != ERROR_SUCCESS) return SELFREG_E_CLASS;
    // The type library with an empty help directory; this also registers
    // _CLibrary for the standard automation marshaller.
    ITypeLib *library = nullptr;
    HRESULT hr = load_type_library(&library);
    if (FAILED(hr)) return SELFREG_E_TYPELIB;
    wchar_t empty[] = L"";
    hr = RegisterTypeLib(library, path.data(), empty);
    library->Release();
    return SUCCEEDED(hr) ? S_OK : SELFREG_E_TYPELIB;
}

STDAPI DllUnregisterServer()
{
    // Entries already gone are no error.
    RegDeleteTreeW(HKEY_CLASSES_ROOT, ClassKey);
    RegDeleteKeyW(HKEY_CLASSES_ROOT, ClassKey);
    RegDeleteTreeW(HKEY_CLASSES_ROOT, ProgId);
    RegDeleteKeyW(HKEY_CLASSES_ROOT, ProgId);
    BSTR registered = nullptr;
    if (FAILED(QueryPathOfRegTypeLib(LIBID_IMV_v11, 1, 0, 0x0409, &registered))) return S_OK;
    SysFreeString(registered);
    return SUCCEEDED(UnRegisterTypeLib(LIBID_IMV_v11, 1, 0, 0x0409, SYS_WIN32)) ? S_OK : SELFREG_E_TYPELIB;
}

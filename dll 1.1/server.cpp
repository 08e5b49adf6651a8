// Server plumbing: module lifetime, the type info, the class factory, and
// registration.

#include <windows.h>
#include <oleauto.h>
#include <olectl.h>

#include <new>
#include <string>
#include <vector>

#include "library.h"
#include "registration.h"

namespace {

HINSTANCE module_instance;
LONG module_refs;

// The interface's type information, loaded together from the module's own
// type library and kept until the module may unload.
struct TypeInfos {
    ITypeInfo *of[3]; // indexed by TypeInfoKind
};
TypeInfos *cached_type_infos;

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

HRESULT load_type_infos(TypeInfos &infos)
{
    ITypeLib *library = nullptr;
    HRESULT hr = load_type_library(&library);
    if (FAILED(hr)) return hr;
    ITypeInfo *&dispatch = infos.of[(int)TypeInfoKind::Dispatch];
    ITypeInfo *&vtable = infos.of[(int)TypeInfoKind::Interface];
    ITypeInfo *&coclass = infos.of[(int)TypeInfoKind::Class];
    hr = library->GetTypeInfoOfGuid(IID__CLibrary, &dispatch);
    if (SUCCEEDED(hr)) hr = library->GetTypeInfoOfGuid(CLSID_CLibrary, &coclass);
    // The dual interface's dispatch side names its virtual-table side as implemented type -1.
    HREFTYPE href = 0;
    if (SUCCEEDED(hr)) hr = dispatch->GetRefTypeOfImplType((UINT)-1, &href);
    if (SUCCEEDED(hr)) hr = dispatch->GetRefTypeInfo(href, &vtable);
    library->Release();
    return hr;
}

void release_type_infos(TypeInfos *infos)
{
    if (!infos) return;
    for (ITypeInfo *info : infos->of)
        if (info) info->Release();
    delete infos;
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
    // The factory is a static object; each reference a client holds on it
    // holds the module, as a lock does.
    STDMETHODIMP_(ULONG) AddRef() override
    {
        module_add_ref();
        return 2;
    }
    STDMETHODIMP_(ULONG) Release() override
    {
        module_release();
        return 1;
    }

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

// The registration.  On 64-bit Windows each build registers in the registry
// view of its own bitness: the class key and the interface entries are kept
// apart per view, while the ProgID and the type library key are shared by
// both views, the library's path being kept per platform (win32, win64).
#ifdef _WIN64
const wchar_t Platform[] = L"win64";
constexpr REGSAM OtherView = KEY_WOW64_32KEY;
#else
const wchar_t Platform[] = L"win32";
constexpr REGSAM OtherView = KEY_WOW64_64KEY;
#endif
// The type library is registered for its own locale, 0x0409, and for the
// neutral locale 0: a lookup for any other locale (the automation marshaller
// asks for the neutral one) falls back to the neutral entry.
const wchar_t *const TypeLibLocales[] = {L"409", L"0"};

std::wstring guid_text(REFGUID guid)
{
    wchar_t text[39];
    StringFromGUID2(guid, text, 39);
    return text;
}

std::wstring class_key() { return L"CLSID\\" + guid_text(CLSID_CLibrary); }
std::wstring interface_key() { return L"Interface\\" + guid_text(IID__CLibrary); }
std::wstring typelib_key() { return L"TypeLib\\" + guid_text(LIBID_IMV_v11); }
std::wstring typelib_version_key() { return typelib_key() + L"\\" + TypeLibVersion; }

struct Entry {
    std::wstring key;     // below HKEY_CLASSES_ROOT
    const wchar_t *name;  // value name, nullptr for the default value
    std::wstring value;
};

std::vector<Entry> entries(const std::wstring &path)
{
    std::wstring cls = class_key(), clsid = guid_text(CLSID_CLibrary);
    std::vector<Entry> list = {
        {cls, nullptr, ProgId},
        {cls + L"\\InprocServer32", nullptr, path},
        {cls + L"\\InprocServer32", L"ThreadingModel", ThreadingModel},
        {cls + L"\\ProgID", nullptr, ProgId},
        {cls + L"\\VERSION", nullptr, TypeLibVersion},
        {cls + L"\\TypeLib", nullptr, guid_text(LIBID_IMV_v11)},
        {cls + L"\\Programmable", nullptr, L""},
        {ProgId, nullptr, ProgId},
        {std::wstring(ProgId) + L"\\CLSID", nullptr, clsid},
    };
    for (const wchar_t *locale : TypeLibLocales)
        list.push_back({typelib_version_key() + L"\\" + locale + L"\\" + Platform, nullptr, path});
    return list;
}

LONG write_entry(const Entry &entry)
{
    HKEY key = nullptr;
    LONG status = RegCreateKeyExW(HKEY_CLASSES_ROOT, entry.key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return status;
    status = RegSetValueExW(key, entry.name, 0, REG_SZ, (const BYTE *)entry.value.c_str(),
                            (DWORD)((entry.value.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    return status;
}

bool key_present(const std::wstring &path, REGSAM view = 0)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// Removes a key with all it holds, in the given registry view; true when it
// is gone afterwards (also when it was never there).
bool remove_key(const std::wstring &path, REGSAM view = 0)
{
    size_t split = path.rfind(L'\\');
    std::wstring parent_path = split == std::wstring::npos ? L"" : path.substr(0, split);
    std::wstring name = path.substr(split == std::wstring::npos ? 0 : split + 1);
    HKEY parent = nullptr;
    LONG status = RegOpenKeyExW(HKEY_CLASSES_ROOT, parent_path.c_str(), 0, KEY_READ | DELETE | view, &parent);
    if (status == ERROR_FILE_NOT_FOUND) return true;
    if (status != ERROR_SUCCESS) return false;
    RegDeleteTreeW(parent, name.c_str()); // the result is the check below
    RegCloseKey(parent);
    return !key_present(path, view);
}

// A key left without subkeys is removed; one still in use stays.
void remove_if_empty(const std::wstring &path)
{
    RegDeleteKeyW(HKEY_CLASSES_ROOT, path.c_str()); // refused while anything is below it
}

} // namespace

void module_add_ref() { InterlockedIncrement(&module_refs); }
void module_release() { InterlockedDecrement(&module_refs); }

HRESULT library_type_info(TypeInfoKind kind, ITypeInfo **info)
{
    TypeInfos *infos = cached_type_infos;
    if (!infos) {
        infos = new (std::nothrow) TypeInfos{};
        if (!infos) return E_OUTOFMEMORY;
        HRESULT hr = load_type_infos(*infos);
        if (FAILED(hr)) {
            release_type_infos(infos);
            return hr;
        }
        if (TypeInfos *first = (TypeInfos *)InterlockedCompareExchangePointer((void **)&cached_type_infos, infos, nullptr)) {
            release_type_infos(infos);
            infos = first;
        }
    }
    *info = infos->of[(int)kind];
    (*info)->AddRef();
    return S_OK;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void *)
{
    // Nothing is released here: calls into other libraries are not safe under
    // the loader lock.  The type information goes when the module may unload.
    if (reason == DLL_PROCESS_ATTACH) {
        module_instance = instance;
        DisableThreadLibraryCalls(instance);
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

STDAPI DllCanUnloadNow()
{
    if (module_refs != 0) return S_FALSE;
    // No object, factory reference or lock is left to use the type information.
    release_type_infos((TypeInfos *)InterlockedExchangePointer((void **)&cached_type_infos, nullptr));
    return S_OK;
}

STDAPI DllRegisterServer()
{
    std::wstring path = module_path();
    if (path.empty()) return SELFREG_E_CLASS;
    for (const Entry &entry : entries(path))
        if (write_entry(entry) != ERROR_SUCCESS) return SELFREG_E_CLASS;
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

// Removes this build's own entries, and those both builds share only when the
// other build's class is not registered in the other view.  Entries already
// gone are no error; an entry that is still there afterwards is.
STDAPI DllUnregisterServer()
{
    bool removed = remove_key(class_key());
    std::wstring version = typelib_version_key();
    for (const wchar_t *locale : TypeLibLocales) {
        removed &= remove_key(version + L"\\" + locale + L"\\" + Platform);
        remove_if_empty(version + L"\\" + locale);
    }
    if (!key_present(class_key(), OtherView)) {
        removed &= remove_key(ProgId);
        removed &= remove_key(interface_key(), KEY_WOW64_32KEY);
        removed &= remove_key(interface_key(), KEY_WOW64_64KEY);
        removed &= remove_key(version);
        remove_if_empty(typelib_key());
    }
    return removed ? S_OK : SELFREG_E_CLASS;
}

// Server plumbing: module lifetime, the type info, the class factory, and
// registration.

#include <windows.h>
#include <oleauto.h>

#include <new>
#include <string>
#include <vector>

#include "../common/registry.h"
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
SRWLOCK type_info_lock = SRWLOCK_INIT;
TypeInfos *cached_type_infos; // guarded by type_info_lock

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

// The registration: one table of entries, written below the classes key of the
// machine (HKEY_LOCAL_MACHINE\Software\Classes, for every user) or of the
// current user (HKEY_CURRENT_USER\Software\Classes, which Windows merges over
// the machine's for that user's processes that are not elevated).
enum class Scope { Machine, User };

// On 64-bit Windows the CLSID and Interface keys of both classes keys are kept
// per registry view.  Each build writes its class in the view of its own
// bitness and the interface in both, as RegisterTypeLib does, so that a host
// of either bitness finds its marshaller; the ProgID and the type library key
// are shared, the library's path being kept per platform (win32, win64).
// Every key is reached by its whole path from the hive, with its view named:
// a key opened in an alternate view leads on to its children only with the
// same flag (and Wine redirects only at Software, below the hive).
const wchar_t Classes[] = L"Software\\Classes\\";
#ifdef _WIN64
const wchar_t Platform[] = L"win64";
constexpr REGSAM OwnView = KEY_WOW64_64KEY, OtherView = KEY_WOW64_32KEY;
#else
const wchar_t Platform[] = L"win32";
constexpr REGSAM OwnView = KEY_WOW64_32KEY, OtherView = KEY_WOW64_64KEY;
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

std::wstring class_key() { return Classes + (L"CLSID\\" + guid_text(CLSID_CLibrary)); }
std::wstring progid_key() { return Classes + std::wstring(ProgId); }
std::wstring interface_key() { return Classes + (L"Interface\\" + guid_text(IID__CLibrary)); }
std::wstring typelib_key() { return Classes + (L"TypeLib\\" + guid_text(LIBID_IMV_v11)); }
std::wstring typelib_version_key() { return typelib_key() + L"\\" + TypeLibVersion; }

struct Entry {
    std::wstring key;   // below the hive
    std::wstring name;  // value name, "" for the default value
    std::wstring value;
    REGSAM view = OwnView;
};

// What the type library itself says of the entries of its version key.
struct TypeLibraryFacts {
    std::wstring title; // its doc string, or else its name
    std::wstring flags; // in decimal
};

std::vector<Entry> entries(const std::wstring &path, const TypeLibraryFacts &typelib)
{
    std::wstring cls = class_key(), clsid = guid_text(CLSID_CLibrary), libid = guid_text(LIBID_IMV_v11);
    std::wstring version = typelib_version_key(), iface = interface_key(), marshaller = guid_text(AutomationMarshaller);
    std::vector<Entry> list = {
        {cls, L"", ProgId},
        {cls + L"\\InprocServer32", L"", path},
        {cls + L"\\InprocServer32", L"ThreadingModel", ThreadingModel},
        {cls + L"\\ProgID", L"", ProgId},
        {cls + L"\\VERSION", L"", TypeLibVersion},
        {cls + L"\\TypeLib", L"", libid},
        {cls + L"\\Programmable", L"", L""},
        {progid_key(), L"", ProgId},
        {progid_key() + L"\\CLSID", L"", clsid},
        {version, L"", typelib.title},
        {version + L"\\FLAGS", L"", typelib.flags},
        {version + L"\\HELPDIR", L"", L""},
    };
    for (const wchar_t *locale : TypeLibLocales)
        list.push_back({version + L"\\" + locale + L"\\" + Platform, L"", path});
    for (REGSAM view : {OwnView, OtherView}) {
        list.push_back({iface, L"", InterfaceName, view});
        list.push_back({iface + L"\\ProxyStubClsid", L"", marshaller, view});
        list.push_back({iface + L"\\ProxyStubClsid32", L"", marshaller, view});
        list.push_back({iface + L"\\TypeLib", L"", libid, view});
        list.push_back({iface + L"\\TypeLib", L"Version", TypeLibVersion, view});
    }
    return list;
}

HRESULT read_type_library_facts(TypeLibraryFacts &facts)
{
    ITypeLib *library = nullptr;
    HRESULT hr = load_type_library(&library);
    if (FAILED(hr)) return hr;
    TLIBATTR *attributes = nullptr;
    hr = library->GetLibAttr(&attributes);
    if (SUCCEEDED(hr)) {
        wchar_t flags[8];
        facts.flags = _ultow(attributes->wLibFlags, flags, 10);
        library->ReleaseTLibAttr(attributes);
        BSTR name = nullptr, doc = nullptr;
        hr = library->GetDocumentation(-1, &name, &doc, nullptr, nullptr);
        if (SUCCEEDED(hr)) facts.title = SysStringLen(doc) ? doc : name ? name : L"";
        SysFreeString(name);
        SysFreeString(doc);
    }
    library->Release();
    return hr;
}

HKEY hive(Scope scope) { return scope == Scope::User ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE; }

// One registration's changes in a hive, so that a registration that
// fails part of the way takes back what it wrote and nothing else: the keys it
// created, and the values it set, with what they held before.
class Journal {
public:
    explicit Journal(HKEY hive) : hive_(hive) {}

    LONG write(const Entry &entry)
    {
        // Level by level, so that every key this call creates is known.
        UniqueKey key;
        for (size_t end = 0; end != std::wstring::npos;) {
            end = entry.key.find(L'\\', end + 1);
            Change created{entry.key.substr(0, end), entry.view, true};
            HKEY opened = nullptr;
            DWORD disposition = 0;
            REGSAM access = end == std::wstring::npos ? KEY_QUERY_VALUE | KEY_SET_VALUE : KEY_READ;
            LONG status = RegCreateKeyExW(hive_, created.key.c_str(), 0, nullptr, 0, access | entry.view, nullptr,
                                          &opened, &disposition);
            if (status != ERROR_SUCCESS) return status;
            key.reset(opened);
            if (disposition == REG_CREATED_NEW_KEY) changes_.push_back(std::move(created));
        }
        Change set{entry.key, entry.view, false, entry.name};
        DWORD size = 0;
        if (RegQueryValueExW(key.get(), set.name.c_str(), nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
            set.previous.resize(size);
            set.had_value = RegQueryValueExW(key.get(), set.name.c_str(), nullptr, &set.previous_type,
                                             set.previous.data(), &size) == ERROR_SUCCESS;
            set.previous.resize(size);
        }
        LONG status = RegSetValueExW(key.get(), set.name.c_str(), 0, REG_SZ, (const BYTE *)entry.value.c_str(),
                                     (DWORD)((entry.value.size() + 1) * sizeof(wchar_t)));
        if (status == ERROR_SUCCESS) changes_.push_back(std::move(set));
        return status;
    }

    // Newest first; what cannot be taken back is left as it is.
    void undo()
    {
        for (auto change = changes_.rbegin(); change != changes_.rend(); ++change) {
            if (change->key_created) {
                RegDeleteKeyExW(hive_, change->key.c_str(), change->view, 0);
                continue;
            }
            HKEY key = nullptr;
            if (RegOpenKeyExW(hive_, change->key.c_str(), 0, KEY_SET_VALUE | change->view, &key) != ERROR_SUCCESS)
                continue;
            UniqueKey owner(key);
            if (change->had_value)
                RegSetValueExW(key, change->name.c_str(), 0, change->previous_type, change->previous.data(),
                               (DWORD)change->previous.size());
            else
                RegDeleteValueW(key, change->name.c_str());
        }
        changes_.clear();
    }

private:
    struct Change {
        std::wstring key;
        REGSAM view;
        bool key_created;  // otherwise a value set
        std::wstring name{}; // of the value
        bool had_value = false;
        DWORD previous_type = REG_NONE;
        std::vector<BYTE> previous{};
    };
    HKEY hive_;
    std::vector<Change> changes_;
};

HRESULT register_server(Scope scope)
{
    std::wstring path = module_path();
    if (path.empty()) return HRESULT_FROM_WIN32(GetLastError());
    TypeLibraryFacts typelib;
    HRESULT hr = read_type_library_facts(typelib);
    if (FAILED(hr)) return hr;
    Journal journal(hive(scope));
    for (const Entry &entry : entries(path, typelib)) {
        LONG status = journal.write(entry);
        if (status != ERROR_SUCCESS) {
            journal.undo();
            return HRESULT_FROM_WIN32(status);
        }
    }
    return S_OK;
}

// A key that cannot be read for another reason may well be there.
bool key_absent(HKEY hive, const std::wstring &path, REGSAM view)
{
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(hive, path.c_str(), 0, KEY_READ | view, &key);
    if (status == ERROR_SUCCESS) RegCloseKey(key);
    return status == ERROR_FILE_NOT_FOUND;
}

// Removes a key with all it holds, one level at a time in the given view.  A
// key already gone is no error.
LONG delete_tree(HKEY hive, const std::wstring &path, REGSAM view)
{
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(hive, path.c_str(), 0, KEY_ENUMERATE_SUB_KEYS | view, &key);
    if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    if (status != ERROR_SUCCESS) return status;
    std::vector<std::wstring> children;
    {
        UniqueKey owner(key);
        wchar_t name[256];
        DWORD length = 256;
        for (DWORD index = 0; RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
             ++index, length = 256)
            children.emplace_back(name, length);
    }
    for (const std::wstring &child : children)
        if ((status = delete_tree(hive, path + L"\\" + child, view)) != ERROR_SUCCESS) return status;
    return RegDeleteKeyExW(hive, path.c_str(), view, 0);
}

// Removes this build's own entries, and those both builds share only when the
// other build's class is not registered in the other view.  The first failure
// is reported; the remaining entries are still removed.
HRESULT unregister_server(Scope scope)
{
    HKEY root = hive(scope);
    LONG failure = ERROR_SUCCESS;
    auto remove = [&](const std::wstring &path, REGSAM view) {
        LONG status = delete_tree(root, path, view);
        if (failure == ERROR_SUCCESS) failure = status;
    };
    // A key left without subkeys is removed; one still in use stays.
    auto remove_if_empty = [&](const std::wstring &path) { RegDeleteKeyExW(root, path.c_str(), OwnView, 0); };

    remove(class_key(), OwnView);
    std::wstring version = typelib_version_key();
    for (const wchar_t *locale : TypeLibLocales) {
        remove(version + L"\\" + locale + L"\\" + Platform, OwnView);
        remove_if_empty(version + L"\\" + locale);
    }
    if (key_absent(root, class_key(), OtherView)) {
        remove(progid_key(), OwnView);
        remove(interface_key(), OwnView);
        remove(interface_key(), OtherView);
        remove(version, OwnView);
        remove_if_empty(typelib_key());
    }
    return HRESULT_FROM_WIN32(failure);
}

} // namespace

void module_add_ref() { InterlockedIncrement(&module_refs); }
void module_release() { InterlockedDecrement(&module_refs); }

// Loaded on first use; freed by DllCanUnloadNow, under the same lock, when no
// object, factory reference or lock is left that could be reading it.
HRESULT library_type_info(TypeInfoKind kind, ITypeInfo **info)
{
    AcquireSRWLockExclusive(&type_info_lock);
    HRESULT hr = S_OK;
    if (!cached_type_infos) {
        TypeInfos *infos = new (std::nothrow) TypeInfos{};
        hr = infos ? load_type_infos(*infos) : E_OUTOFMEMORY;
        if (SUCCEEDED(hr))
            cached_type_infos = infos;
        else
            release_type_infos(infos);
    }
    if (SUCCEEDED(hr)) {
        *info = cached_type_infos->of[(int)kind];
        (*info)->AddRef();
    }
    ReleaseSRWLockExclusive(&type_info_lock);
    return hr;
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
    AcquireSRWLockExclusive(&type_info_lock);
    bool unused = module_refs == 0;
    if (unused) {
        release_type_infos(cached_type_infos);
        cached_type_infos = nullptr;
    }
    ReleaseSRWLockExclusive(&type_info_lock);
    return unused ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() { return register_server(Scope::Machine); }

STDAPI DllUnregisterServer() { return unregister_server(Scope::Machine); }

// regsvr32 /n /i:user registers for the current user only (with /u, removes
// that registration); without a command line it does what DllRegisterServer
// and DllUnregisterServer do.
STDAPI DllInstall(BOOL install, LPCWSTR command_line)
{
    Scope scope = Scope::Machine;
    if (command_line && *command_line) {
        if (CompareStringOrdinal(command_line, -1, L"user", -1, TRUE) != CSTR_EQUAL) return E_INVALIDARG;
        scope = Scope::User;
    }
    return install ? register_server(scope) : unregister_server(scope);
}

// Server plumbing: module lifetime, the type info, the class factory, and the
// exported entry points, which call into the registration.

#include <windows.h>
#include <oleauto.h>

#include <new>
#include <string>

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

STDAPI DllRegisterServer()
{
    std::wstring path = module_path();
    return path.empty() ? HRESULT_FROM_WIN32(GetLastError()) : register_server(Scope::Machine, path);
}

STDAPI DllUnregisterServer() { return unregister_server(Scope::Machine); }

// regsvr32 /n /i:user registers for the current user only (with /u, removes
// that registration); without a command line it does what DllRegisterServer
// and DllUnregisterServer do.
STDAPI DllInstall(BOOL install, LPCWSTR command_line)
{
    Scope scope;
    if (!scope_of_command_line(command_line, scope)) return E_INVALIDARG;
    if (!install) return unregister_server(scope);
    std::wstring path = module_path();
    return path.empty() ? HRESULT_FROM_WIN32(GetLastError()) : register_server(scope, path);
}

#pragma once
// CLibrary, the one class of IMV_v11.  The members of each area live in their
// own file: library.cpp (IUnknown, IDispatch, lCia), registry.cpp,
// settings.cpp (installation records and status flag), desktop.cpp.

#include <windows.h>
#include <oleauto.h>
#include <ocidl.h>

#include <string>

#include "IMV_v11.h"

// Objects and class-factory locks alive in the module.
void module_add_ref();
void module_release();
// Type information from the module's own type library resource, loaded once:
// the dual interface's dispatch side (what hosts are given), its virtual-table
// side (what dispatch goes through), and the class.
enum class TypeInfoKind { Dispatch, Interface, Class };
HRESULT library_type_info(TypeInfoKind kind, ITypeInfo **info);

// HKEY_CURRENT_USER as the Long the interface carries.
constexpr LONG CurrentUser = (LONG)0x80000001;

// A reference held on an object for the length of one call, so that a client
// that lets go of the object while the call runs a message loop (a message
// box, the shell) cannot free it under the call.
class CallReference {
public:
    explicit CallReference(IUnknown *object) : object_(object) { object_->AddRef(); }
    ~CallReference() { object_->Release(); }
    CallReference(const CallReference &) = delete;
    CallReference &operator=(const CallReference &) = delete;

private:
    IUnknown *object_;
};

class CLibrary : public _CLibrary, public ISupportErrorInfo, public IProvideClassInfo {
public:
    CLibrary();

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void **object) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IDispatch
    STDMETHODIMP GetTypeInfoCount(UINT *count) override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo **info) override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR *names, UINT count, LCID lcid, DISPID *ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS *params, VARIANT *result,
                        EXCEPINFO *exception, UINT *arg_error) override;

    // ISupportErrorInfo
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override;

    // IProvideClassInfo
    STDMETHODIMP GetClassInfo(ITypeInfo **info) override;

    // _CLibrary, in interface order
    STDMETHODIMP get_lCia(BSTR *value) override;
    STDMETHODIMP put_lCia(BSTR value) override;
    STDMETHODIMP Copy_picture(BSTR *lpFile) override;
    STDMETHODIMP DefaultPrinterInfo(BSTR *result) override;
    STDMETHODIMP CreateRegistryKey(LONG hKey, BSTR KeyName, VARIANT_BOOL *result) override;
    STDMETHODIMP DeleteRegistryKey(LONG hKey, BSTR KeyName) override;
    STDMETHODIMP GetRegistryValue(LONG hKey, BSTR KeyName, BSTR ValueName, short KeyType, VARIANT *DefaultValue,
                                  VARIANT *result) override;
    STDMETHODIMP SetRegistryValue(LONG hKey, BSTR KeyName, BSTR ValueName, short KeyType, VARIANT *value) override;
    STDMETHODIMP DeleteRegistryValue(LONG hKey, BSTR KeyName, BSTR ValueName) override;
    STDMETHODIMP prcLink(BSTR *lpFile) override;
    STDMETHODIMP prcLink_About(BSTR *lpFile) override;
    STDMETHODIMP prcDesinstalar_Addin() override;
    STDMETHODIMP App_Exist(VARIANT_BOOL *result) override;
    STDMETHODIMP prcChecked_Key_RG() override;
    STDMETHODIMP CheckRegistryKey(LONG hKey, BSTR KeyName, VARIANT_BOOL *result) override;
    STDMETHODIMP TypeInstallation(BSTR lpType, VARIANT *result) override;
    STDMETHODIMP ReadTypeInstall(short *result) override;
    STDMETHODIMP prcSet_status_Addin(BSTR *lpStatus) override;
    STDMETHODIMP Get_status_Addin(BSTR *result) override;
    STDMETHODIMP IsAddin_Installed(VARIANT_BOOL *result) override;
    STDMETHODIMP Delete_All() override;
    STDMETHODIMP prcDir(BSTR *lpVal) override;
    STDMETHODIMP InstallPath(BSTR *result) override;
    STDMETHODIMP prcSet_Addin(BSTR *lpStatus) override;
    STDMETHODIMP EnumRegistryKeys(LONG hKey, BSTR KeyName, SAFEARRAY **result) override;
    STDMETHODIMP SetRegistryValueX(BSTR KeyName, BSTR ValueName, short KeyType, VARIANT *value) override;
    STDMETHODIMP GetRegistryValueX(BSTR KeyName, BSTR ValueName, short KeyType, VARIANT *DefaultValue,
                                   VARIANT *result) override;
    STDMETHODIMP lpHkey_app(BSTR *result) override;
    STDMETHODIMP Delete_information_All(VARIANT_BOOL *result) override;
    STDMETHODIMP Limpia() override;
    STDMETHODIMP GetWindowsDir(BSTR *result) override;
    STDMETHODIMP StripTerminator(BSTR strString, BSTR *result) override;

private:
    virtual ~CLibrary();
    // The object's own interface: methods call each other through it, as an
    // outside caller would.  (The class is not final, so that such calls stay
    // calls through the virtual table.)
    _CLibrary *self() { return this; }

    LONG refs_ = 1;
    std::wstring lCia_;
};

// The product's installation records in HKEY_CURRENT_USER and the add-in
// status flag.

#include "library.h"
#include "not_available.h"

STDMETHODIMP CLibrary::prcDesinstalar_Addin() { return not_available(L"prcDesinstalar_Addin"); }
STDMETHODIMP CLibrary::App_Exist(VARIANT_BOOL *) { return not_available(L"App_Exist"); }
STDMETHODIMP CLibrary::prcChecked_Key_RG() { return not_available(L"prcChecked_Key_RG"); }
STDMETHODIMP CLibrary::TypeInstallation(BSTR, VARIANT *) { return not_available(L"TypeInstallation"); }
STDMETHODIMP CLibrary::ReadTypeInstall(short *) { return not_available(L"ReadTypeInstall"); }
STDMETHODIMP CLibrary::prcSet_status_Addin(BSTR *) { return not_available(L"prcSet_status_Addin"); }
STDMETHODIMP CLibrary::Get_status_Addin(BSTR *) { return not_available(L"Get_status_Addin"); }
STDMETHODIMP CLibrary::IsAddin_Installed(VARIANT_BOOL *) { return not_available(L"IsAddin_Installed"); }
STDMETHODIMP CLibrary::Delete_All() { return not_available(L"Delete_All"); }
STDMETHODIMP CLibrary::prcDir(BSTR *) { return not_available(L"prcDir"); }
STDMETHODIMP CLibrary::InstallPath(BSTR *) { return not_available(L"InstallPath"); }
STDMETHODIMP CLibrary::prcSet_Addin(BSTR *) { return not_available(L"prcSet_Addin"); }
STDMETHODIMP CLibrary::lpHkey_app(BSTR *) { return not_available(L"lpHkey_app"); }
STDMETHODIMP CLibrary::Delete_information_All(VARIANT_BOOL *) { return not_available(L"Delete_information_All"); }

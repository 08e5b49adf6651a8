// Desktop services: the clipboard picture, the default-printer entry, opening
// a document with its program, the Windows directory.

#include "library.h"
#include "not_available.h"

STDMETHODIMP CLibrary::Copy_picture(BSTR *) { return not_available(L"Copy_picture"); }
STDMETHODIMP CLibrary::DefaultPrinterInfo(BSTR *) { return not_available(L"DefaultPrinterInfo"); }
STDMETHODIMP CLibrary::prcLink(BSTR *) { return not_available(L"prcLink"); }
STDMETHODIMP CLibrary::prcLink_About(BSTR *) { return not_available(L"prcLink_About"); }
STDMETHODIMP CLibrary::Limpia() { return not_available(L"Limpia"); }
STDMETHODIMP CLibrary::GetWindowsDir(BSTR *) { return not_available(L"GetWindowsDir"); }
STDMETHODIMP CLibrary::StripTerminator(BSTR, BSTR *) { return not_available(L"StripTerminator"); }

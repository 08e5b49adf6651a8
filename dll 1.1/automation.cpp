#include "automation.h"

namespace {

const wchar_t *runtime_description(long number)
{
    switch (number) {
    case ErrInvalidCall: return L"Invalid procedure call or argument";
    case ErrOverflow: return L"Overflow";
    case ErrOutOfMemory: return L"Out of memory";
    case ErrSubscriptOutOfRange: return L"Subscript out of range";
    case ErrTypeMismatch: return L"Type mismatch";
    case ErrFileAccess: return L"Path/File access error";
    case ErrInvalidUseOfNull: return L"Invalid use of Null";
    case ErrInvalidPicture: return L"Invalid picture";
    case ErrClipboard: return L"Can't open Clipboard";
    default: return L"Application-defined or object-defined error";
    }
}

} // namespace

void raise(long number, std::wstring description)
{
    throw AutomationError{error_hresult(number), std::move(description)};
}

AutomationError runtime_error(long number) { return AutomationError{error_hresult(number), runtime_description(number)}; }

void raise(long number) { throw runtime_error(number); }

void pass_on(HRESULT hr)
{
    if (SUCCEEDED(hr)) return;
    AutomationError error{hr, {}};
    IErrorInfo *info = nullptr;
    if (GetErrorInfo(0, &info) == S_OK && info) {
        BSTR description = nullptr;
        if (SUCCEEDED(info->GetDescription(&description))) error.description.assign(view(description));
        SysFreeString(description);
        info->Release();
    }
    throw error;
}

HRESULT report(const AutomationError &error)
{
    ICreateErrorInfo *create = nullptr;
    if (SUCCEEDED(CreateErrorInfo(&create))) {
        create->SetDescription(const_cast<LPOLESTR>(error.description.c_str()));
        IErrorInfo *info = nullptr;
        if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, (void **)&info))) {
            SetErrorInfo(0, info);
            info->Release();
        }
        create->Release();
    }
    return error.hr;
}

UniqueBstr make_bstr(std::wstring_view text)
{
    BSTR copy = SysAllocStringLen(text.data(), (UINT)text.size());
    if (!copy) throw std::bad_alloc();
    return UniqueBstr(copy);
}

Variant text_variant(std::wstring_view text)
{
    Variant value;
    V_BSTR(value.get()) = make_bstr(text).release();
    V_VT(value.get()) = VT_BSTR;
    return value;
}

Variant argument(const VARIANT &value)
{
    const VARIANT *source = &value;
    if (V_VT(source) == (VT_BYREF | VT_VARIANT)) source = V_VARIANTREF(source);
    // A reference to a reference may point at itself, or on to a null pointer.
    if (!source || V_VT(source) == (VT_BYREF | VT_VARIANT)) raise(ErrInvalidCall);
    VARTYPE type = V_VT(source);
    bool by_reference = type & VT_BYREF;
    if (by_reference && !V_BYREF(source)) raise(ErrInvalidCall);
    if ((type & ~VT_BYREF) == VT_BSTR && !(by_reference ? *V_BSTRREF(source) : V_BSTR(source))) return text_variant(L"");
    Variant copy;
    HRESULT hr = VariantCopyInd(copy.get(), const_cast<VARIANT *>(source));
    if (hr == E_OUTOFMEMORY) throw std::bad_alloc();
    if (FAILED(hr)) raise(ErrTypeMismatch); // a type no variant may have
    return copy;
}

void convert(const VARIANT &source, VARTYPE to, Variant &out)
{
    if (V_VT(&source) == VT_NULL) raise(ErrInvalidUseOfNull);
    // Booleans become "True" and "False" as the language runtime writes them.
    USHORT flags = to == VT_BSTR ? VARIANT_ALPHABOOL : 0;
    HRESULT hr = VariantChangeType(out.get(), const_cast<VARIANT *>(&source), flags, to);
    if (SUCCEEDED(hr)) return;
    switch (hr) {
    case DISP_E_OVERFLOW: raise(ErrOverflow);
    case E_OUTOFMEMORY: throw std::bad_alloc();
    default: raise(ErrTypeMismatch);
    }
}

void message_box(const std::wstring &text, const wchar_t *caption, UINT style)
{
    MessageBoxW(GetActiveWindow(), text.c_str(), caption, style);
}

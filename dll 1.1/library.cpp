#include "library.h"

#include <algorithm>
#include <vector>

#include "automation.h"

CLibrary::CLibrary() { module_add_ref(); }
CLibrary::~CLibrary() { module_release(); }

STDMETHODIMP CLibrary::QueryInterface(REFIID riid, void **object)
{
    if (!object) return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID__CLibrary) {
        *object = static_cast<_CLibrary *>(this);
    } else if (riid == IID_ISupportErrorInfo) {
        *object = static_cast<ISupportErrorInfo *>(this);
    } else if (riid == IID_IProvideClassInfo) {
        *object = static_cast<IProvideClassInfo *>(this);
    } else {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CLibrary::AddRef() { return InterlockedIncrement(&refs_); }

STDMETHODIMP_(ULONG) CLibrary::Release()
{
    ULONG refs = InterlockedDecrement(&refs_);
    if (refs == 0) delete this;
    return refs;
}

STDMETHODIMP CLibrary::InterfaceSupportsErrorInfo(REFIID riid)
{
    return riid == IID__CLibrary ? S_OK : S_FALSE;
}

STDMETHODIMP CLibrary::GetClassInfo(ITypeInfo **info)
{
    if (!info) return E_POINTER;
    *info = nullptr;
    return library_type_info(TypeInfoKind::Class, info);
}

STDMETHODIMP CLibrary::GetTypeInfoCount(UINT *count)
{
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
}

STDMETHODIMP CLibrary::GetTypeInfo(UINT index, LCID, ITypeInfo **info)
{
    if (!info) return E_POINTER;
    *info = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    return library_type_info(TypeInfoKind::Dispatch, info);
}

STDMETHODIMP CLibrary::GetIDsOfNames(REFIID riid, LPOLESTR *names, UINT count, LCID, DISPID *ids)
{
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    ITypeInfo *info = nullptr;
    HRESULT hr = library_type_info(TypeInfoKind::Interface, &info);
    if (FAILED(hr)) return hr;
    hr = info->GetIDsOfNames(names, count, ids);
    info->Release();
    return hr;
}

namespace {

bool is_missing(const VARIANT &arg) { return V_VT(&arg) == VT_ERROR && V_ERROR(&arg) == DISP_E_PARAMNOTFOUND; }

// The declared defaults of one method, read once from the type library.
struct DeclaredDefaults {
    DISPID id;
    UINT inputs;                                   // parameters before the return value
    std::vector<std::pair<UINT, VARIANT>> values;  // parameter index, its default
};

// Every method with a declared default.  Built once and kept for the life of
// the module (the values are never freed: a few empty strings).
const std::vector<DeclaredDefaults> &declared_defaults(ITypeInfo *info)
{
    static const std::vector<DeclaredDefaults> table = [info] {
        std::vector<DeclaredDefaults> table;
        TYPEATTR *attr = nullptr;
        if (FAILED(info->GetTypeAttr(&attr))) return table;
        for (UINT f = 0; f < attr->cFuncs; ++f) {
            FUNCDESC *desc = nullptr;
            if (FAILED(info->GetFuncDesc(f, &desc))) continue;
            DeclaredDefaults entry{desc->memid, 0, {}};
            for (SHORT p = 0; p < desc->cParams; ++p) {
                const PARAMDESC &pd = desc->lprgelemdescParam[p].paramdesc;
                if (pd.wParamFlags & PARAMFLAG_FRETVAL) break;
                ++entry.inputs;
                if ((pd.wParamFlags & PARAMFLAG_FHASDEFAULT) && pd.pparamdescex) {
                    VARIANT value;
                    VariantInit(&value);
                    VariantCopy(&value, &pd.pparamdescex->varDefaultValue);
                    entry.values.emplace_back(p, value);
                }
            }
            if (desc->invkind == INVOKE_FUNC && !entry.values.empty()) table.push_back(entry);
            info->ReleaseFuncDesc(desc);
        }
        info->ReleaseTypeAttr(attr);
        return table;
    }();
    return table;
}

// The caller's arguments, positional and named, as positional arguments with
// the declared default of every omitted parameter filled in.  The platform's
// type-info dispatch passes a bogus pointer for an omitted VARIANT* parameter
// that has a declared default (seen with Wine 8), so the class supplies the
// defaults itself, as Windows does.
class DefaultedArguments {
public:
    DefaultedArguments(ITypeInfo *info, DISPID id, WORD flags, const DISPPARAMS *params)
    {
        if (!params || !(flags & DISPATCH_METHOD) || (params->cArgs && !params->rgvarg)) return;
        for (const DeclaredDefaults &entry : declared_defaults(info))
            if (entry.id == id) fill(entry, *params);
    }
    ~DefaultedArguments()
    {
        for (UINT slot : owned_) VariantClear(&args_[slot]);
    }
    DefaultedArguments(const DefaultedArguments &) = delete;
    DefaultedArguments &operator=(const DefaultedArguments &) = delete;

    // The arguments to use: the filled ones, or the caller's own.
    DISPPARAMS *use(DISPPARAMS *params) { return args_.empty() ? params : &filled_; }

private:
    void fill(const DeclaredDefaults &entry, const DISPPARAMS &params)
    {
        if (params.cArgs > entry.inputs || params.cNamedArgs > params.cArgs) return;
        if (params.cNamedArgs && !params.rgdispidNamedArgs) return;
        // The caller's argument of each parameter.  rgvarg holds the named
        // arguments first, then the positional ones last first; a named
        // argument's id is its parameter's position.  Anything odd is left to
        // the dispatcher to refuse.
        std::vector<const VARIANT *> given(entry.inputs, nullptr);
        UINT positional = params.cArgs - params.cNamedArgs;
        for (UINT p = 0; p < positional; ++p) given[p] = &params.rgvarg[params.cArgs - 1 - p];
        for (UINT n = 0; n < params.cNamedArgs; ++n) {
            DISPID p = params.rgdispidNamedArgs[n];
            if (p < 0 || (UINT)p >= entry.inputs || given[p]) return;
            given[p] = &params.rgvarg[n];
        }
        auto omitted = [&](UINT p) { return !given[p] || is_missing(*given[p]); };
        bool any = false;
        for (const auto &value : entry.values) any |= omitted(value.first);
        if (!any) return;

        UINT count = 0;
        for (UINT p = 0; p < entry.inputs; ++p)
            if (given[p]) count = p + 1;
        for (const auto &value : entry.values)
            if (omitted(value.first)) count = std::max(count, value.first + 1);
        args_.resize(count);
        for (UINT p = 0; p < count; ++p) {
            VARIANT &slot = args_[count - 1 - p];
            if (given[p]) {
                slot = *given[p]; // borrowed
            } else {
                V_VT(&slot) = VT_ERROR;
                V_ERROR(&slot) = DISP_E_PARAMNOTFOUND;
            }
        }
        // Each call gets its own copy of a default: the type-info dispatch
        // may write an in/out parameter back into its argument slot.
        for (const auto &value : entry.values) {
            if (!omitted(value.first)) continue;
            UINT slot = count - 1 - value.first;
            VariantInit(&args_[slot]);
            VariantCopy(&args_[slot], const_cast<VARIANT *>(&value.second));
            owned_.push_back(slot);
        }
        filled_.rgvarg = args_.data();
        filled_.cArgs = count;
    }

    std::vector<VARIANT> args_; // borrowed from the caller, except the owned_ slots
    std::vector<UINT> owned_;
    DISPPARAMS filled_{};
};

} // namespace

STDMETHODIMP CLibrary::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS *params, VARIANT *result,
                              EXCEPINFO *exception, UINT *arg_error)
{
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    CallReference hold(static_cast<_CLibrary *>(this));
    ITypeInfo *info = nullptr;
    HRESULT hr = library_type_info(TypeInfoKind::Interface, &info);
    if (FAILED(hr)) return hr;
    {
        DefaultedArguments args(info, id, flags, params);
        hr = info->Invoke(static_cast<_CLibrary *>(this), id, flags, args.use(params), result, exception, arg_error);
    }
    info->Release();
    return hr;
}

STDMETHODIMP CLibrary::get_lCia(BSTR *value)
{
    return guarded([&] { *require(value) = make_bstr(lCia_).release(); });
}

STDMETHODIMP CLibrary::put_lCia(BSTR value)
{
    return guarded([&] { lCia_.assign(view(value)); });
}

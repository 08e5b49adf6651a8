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
    return library_type_info(info);
}

STDMETHODIMP CLibrary::GetIDsOfNames(REFIID riid, LPOLESTR *names, UINT count, LCID, DISPID *ids)
{
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    ITypeInfo *info = nullptr;
    HRESULT hr = library_type_info(&info);
    if (FAILED(hr)) return hr;
    hr = info->GetIDsOfNames(names, count, ids);
    info->Release();
    return hr;
}

namespace {

bool is_missing(const VARIANT &arg) { return V_VT(&arg) == VT_ERROR && V_ERROR(&arg) == DISP_E_PARAMNOTFOUND; }

// Arguments with the declared default of every omitted parameter filled in.
// The platform's type-info dispatch passes a bogus pointer for an omitted
// VARIANT* parameter that has a declared default (seen with Wine 8), so the
// class supplies the defaults itself, as Windows does.  Named arguments are
// passed on as they are.
class DefaultedArguments {
public:
    DefaultedArguments(ITypeInfo *info, DISPID id, WORD flags, const DISPPARAMS *params)
    {
        if (!params || params->cNamedArgs != 0 || !(flags & DISPATCH_METHOD)) return;
        ITypeInfo2 *info2 = nullptr;
        if (FAILED(info->QueryInterface(IID_ITypeInfo2, (void **)&info2))) return;
        UINT index = 0;
        FUNCDESC *desc = nullptr;
        if (SUCCEEDED(info2->GetFuncIndexOfMemId(id, INVOKE_FUNC, &index)) && SUCCEEDED(info->GetFuncDesc(index, &desc))) {
            fill(*desc, *params);
            info->ReleaseFuncDesc(desc);
        }
        info2->Release();
    }
    ~DefaultedArguments()
    {
        for (VARIANT &arg : defaults_) VariantClear(&arg);
    }
    DefaultedArguments(const DefaultedArguments &) = delete;
    DefaultedArguments &operator=(const DefaultedArguments &) = delete;

    // The arguments to use: the filled ones, or the caller's own.
    DISPPARAMS *use(DISPPARAMS *params) { return args_.empty() ? params : &filled_; }

private:
    void fill(const FUNCDESC &desc, const DISPPARAMS &params)
    {
        UINT inputs = 0;
        for (SHORT p = 0; p < desc.cParams && !(desc.lprgelemdescParam[p].paramdesc.wParamFlags & PARAMFLAG_FRETVAL); ++p)
            ++inputs;
        if (params.cArgs > inputs) return;
        // rgvarg holds the arguments last first; parameter p sits at cArgs - 1 - p.
        std::vector<UINT> to_fill;
        for (UINT p = 0; p < inputs; ++p) {
            const PARAMDESC &pd = desc.lprgelemdescParam[p].paramdesc;
            bool omitted = p >= params.cArgs || is_missing(params.rgvarg[params.cArgs - 1 - p]);
            if (omitted && (pd.wParamFlags & PARAMFLAG_FHASDEFAULT) && pd.pparamdescex) to_fill.push_back(p);
        }
        if (to_fill.empty()) return;
        UINT count = std::max<UINT>(params.cArgs, to_fill.back() + 1);
        args_.resize(count);
        defaults_.resize(to_fill.size());
        for (UINT p = 0; p < params.cArgs; ++p) args_[count - 1 - p] = params.rgvarg[params.cArgs - 1 - p];
        for (UINT p = params.cArgs; p < count; ++p) {
            V_VT(&args_[count - 1 - p]) = VT_ERROR;
            V_ERROR(&args_[count - 1 - p]) = DISP_E_PARAMNOTFOUND;
        }
        for (size_t i = 0; i < to_fill.size(); ++i) {
            VariantInit(&defaults_[i]);
            VariantCopy(&defaults_[i], &desc.lprgelemdescParam[to_fill[i]].paramdesc.pparamdescex->varDefaultValue);
            args_[count - 1 - to_fill[i]] = defaults_[i];
        }
        filled_.rgvarg = args_.data();
        filled_.cArgs = count;
    }

    std::vector<VARIANT> args_;     // borrowed from the caller or from defaults_
    std::vector<VARIANT> defaults_; // owned
    DISPPARAMS filled_{};
};

} // namespace

STDMETHODIMP CLibrary::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS *params, VARIANT *result,
                              EXCEPINFO *exception, UINT *arg_error)
{
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    ITypeInfo *info = nullptr;
    HRESULT hr = library_type_info(&info);
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

// The product's installation records in HKEY_CURRENT_USER and the add-in
// status flag.  Every registry access goes through the registry methods of
// the object's own interface; every value is text in the binary text form
// (type code 3).

#include "../common/registry.h"
#include "automation.h"
#include "library.h"
#include "settings_rules.h"

namespace {

const wchar_t ProductKey[] = L"Software\\Marvisto11";
const wchar_t SettingsKey[] = L"Software\\Marvisto11\\Groupdate";

// Writes `text` into a value of the settings key.  An empty text cannot be
// stored: SetRegistryValue raises error 9 for it.
void store_text(_CLibrary *library, const wchar_t *name, std::wstring_view text)
{
    UniqueBstr key = make_bstr(SettingsKey), value_name = make_bstr(name);
    Variant value = text_variant(text);
    pass_on(library->SetRegistryValue(CurrentUser, key.get(), value_name.get(), TypeBinary, value.get()));
}

// A value of the settings key as text; missing, or too long to read, is "".
std::wstring read_text(_CLibrary *library, const wchar_t *name)
{
    UniqueBstr key = make_bstr(SettingsKey), value_name = make_bstr(name);
    Variant missing = text_variant(L""), result;
    pass_on(library->GetRegistryValue(CurrentUser, key.get(), value_name.get(), TypeBinary, missing.get(), result.get()));
    const VARIANT &read = *result.get();
    if (V_VT(&read) == (VT_ARRAY | VT_UI1)) {
        const SAFEARRAY *bytes = V_ARRAY(&read);
        return decode_binary_text(static_cast<const unsigned char *>(bytes->pvData), bytes->rgsabound[0].cElements);
    }
    return std::wstring(view(V_BSTR(&read))); // the default
}

void delete_key(_CLibrary *library, const wchar_t *path)
{
    UniqueBstr key = make_bstr(path);
    pass_on(library->DeleteRegistryKey(CurrentUser, key.get()));
}

} // namespace

STDMETHODIMP CLibrary::prcChecked_Key_RG()
{
    return guarded([&] {
        UniqueBstr product = make_bstr(ProductKey), settings = make_bstr(SettingsKey);
        VARIANT_BOOL product_exists = VARIANT_FALSE, settings_exists = VARIANT_FALSE, existed = VARIANT_FALSE;
        pass_on(self()->CheckRegistryKey(CurrentUser, product.get(), &product_exists));
        pass_on(self()->CheckRegistryKey(CurrentUser, settings.get(), &settings_exists));
        // Creating the settings key creates a missing product key on the way.
        if (!product_exists || !settings_exists) pass_on(self()->CreateRegistryKey(CurrentUser, settings.get(), &existed));
    });
}

STDMETHODIMP CLibrary::prcDir(BSTR *lpVal)
{
    return guarded([&] {
        require(lpVal);
        pass_on(self()->prcChecked_Key_RG());
        store_text(self(), L"Dir", trim_spaces(view(*lpVal)));
    });
}

STDMETHODIMP CLibrary::InstallPath(BSTR *result)
{
    return guarded([&] {
        require(result);
        *result = make_bstr(install_path(read_text(self(), L"Dir"))).release();
    });
}

STDMETHODIMP CLibrary::TypeInstallation(BSTR lpType, VARIANT *result)
{
    return guarded([&] {
        require(result);
        pass_on(self()->prcChecked_Key_RG());
        store_text(self(), L"APP_TYPEINST", view(lpType));
        VariantInit(result);
    });
}

STDMETHODIMP CLibrary::ReadTypeInstall(short *result)
{
    return guarded([&] {
        require(result);
        *result = installation_type(read_text(self(), L"APP_TYPEINST"));
    });
}

STDMETHODIMP CLibrary::prcDesinstalar_Addin()
{
    return guarded([&] {
        pass_on(self()->prcChecked_Key_RG());
        store_text(self(), L"APP_EXIST", L"01");
        UniqueBstr status = make_bstr(L"False");
        BSTR argument = status.get();
        pass_on(self()->prcSet_status_Addin(&argument));
    });
}

STDMETHODIMP CLibrary::App_Exist(VARIANT_BOOL *result)
{
    return guarded([&] {
        require(result);
        *result = to_bool(app_exists(read_text(self(), L"APP_EXIST")));
    });
}

STDMETHODIMP CLibrary::prcSet_Addin(BSTR *lpStatus)
{
    return guarded([&] {
        require(lpStatus);
        pass_on(self()->prcChecked_Key_RG());
        store_text(self(), L"set_confg", view(*lpStatus));
    });
}

STDMETHODIMP CLibrary::lpHkey_app(BSTR *result)
{
    return guarded([&] { *require(result) = make_bstr(std::wstring(SettingsKey) + L"\\").release(); });
}

STDMETHODIMP CLibrary::Delete_information_All(VARIANT_BOOL *result)
{
    return guarded([&] {
        require(result);
        // An error of one step is dropped and the next step runs; any error
        // makes the answer false.  The settings key goes first: it lies inside
        // the product key.  A key the registry keeps is not an error.
        bool deleted = true;
        for (const wchar_t *key : {SettingsKey, ProductKey}) {
            if (trap([&] { delete_key(self(), key); })) deleted = false;
        }
        *result = to_bool(deleted);
    });
}

STDMETHODIMP CLibrary::Delete_All()
{
    CallReference hold(self());
    return guarded([&] {
        VARIANT_BOOL deleted = VARIANT_FALSE;
        pass_on(self()->Delete_information_All(&deleted));
        if (deleted != VARIANT_TRUE)
            message_box(L"Can't register Addinn.", lCia_.c_str(), MB_ICONEXCLAMATION | MB_OK);
    });
}

STDMETHODIMP CLibrary::prcSet_status_Addin(BSTR *lpStatus)
{
    return guarded([&] {
        std::wstring_view status = view(*require(lpStatus));
        if (status.size() > MaxStatusLength) raise(ErrOverflow); // before any key is touched
        std::wstring flag = encode_flag(status);
        pass_on(self()->prcChecked_Key_RG());
        store_text(self(), L"STATUS_APP", flag);
    });
}

STDMETHODIMP CLibrary::Get_status_Addin(BSTR *result)
{
    return guarded([&] {
        require(result);
        *result = make_bstr(read_text(self(), L"STATUS_APP")).release();
    });
}

STDMETHODIMP CLibrary::IsAddin_Installed(VARIANT_BOOL *result)
{
    return guarded([&] {
        require(result);
        std::wstring installed = encode_flag(L"True");
        BSTR status = nullptr;
        pass_on(self()->Get_status_Addin(&status));
        UniqueBstr owner(status);
        *result = to_bool(view(status) == installed);
    });
}

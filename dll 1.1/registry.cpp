// Direct registry access: create, delete and test keys; read, write and delete
// values of three types; list subkeys; and the HKEY_CURRENT_USER shortcuts.
// ANSI registry calls; every key is closed by its owner on every path.

#include <vector>

#include "../common/registry.h"
#include "automation.h"
#include "library.h"

namespace {

HKEY root_key(LONG hKey) { return (HKEY)(LONG_PTR)hKey; }

// True when the key already existed; raises 1001 when it cannot be created.
bool create_key(HKEY root, const std::string &path)
{
    HKEY key = nullptr;
    DWORD disposition = 0;
    if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, 0, nullptr, &key, &disposition) != ERROR_SUCCESS)
        raise(ErrLibrary, L"No fue posible crear la clave del registro");
    UniqueKey owner(key);
    return disposition == REG_OPENED_EXISTING_KEY;
}

Variant to_variant(const RegistryRead &read)
{
    Variant result;
    switch (read.outcome) {
    case RegistryRead::Text:
        return text_variant(read.text);
    case RegistryRead::Binary: {
        SAFEARRAY *array = SafeArrayCreateVector(VT_UI1, 0, (ULONG)read.bytes.size());
        if (!array) throw std::bad_alloc();
        if (!read.bytes.empty()) memcpy(array->pvData, read.bytes.data(), read.bytes.size());
        V_ARRAY(result.get()) = array;
        V_VT(result.get()) = VT_ARRAY | VT_UI1;
        break;
    }
    case RegistryRead::Number:
        V_I4(result.get()) = read.number;
        V_VT(result.get()) = VT_I4;
        break;
    default:
        break;
    }
    return result;
}

// The bytes of a binary value: a byte array from its lower bound, or anything
// the automation rules turn into one (a String gives its UTF-16 code units).
Bytes binary_data(const VARIANT &value)
{
    Variant array;
    convert(value, VT_ARRAY | VT_UI1, array);
    SAFEARRAY *bytes = V_ARRAY(array.get());
    if (!bytes || SafeArrayGetDim(bytes) != 1 || bytes->rgsabound[0].cElements == 0)
        raise(ErrSubscriptOutOfRange); // nothing to address at the lower bound
    const unsigned char *data = static_cast<const unsigned char *>(bytes->pvData);
    return Bytes(data, data + bytes->rgsabound[0].cElements);
}

void write_value(HKEY key, const std::string &name, short type, const VARIANT &value)
{
    switch (type) {
    case TypeText: {
        Variant text;
        convert(value, VT_BSTR, text);
        std::string data = to_ansi(view(V_BSTR(text.get())));
        RegSetValueExA(key, name.c_str(), 0, REG_SZ, (const BYTE *)data.c_str(), (DWORD)data.size() + 1);
        break;
    }
    case TypeBinary: {
        Bytes data = binary_data(value);
        RegSetValueExA(key, name.c_str(), 0, REG_BINARY, data.data(), (DWORD)data.size());
        break;
    }
    case TypeNumber: {
        Variant number;
        convert(value, VT_I4, number);
        DWORD data = (DWORD)V_I4(number.get());
        RegSetValueExA(key, name.c_str(), 0, REG_DWORD, (const BYTE *)&data, sizeof data);
        break;
    }
    default: // other type codes write nothing
        break;
    }
}

UniqueSafeArray list_subkeys(HKEY root, std::wstring_view path)
{
    UniqueKey opened;
    HKEY key = root;
    if (!path.empty()) {
        opened = open_key(root, to_ansi(path), KEY_READ);
        if (!opened) return UniqueSafeArray(); // the null array
        key = opened.get();
    }
    std::vector<std::wstring> names;
    names.reserve(101);
    char name[MAX_PATH];
    for (DWORD index = 0; index <= 999999; ++index) {
        if (RegEnumKeyA(key, index, name, sizeof name) != ERROR_SUCCESS) break;
        names.push_back(from_ansi(std::string_view(name, strnlen(name, sizeof name))));
    }
    opened.reset();
    UniqueSafeArray list(SafeArrayCreateVector(VT_BSTR, 0, (ULONG)names.size()));
    if (!list) throw std::bad_alloc();
    BSTR *slots = static_cast<BSTR *>(list->pvData);
    for (size_t i = 0; i < names.size(); ++i) slots[i] = make_bstr(names[i]).release();
    return list;
}

} // namespace

STDMETHODIMP CLibrary::CreateRegistryKey(LONG hKey, BSTR KeyName, VARIANT_BOOL *result)
{
    return guarded([&] {
        require(result);
        *result = to_bool(create_key(root_key(hKey), to_ansi(view(KeyName))));
    });
}

STDMETHODIMP CLibrary::DeleteRegistryKey(LONG hKey, BSTR KeyName)
{
    return guarded([&] { RegDeleteKeyA(root_key(hKey), to_ansi(view(KeyName)).c_str()); }); // refusal not reported
}

STDMETHODIMP CLibrary::CheckRegistryKey(LONG hKey, BSTR KeyName, VARIANT_BOOL *result)
{
    return guarded([&] {
        require(result);
        *result = to_bool(open_key(root_key(hKey), to_ansi(view(KeyName)), KEY_READ) != nullptr);
    });
}

STDMETHODIMP CLibrary::GetRegistryValue(LONG hKey, BSTR KeyName, BSTR ValueName, short KeyType,
                                        VARIANT *DefaultValue, VARIANT *result)
{
    return guarded([&] {
        require(result);
        // A caller that passes no default gets the declared default "".
        Variant fallback = DefaultValue ? argument(*DefaultValue) : text_variant(L"");
        RegistryRead read = read_registry_value(root_key(hKey), view(KeyName), view(ValueName), KeyType);
        if (read.outcome == RegistryRead::UnsupportedType) raise(ErrLibrary, L"Tipo de valor no compatible");
        Variant value = read.outcome == RegistryRead::UseDefault ? std::move(fallback) : to_variant(read);
        VariantInit(result);
        value.release_to(result);
    });
}

STDMETHODIMP CLibrary::SetRegistryValue(LONG hKey, BSTR KeyName, BSTR ValueName, short KeyType, VARIANT *value)
{
    return guarded([&] {
        Variant data = value ? argument(*value) : Variant();
        UniqueKey key = open_key(root_key(hKey), to_ansi(view(KeyName)), KEY_WRITE);
        if (!key) return; // this method never creates keys
        write_value(key.get(), to_ansi(view(ValueName)), KeyType, *data.get());
    });
}

STDMETHODIMP CLibrary::DeleteRegistryValue(LONG hKey, BSTR KeyName, BSTR ValueName)
{
    return guarded([&] {
        UniqueKey key = open_key(root_key(hKey), to_ansi(view(KeyName)), KEY_WRITE);
        if (key) RegDeleteValueA(key.get(), to_ansi(view(ValueName)).c_str()); // a missing value is not reported
    });
}

STDMETHODIMP CLibrary::EnumRegistryKeys(LONG hKey, BSTR KeyName, SAFEARRAY **result)
{
    return guarded([&] {
        require(result);
        *result = list_subkeys(root_key(hKey), view(KeyName)).release();
    });
}

STDMETHODIMP CLibrary::SetRegistryValueX(BSTR KeyName, BSTR ValueName, short KeyType, VARIANT *value)
{
    return guarded([&] { pass_on(self()->SetRegistryValue(CurrentUser, KeyName, ValueName, KeyType, value)); });
}

STDMETHODIMP CLibrary::GetRegistryValueX(BSTR KeyName, BSTR ValueName, short KeyType, VARIANT *DefaultValue,
                                         VARIANT *result)
{
    return guarded([&] { pass_on(self()->GetRegistryValue(CurrentUser, KeyName, ValueName, KeyType, DefaultValue, result)); });
}

// The registry methods, driven late-bound by name (as the add-in's macros do)
// and early-bound through the virtual table, with the raw registry as oracle.

#include "support.h"

#include "text.h"

namespace {

const std::wstring Key = std::wstring(ScratchKey) + L"\\values";

class Registry : public testing::Test {
protected:
    void SetUp() override
    {
        delete_tree(HKEY_CURRENT_USER, ScratchKey);
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, Key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr));
        library_ = create_library();
        ASSERT_TRUE(library_);
    }
    void TearDown() override
    {
        RegCloseKey(key_);
        delete_tree(HKEY_CURRENT_USER, ScratchKey);
    }
    Call get(const std::wstring &name, short type, std::vector<Var> extra = {})
    {
        std::vector<Var> args = {Var(HKCU_LONG), Var(Key), Var(name), Var(type)};
        args.insert(args.end(), extra.begin(), extra.end());
        return invoke(library_.Get(), L"GetRegistryValue", args);
    }
    Call set(const std::wstring &name, short type, const Var &value)
    {
        return invoke(library_.Get(), L"SetRegistryValue", {Var(HKCU_LONG), Var(Key), Var(name), Var(type), value});
    }
    HKEY key_ = nullptr;
    ComPtr<_CLibrary> library_;
};

Bytes bytes(std::initializer_list<int> list)
{
    Bytes out;
    for (int b : list) out.push_back((unsigned char)b);
    return out;
}

} // namespace

TEST_F(Registry, CreateCheckAndDeleteKeys)
{
    std::wstring deep = std::wstring(ScratchKey) + L"\\a\\b\\c";
    Call created = invoke(library_.Get(), L"CreateRegistryKey", {Var(HKCU_LONG), Var(deep)});
    ASSERT_TRUE(created.ok());
    EXPECT_EQ(VT_BOOL, created.result.vt());
    EXPECT_EQ(VARIANT_FALSE, V_BOOL(&created.result.v)); // created now
    EXPECT_TRUE(key_exists(HKEY_CURRENT_USER, deep));
    Call again = invoke(library_.Get(), L"CreateRegistryKey", {Var(HKCU_LONG), Var(deep)});
    EXPECT_EQ(VARIANT_TRUE, V_BOOL(&again.result.v)); // already there

    Call check = invoke(library_.Get(), L"CheckRegistryKey", {Var(HKCU_LONG), Var(deep)});
    EXPECT_EQ(VARIANT_TRUE, V_BOOL(&check.result.v));
    check = invoke(library_.Get(), L"CheckRegistryKey", {Var(HKCU_LONG), Var(deep + L"\\missing")});
    ASSERT_TRUE(check.ok());
    EXPECT_EQ(VARIANT_FALSE, V_BOOL(&check.result.v));

    // A key with a subkey stays, silently; the deepest goes first.
    std::wstring middle = std::wstring(ScratchKey) + L"\\a\\b";
    EXPECT_TRUE(invoke(library_.Get(), L"DeleteRegistryKey", {Var(HKCU_LONG), Var(middle)}).ok());
    EXPECT_TRUE(key_exists(HKEY_CURRENT_USER, deep));
    EXPECT_TRUE(invoke(library_.Get(), L"DeleteRegistryKey", {Var(HKCU_LONG), Var(deep)}).ok());
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, deep));
    EXPECT_TRUE(key_exists(HKEY_CURRENT_USER, middle));
    // A missing key is no error.
    EXPECT_TRUE(invoke(library_.Get(), L"DeleteRegistryKey", {Var(HKCU_LONG), Var(deep)}).ok());
}

TEST_F(Registry, CreateKeyFailureRaises1001)
{
    // A root handle that is not a key cannot hold a new key.
    Call call = invoke(library_.Get(), L"CreateRegistryKey", {Var((LONG)0x1234), Var(L"x")});
    EXPECT_EQ(1001, call.number);
    EXPECT_EQ(L"No fue posible crear la clave del registro", call.description);

    VARIANT_BOOL result = 7;
    BSTR name = SysAllocString(L"x");
    HRESULT hr = library_->CreateRegistryKey(0x1234, name, &result);
    SysFreeString(name);
    EXPECT_EQ((HRESULT)0x800A03E9, hr);
    expect_description(library_.Get(), hr, L"No fue posible crear la clave del registro");
}

TEST_F(Registry, TextValuesRoundTripAsAnsiWithTerminator)
{
    ASSERT_TRUE(set(L"s", 1, Var(L"abc")).ok());
    RawValue raw = read_raw(HKEY_CURRENT_USER, Key, L"s");
    EXPECT_EQ((DWORD)REG_SZ, raw.type);
    EXPECT_EQ(utf16_bytes(std::wstring(L"abc") + L'\0'), raw.data);
    Call read = get(L"s", 1);
    EXPECT_EQ(VT_BSTR, read.result.vt());
    EXPECT_EQ(L"abc", read.result.text());

    // The empty string, and numbers converted by the automation rules.
    ASSERT_TRUE(set(L"empty", 1, Var(L"")).ok());
    EXPECT_EQ(L"", get(L"empty", 1, {Var(L"default")}).result.text());
    ASSERT_TRUE(set(L"n", 1, Var((LONG)-42)).ok());
    EXPECT_EQ(L"-42", get(L"n", 1).result.text());

    // Characters with no form in the code page become question marks.
    ASSERT_TRUE(set(L"greek", 1, Var(L"a\u03A9b")).ok());
    EXPECT_EQ(L"a?b", get(L"greek", 1).result.text());
}

TEST_F(Registry, NamesTheCodePageCannotTakeFailInsteadOfEmptying)
{
    // UTF-8, the system code page a Windows 10 machine may have: text converts
    // whole, and a lone surrogate, which has no form there, fails rather than
    // becoming "" (the root key itself) or a replacement character.
    EXPECT_EQ("Software\\\xC3\xB1\xCE\xA9", to_ansi(L"Software\\\u00F1\u03A9", CP_UTF8));
    EXPECT_THROW(to_ansi(std::wstring(L"Software\\") + L'\xD800', CP_UTF8), TextConversionFailed);
    EXPECT_THROW(to_ansi(std::wstring(L"\xDC00") + L'a', CP_UTF8), TextConversionFailed);
    // Without a code page: the one in force.
    EXPECT_EQ(to_ansi(L"a\u00F1\u03A9", GetACP()), to_ansi(L"a\u00F1\u03A9"));
}

TEST_F(Registry, TextBufferLimitsAndOddStoredForms)
{
    std::string fits(1023, 'x'), too_long(1024, 'y');
    RegSetValueExA(key_, "fits", 0, REG_SZ, (const BYTE *)fits.c_str(), 1024);
    RegSetValueExA(key_, "long", 0, REG_SZ, (const BYTE *)too_long.c_str(), 1025);
    EXPECT_EQ(std::wstring(1023, L'x'), get(L"fits", 1).result.text());
    EXPECT_EQ(L"dflt", get(L"long", 1, {Var(L"dflt")}).result.text());

    // Stored without a terminator: the last character is lost. The byte after
    // the data must not be 0, or the registry adds a terminator itself.
    const char unterminated[] = "abcX";
    RegSetValueExA(key_, "noterm", 0, REG_SZ, (const BYTE *)unterminated, 3);
    EXPECT_EQ(L"ab", get(L"noterm", 1).result.text());
    // Zero bytes read as the empty string.
    RegSetValueExA(key_, "zero", 0, REG_SZ, (const BYTE *)"", 0);
    Call zero = get(L"zero", 1, {Var(L"dflt")});
    EXPECT_EQ(VT_BSTR, zero.result.vt());
    EXPECT_EQ(L"", zero.result.text());
}

TEST_F(Registry, BinaryValues)
{
    // A string becomes its UTF-16 code units, low byte first, no terminator.
    ASSERT_TRUE(set(L"b", 3, Var(L"abc")).ok());
    RawValue raw = read_raw(HKEY_CURRENT_USER, Key, L"b");
    EXPECT_EQ((DWORD)REG_BINARY, raw.type);
    EXPECT_EQ(bytes({0x61, 0, 0x62, 0, 0x63, 0}), raw.data);

    Call read = get(L"b", 3);
    ASSERT_EQ(VT_ARRAY | VT_UI1, read.result.vt());
    LONG lower = -1, upper = -1;
    SafeArrayGetLBound(V_ARRAY(&read.result.v), 1, &lower);
    SafeArrayGetUBound(V_ARRAY(&read.result.v), 1, &upper);
    EXPECT_EQ(0, lower);
    EXPECT_EQ(5, upper);
    EXPECT_EQ(raw.data, read.result.bytes());

    // A byte array with another lower bound is written from that bound.
    SAFEARRAYBOUND bound{3, 5};
    SAFEARRAY *array = SafeArrayCreate(VT_UI1, 1, &bound);
    memcpy(array->pvData, "\x01\x02\x03", 3);
    Var shifted;
    V_VT(&shifted.v) = VT_ARRAY | VT_UI1;
    V_ARRAY(&shifted.v) = array;
    ASSERT_TRUE(set(L"shifted", 3, shifted).ok());
    EXPECT_EQ(bytes({1, 2, 3}), read_raw(HKEY_CURRENT_USER, Key, L"shifted").data);

    // 4096 bytes fit; 4097 read as missing; zero bytes as an empty array.
    Bytes big(4096, 0xAB);
    write_raw(HKEY_CURRENT_USER, Key, L"big", REG_BINARY, big);
    EXPECT_EQ(big, get(L"big", 3).result.bytes());
    write_raw(HKEY_CURRENT_USER, Key, L"bigger", REG_BINARY, Bytes(4097, 1));
    EXPECT_EQ(L"dflt", get(L"bigger", 3, {Var(L"dflt")}).result.text());
    write_raw(HKEY_CURRENT_USER, Key, L"nothing", REG_BINARY, {});
    Call empty = get(L"nothing", 3, {Var(L"dflt")});
    ASSERT_EQ(VT_ARRAY | VT_UI1, empty.result.vt());
    SafeArrayGetLBound(V_ARRAY(&empty.result.v), 1, &lower);
    SafeArrayGetUBound(V_ARRAY(&empty.result.v), 1, &upper);
    EXPECT_EQ(0, lower);
    EXPECT_EQ(-1, upper);

    // A missing value gives the default in its own form, not an array.
    Call missing = get(L"absent", 3);
    EXPECT_EQ(VT_BSTR, missing.result.vt());
    EXPECT_EQ(L"", missing.result.text());
}

TEST_F(Registry, EmptyBinaryValueRaisesSubscriptOutOfRangeAndWritesNothing)
{
    ASSERT_TRUE(set(L"b", 3, Var(L"keep")).ok());
    Call call = set(L"b", 3, Var(L""));
    EXPECT_EQ(9, call.number);
    EXPECT_EQ(L"Subscript out of range", call.description);
    call = set(L"b", 3, Var(Bytes{}));
    EXPECT_EQ(9, call.number);
    EXPECT_EQ(utf16_bytes(L"keep"), read_raw(HKEY_CURRENT_USER, Key, L"b").data);
}

TEST_F(Registry, NumberValues)
{
    ASSERT_TRUE(set(L"n", 4, Var((LONG)-2)).ok());
    RawValue raw = read_raw(HKEY_CURRENT_USER, Key, L"n");
    EXPECT_EQ((DWORD)REG_DWORD, raw.type);
    EXPECT_EQ(bytes({0xFE, 0xFF, 0xFF, 0xFF}), raw.data);
    Call read = get(L"n", 4);
    ASSERT_EQ(VT_I4, read.result.vt());
    EXPECT_EQ(-2, V_I4(&read.result.v));

    ASSERT_TRUE(set(L"text", 4, Var(L"123")).ok());
    Call text = get(L"text", 4);
    EXPECT_EQ(123, V_I4(&text.result.v));

    // The stored type is not compared: four binary bytes read as a Long,
    // five are too many for the receiver.
    write_raw(HKEY_CURRENT_USER, Key, L"four", REG_BINARY, bytes({0x78, 0x56, 0x34, 0x12}));
    Call four = get(L"four", 4);
    EXPECT_EQ(0x12345678, V_I4(&four.result.v));
    write_raw(HKEY_CURRENT_USER, Key, L"five", REG_BINARY, bytes({1, 2, 3, 4, 5}));
    EXPECT_EQ(L"dflt", get(L"five", 4, {Var(L"dflt")}).result.text());
}

TEST_F(Registry, ConversionErrorsWriteNothing)
{
    ASSERT_TRUE(set(L"n", 4, Var((LONG)7)).ok());
    Call mismatch = set(L"n", 4, Var(L"not a number"));
    EXPECT_EQ(13, mismatch.number);
    EXPECT_EQ(L"Type mismatch", mismatch.description);
    Call overflow = set(L"n", 4, Var(L"99999999999"));
    EXPECT_EQ(6, overflow.number);
    EXPECT_EQ(L"Overflow", overflow.description);
    Var null_value;
    V_VT(&null_value.v) = VT_NULL;
    EXPECT_EQ(94, set(L"n", 4, null_value).number);
    EXPECT_EQ(bytes({7, 0, 0, 0}), read_raw(HKEY_CURRENT_USER, Key, L"n").data);

    Call not_bytes = set(L"b", 3, Var((LONG)5));
    EXPECT_EQ(13, not_bytes.number);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, read_raw(HKEY_CURRENT_USER, Key, L"b").status);
}

TEST_F(Registry, UnsupportedTypeCodes)
{
    write_raw(HKEY_CURRENT_USER, Key, L"v", REG_SZ, utf16_bytes(std::wstring(L"x") + L'\0'));
    Call call = get(L"v", 2);
    EXPECT_EQ(1001, call.number);
    EXPECT_EQ(L"Tipo de valor no compatible", call.description);
    // Without a key there is nothing to read, and no error.
    Call none = invoke(library_.Get(), L"GetRegistryValue",
                       {Var(HKCU_LONG), Var(Key + L"\\missing"), Var(L"v"), Var((short)2), Var(L"d")});
    ASSERT_TRUE(none.ok());
    EXPECT_EQ(L"d", none.result.text());
    // Writing with another code writes nothing and raises nothing.
    EXPECT_TRUE(set(L"w", 2, Var(L"x")).ok());
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, read_raw(HKEY_CURRENT_USER, Key, L"w").status);
}

TEST_F(Registry, WritesNeverCreateKeys)
{
    std::wstring missing = Key + L"\\later";
    Call call = invoke(library_.Get(), L"SetRegistryValue", {Var(HKCU_LONG), Var(missing), Var(L"v"), Var((short)1), Var(L"x")});
    EXPECT_TRUE(call.ok());
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, missing));
    invoke(library_.Get(), L"CreateRegistryKey", {Var(HKCU_LONG), Var(missing)});
    call = invoke(library_.Get(), L"SetRegistryValue", {Var(HKCU_LONG), Var(missing), Var(L"v"), Var((short)1), Var(L"x")});
    EXPECT_TRUE(call.ok());
    EXPECT_EQ(utf16_bytes(std::wstring(L"x") + L'\0'), read_raw(HKEY_CURRENT_USER, missing, L"v").data);
}

TEST_F(Registry, DeleteValue)
{
    ASSERT_TRUE(set(L"v", 1, Var(L"x")).ok());
    EXPECT_TRUE(invoke(library_.Get(), L"DeleteRegistryValue", {Var(HKCU_LONG), Var(Key), Var(L"v")}).ok());
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, read_raw(HKEY_CURRENT_USER, Key, L"v").status);
    EXPECT_TRUE(invoke(library_.Get(), L"DeleteRegistryValue", {Var(HKCU_LONG), Var(Key), Var(L"v")}).ok());
    EXPECT_TRUE(invoke(library_.Get(), L"DeleteRegistryValue", {Var(HKCU_LONG), Var(Key + L"\\none"), Var(L"v")}).ok());
}

TEST_F(Registry, DefaultValueIsCopiedFollowingReferences)
{
    // Omitted: the declared default "".
    Call omitted = get(L"absent", 1);
    ASSERT_TRUE(omitted.ok());
    EXPECT_EQ(VT_BSTR, omitted.result.vt());
    EXPECT_EQ(L"", omitted.result.text());
    Call omitted_x = invoke(library_.Get(), L"GetRegistryValueX", {Var(Key), Var(L"absent"), Var((short)4)});
    ASSERT_TRUE(omitted_x.ok());
    EXPECT_EQ(L"", omitted_x.result.text());
    // Explicitly missing, as a script passes an empty argument.
    Var missing;
    V_VT(&missing.v) = VT_ERROR;
    V_ERROR(&missing.v) = DISP_E_PARAMNOTFOUND;
    EXPECT_EQ(L"", get(L"absent", 1, {missing}).result.text());

    // By reference, as script clients pass variables; the caller's variant stays.
    Var number((LONG)17);
    Call by_ref = get(L"absent", 1, {ref(number)});
    ASSERT_EQ(VT_I4, by_ref.result.vt());
    EXPECT_EQ(17, V_I4(&by_ref.result.v));
    EXPECT_EQ(VT_I4, number.vt());

    // Early-bound: the caller passes its variant; a null pointer means "" (a
    // proxy refuses a null in/out pointer before the call leaves the caller).
    VARIANT result;
    VariantInit(&result);
    BSTR key = SysAllocString(Key.c_str()), name = SysAllocString(L"absent");
    if (!behind_proxy()) {
        ASSERT_EQ(S_OK, library_->GetRegistryValue(HKCU_LONG, key, name, 1, nullptr, &result));
        EXPECT_EQ(VT_BSTR, V_VT(&result));
        VariantClear(&result);
    }
    ASSERT_EQ(S_OK, library_->GetRegistryValueX(key, name, 4, &number.v, &result));
    EXPECT_EQ(17, V_I4(&result));
    VariantClear(&result);
    SysFreeString(key);
    SysFreeString(name);
}

TEST_F(Registry, NamedArgumentsGetTheDeclaredDefaultToo)
{
    // As a macro calls it: GetRegistryValue(hKey, KeyName, ValueName:=..., KeyType:=...),
    // with and without DefaultValue:=...
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"GetRegistryValue"), const_cast<LPOLESTR>(L"ValueName"),
                        const_cast<LPOLESTR>(L"KeyType"), const_cast<LPOLESTR>(L"DefaultValue")};
    DISPID ids[4];
    ASSERT_EQ(S_OK, library_->GetIDsOfNames(IID_NULL, names, 4, 0, ids));
    EXPECT_EQ(2, ids[1]);
    EXPECT_EQ(4, ids[3]);
    for (bool with_default : {false, true}) {
        Var args[] = {Var(L"given"), Var(L"absent"), Var((short)1), Var(Key), Var(HKCU_LONG)};
        DISPID named[] = {ids[3], ids[1], ids[2]};
        // Named arguments first; without the default, the array starts one later.
        DISPPARAMS params{with_default ? &args[0].v : &args[1].v, with_default ? named : named + 1,
                          with_default ? 5u : 4u, with_default ? 3u : 2u};
        Var result;
        EXCEPINFO exception{};
        ASSERT_EQ(S_OK, library_->Invoke(ids[0], IID_NULL, 0, DISPATCH_METHOD, &params, &result.v, &exception, nullptr));
        ASSERT_EQ(VT_BSTR, result.vt());
        EXPECT_EQ(with_default ? L"given" : L"", result.text());
    }
}

TEST_F(Registry, ReferencesToReferencesAreRefused)
{
    // A by-reference variant that points at another one, or at itself, is not
    // a valid argument: a conversion error, never a crash.
    if (behind_proxy()) GTEST_SKIP() << "a proxy copies its arguments: the caller's own marshaller would follow the cycle";
    Var inner(L"text");
    Var middle = ref(inner);
    Var self_ref;
    V_VT(&self_ref.v) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&self_ref.v) = &self_ref.v;
    BSTR key = SysAllocString(Key.c_str()), name = SysAllocString(L"v");
    for (VARIANT *value : {&middle.v, &self_ref.v}) {
        VARIANT outer;
        V_VT(&outer) = VT_BYREF | VT_VARIANT;
        V_VARIANTREF(&outer) = value;
        for (short type : {(short)1, (short)3, (short)4}) {
            HRESULT hr = library_->SetRegistryValue(HKCU_LONG, key, name, type, &outer);
            EXPECT_TRUE(hr == S_OK || HRESULT_FACILITY(hr) == FACILITY_CONTROL) << std::hex << hr;
        }
        VARIANT result;
        VariantInit(&result);
        HRESULT hr = library_->GetRegistryValue(HKCU_LONG, key, name, 2, &outer, &result);
        EXPECT_TRUE(SUCCEEDED(hr) || HRESULT_FACILITY(hr) == FACILITY_CONTROL) << std::hex << hr;
        VariantClear(&result);
        hr = library_->GetRegistryValue(HKCU_LONG, key, name, 1, &outer, &result);
        EXPECT_TRUE(SUCCEEDED(hr) || HRESULT_FACILITY(hr) == FACILITY_CONTROL) << std::hex << hr;
        VariantClear(&result);
    }
    SysFreeString(key);
    SysFreeString(name);
}

TEST_F(Registry, ValueArgumentsByReference)
{
    Var text(L"by reference");
    ASSERT_TRUE(set(L"s", 1, ref(text)).ok());
    EXPECT_EQ(L"by reference", get(L"s", 1).result.text());
    Var number((LONG)5);
    ASSERT_TRUE(invoke(library_.Get(), L"SetRegistryValueX", {Var(Key), Var(L"n"), Var((short)4), ref(number)}).ok());
    EXPECT_EQ(bytes({5, 0, 0, 0}), read_raw(HKEY_CURRENT_USER, Key, L"n").data);
    // A by-reference BSTR, as typed macro variables arrive.
    Var bstr(L"xy");
    ASSERT_TRUE(set(L"b", 3, ref(bstr, true)).ok());
    EXPECT_EQ(bytes({'x', 0, 'y', 0}), read_raw(HKEY_CURRENT_USER, Key, L"b").data);
}

TEST_F(Registry, ShortcutsActOnCurrentUserAndPassErrorsOn)
{
    ASSERT_TRUE(invoke(library_.Get(), L"SetRegistryValueX", {Var(Key), Var(L"x"), Var((short)1), Var(L"hkcu")}).ok());
    EXPECT_EQ(utf16_bytes(std::wstring(L"hkcu") + L'\0'), read_raw(HKEY_CURRENT_USER, Key, L"x").data);
    EXPECT_EQ(L"hkcu", invoke(library_.Get(), L"GetRegistryValueX", {Var(Key), Var(L"x"), Var((short)1)}).result.text());

    Call inner = invoke(library_.Get(), L"GetRegistryValueX", {Var(Key), Var(L"x"), Var((short)7)});
    EXPECT_EQ(1001, inner.number);
    EXPECT_EQ(L"Tipo de valor no compatible", inner.description);
    Call empty = invoke(library_.Get(), L"SetRegistryValueX", {Var(Key), Var(L"y"), Var((short)3), Var(L"")});
    EXPECT_EQ(9, empty.number);
    EXPECT_EQ(L"Subscript out of range", empty.description);
}

TEST_F(Registry, EnumerateSubkeys)
{
    std::wstring parent = std::wstring(ScratchKey) + L"\\list";
    for (int i = 0; i < 250; ++i) {
        HKEY k;
        RegCreateKeyExW(HKEY_CURRENT_USER, (parent + L"\\k" + std::to_wstring(i)).c_str(), 0, nullptr, 0, KEY_READ, nullptr, &k, nullptr);
        RegCloseKey(k);
    }
    Call list = invoke(library_.Get(), L"EnumRegistryKeys", {Var(HKCU_LONG), Var(parent)});
    ASSERT_EQ(VT_ARRAY | VT_BSTR, list.result.vt());
    SAFEARRAY *names = V_ARRAY(&list.result.v);
    ASSERT_NE(nullptr, names);
    LONG lower = -1, upper = -1;
    SafeArrayGetLBound(names, 1, &lower);
    SafeArrayGetUBound(names, 1, &upper);
    EXPECT_EQ(0, lower);
    ASSERT_EQ(249, upper);
    // In the platform's enumeration order.
    for (LONG i = 0; i <= upper; ++i) {
        wchar_t expected[MAX_PATH];
        HKEY k;
        RegOpenKeyExW(HKEY_CURRENT_USER, parent.c_str(), 0, KEY_READ, &k);
        RegEnumKeyW(k, i, expected, MAX_PATH);
        RegCloseKey(k);
        EXPECT_STREQ(expected, static_cast<BSTR *>(names->pvData)[i]);
    }

    // No subkeys: an empty array; a key that cannot be opened: a null array.
    Call none = invoke(library_.Get(), L"EnumRegistryKeys", {Var(HKCU_LONG), Var(parent + L"\\k0")});
    ASSERT_EQ(VT_ARRAY | VT_BSTR, none.result.vt());
    ASSERT_NE(nullptr, V_ARRAY(&none.result.v));
    SafeArrayGetLBound(V_ARRAY(&none.result.v), 1, &lower);
    SafeArrayGetUBound(V_ARRAY(&none.result.v), 1, &upper);
    EXPECT_EQ(0, lower);
    EXPECT_EQ(-1, upper);
    Call missing = invoke(library_.Get(), L"EnumRegistryKeys", {Var(HKCU_LONG), Var(parent + L"\\nope")});
    ASSERT_TRUE(missing.ok());
    EXPECT_EQ(nullptr, V_ARRAY(&missing.result.v));

    // An empty name lists the root itself.
    Call root = invoke(library_.Get(), L"EnumRegistryKeys", {Var(HKCU_LONG), Var(L"")});
    ASSERT_NE(nullptr, V_ARRAY(&root.result.v));
    bool has_software = false;
    SafeArrayGetUBound(V_ARRAY(&root.result.v), 1, &upper);
    for (LONG i = 0; i <= upper; ++i) has_software |= !_wcsicmp(static_cast<BSTR *>(V_ARRAY(&root.result.v)->pvData)[i], L"Software");
    EXPECT_TRUE(has_software);
}

TEST_F(Registry, EarlyBoundCallsMatchLateBound)
{
    BSTR key = SysAllocString(Key.c_str()), name = SysAllocString(L"e");
    VARIANT value;
    VariantInit(&value);
    V_VT(&value) = VT_BSTR;
    V_BSTR(&value) = SysAllocString(L"early");
    EXPECT_EQ(S_OK, library_->SetRegistryValue(HKCU_LONG, key, name, 1, &value));
    VariantClear(&value);
    VARIANT result;
    VariantInit(&result);
    Var no_default(L"");
    EXPECT_EQ(S_OK, library_->GetRegistryValue(HKCU_LONG, key, name, 1, &no_default.v, &result));
    EXPECT_STREQ(L"early", V_BSTR(&result));
    VariantClear(&result);

    HRESULT hr = library_->GetRegistryValue(HKCU_LONG, key, name, 9, &no_default.v, &result);
    EXPECT_EQ((HRESULT)0x800A03E9, hr);
    expect_description(library_.Get(), hr, L"Tipo de valor no compatible");

    SAFEARRAY *list = nullptr;
    BSTR scratch = SysAllocString(ScratchKey);
    EXPECT_EQ(S_OK, library_->EnumRegistryKeys(HKCU_LONG, scratch, &list));
    ASSERT_NE(nullptr, list);
    EXPECT_EQ(1u, list->rgsabound[0].cElements);
    SafeArrayDestroy(list);
    VARIANT_BOOL exists = 0;
    EXPECT_EQ(S_OK, library_->CheckRegistryKey(HKCU_LONG, key, &exists));
    EXPECT_EQ(VARIANT_TRUE, exists);
    EXPECT_EQ(S_OK, library_->DeleteRegistryValue(HKCU_LONG, key, name));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, read_raw(HKEY_CURRENT_USER, Key, L"e").status);
    SysFreeString(scratch);
    SysFreeString(key);
    SysFreeString(name);
}

TEST_F(Registry, CaptionBelongsToEachObject)
{
    ASSERT_TRUE(put_property(library_.Get(), L"lCia", Var(L"Marvisto")).ok());
    EXPECT_EQ(L"Marvisto", invoke(library_.Get(), L"lCia", {}, DISPATCH_PROPERTYGET).result.text());
    ComPtr<_CLibrary> second = create_library();
    EXPECT_EQ(L"", invoke(second.Get(), L"lCia", {}, DISPATCH_PROPERTYGET).result.text());
    // A failing method leaves it alone.
    EXPECT_EQ(1001, get(L"x", 2).number);
    BSTR caption = nullptr;
    ASSERT_EQ(S_OK, library_->get_lCia(&caption));
    EXPECT_STREQ(L"Marvisto", caption);
    SysFreeString(caption);
}

TEST_F(Registry, NoHandleLeftOpenOverManyCalls)
{
    // Warm up: the platform opens and caches the predefined roots on first use.
    get(L"warm", 1);
    set(L"warm", 1, Var(L"x"));
    invoke(library_.Get(), L"EnumRegistryKeys", {Var(HKCU_LONG), Var(ScratchKey)});
    ULONG before = process_handle_count();
    ASSERT_GT(before, 0u);
    for (int i = 0; i < 10000; ++i) {
        switch (i % 8) {
        case 0: set(L"s", 1, Var(L"text")); break;
        case 1: get(L"s", 1); break;
        case 2: get(L"s", 2); break;                 // error after opening the key
        case 3: set(L"b", 3, Var(L"")); break;       // error after opening the key
        case 4: set(L"n", 4, Var(L"nan")); break;    // conversion error
        case 5: invoke(library_.Get(), L"EnumRegistryKeys", {Var(HKCU_LONG), Var(ScratchKey)}); break;
        case 6: invoke(library_.Get(), L"CreateRegistryKey", {Var(HKCU_LONG), Var(Key + L"\\h")}); break;
        case 7: invoke(library_.Get(), L"CheckRegistryKey", {Var(HKCU_LONG), Var(Key)}); break;
        }
    }
    EXPECT_LE(process_handle_count(), before);
}

// The installation records and the status flag, driven by name through
// IDispatch and early-bound through the virtual table; the registry read back
// with the platform's wide calls.

#include "support.h"

namespace {

const wchar_t ProductKey[] = L"Software\\Marvisto11";
const wchar_t SettingsKey[] = L"Software\\Marvisto11\\Groupdate";

// The Boolean or Integer result of a call; something impossible when it has another type.
VARIANT_BOOL boolean(const Call &call) { return call.result.vt() == VT_BOOL ? V_BOOL(&call.result.v) : (VARIANT_BOOL)42; }
short integer(const Call &call) { return call.result.vt() == VT_I2 ? V_I2(&call.result.v) : (short)-42; }

class Settings : public testing::Test {
protected:
    void SetUp() override
    {
        delete_tree(HKEY_CURRENT_USER, ProductKey);
        library = create_library();
        ASSERT_TRUE(library);
    }
    void TearDown() override { delete_tree(HKEY_CURRENT_USER, ProductKey); }

    Call call(const wchar_t *name, std::vector<Var> args = {}) { return invoke(library.Get(), name, args); }
    // A method whose String parameter is by reference, as the add-in passes it.
    Call call_ref(const wchar_t *name, Var &text) { return call(name, {ref(text, true)}); }
    RawValue stored(const wchar_t *value) { return read_raw(HKEY_CURRENT_USER, SettingsKey, value); }
    void expect_binary_text(const wchar_t *value, const std::wstring &text)
    {
        RawValue raw = stored(value);
        ASSERT_EQ(ERROR_SUCCESS, raw.status) << value;
        EXPECT_EQ((DWORD)REG_BINARY, raw.type) << value;
        EXPECT_EQ(utf16_bytes(text), raw.data) << value;
    }

    ComPtr<_CLibrary> library;
};

TEST_F(Settings, EveryWriterCreatesBothKeys)
{
    Var text = L"02";
    const std::vector<std::pair<const wchar_t *, std::function<Call()>>> writers = {
        {L"prcDir", [&] { return call_ref(L"prcDir", text); }},
        {L"TypeInstallation", [&] { return call(L"TypeInstallation", {text}); }},
        {L"prcSet_Addin", [&] { return call_ref(L"prcSet_Addin", text); }},
        {L"prcSet_status_Addin", [&] { return call_ref(L"prcSet_status_Addin", text); }},
        {L"prcDesinstalar_Addin", [&] { return call(L"prcDesinstalar_Addin"); }},
        {L"prcChecked_Key_RG", [&] { return call(L"prcChecked_Key_RG"); }},
    };
    for (auto &[name, write] : writers) {
        delete_tree(HKEY_CURRENT_USER, ProductKey);
        EXPECT_EQ(S_OK, write().hr) << name;
        EXPECT_TRUE(key_exists(HKEY_CURRENT_USER, SettingsKey)) << name;
    }
    // A product key without its settings key, with a value of its own.
    delete_tree(HKEY_CURRENT_USER, ProductKey);
    write_raw(HKEY_CURRENT_USER, ProductKey, L"Other", REG_BINARY, {1, 2});
    ASSERT_EQ(S_OK, call(L"prcChecked_Key_RG").hr);
    EXPECT_TRUE(key_exists(HKEY_CURRENT_USER, SettingsKey));
    EXPECT_EQ((Bytes{1, 2}), read_raw(HKEY_CURRENT_USER, ProductKey, L"Other").data);
}

TEST_F(Settings, StoredTextsAndTheirReadings)
{
    Var folder = L"  \tC:\\Program Files\\Marvisto\t   ";
    ASSERT_EQ(S_OK, call_ref(L"prcDir", folder).hr);
    expect_binary_text(L"Dir", L"\tC:\\Program Files\\Marvisto\t");
    EXPECT_EQ(L"  \tC:\\Program Files\\Marvisto\t   ", folder.text()) << "lpVal changed";

    std::wstring longest(255, L'd');
    Var at_limit = longest;
    ASSERT_EQ(S_OK, call_ref(L"prcDir", at_limit).hr);
    EXPECT_EQ(longest, call(L"InstallPath").result.text());
    Var beyond = longest + L"e";
    ASSERT_EQ(S_OK, call_ref(L"prcDir", beyond).hr);
    expect_binary_text(L"Dir", longest + L"e");
    EXPECT_EQ(L"", call(L"InstallPath").result.text()) << "256 characters";

    const std::vector<std::pair<std::wstring, short>> types = {{L"01", 1}, {L"02", 2}, {L"2", 0}, {L"01 ", 0}, {L" 02", 0}, {L"03", 0}};
    for (auto &[text, code] : types) {
        Call stored_type = call(L"TypeInstallation", {Var(text)});
        ASSERT_EQ(S_OK, stored_type.hr) << text;
        EXPECT_EQ(VT_EMPTY, stored_type.result.vt()) << text;
        expect_binary_text(L"APP_TYPEINST", text);
        EXPECT_EQ(code, integer(call(L"ReadTypeInstall"))) << text;
    }

    Var configuration = L" a b ";
    ASSERT_EQ(S_OK, call_ref(L"prcSet_Addin", configuration).hr);
    expect_binary_text(L"set_confg", L" a b ");

    // APP_EXIST as another program may leave it: only nothing at all counts as present.
    const std::vector<std::pair<Bytes, VARIANT_BOOL>> markers = {
        {{}, VARIANT_TRUE}, {utf16_bytes(L"01"), VARIANT_FALSE}, {utf16_bytes(L"1"), VARIANT_FALSE}, {utf16_bytes(L"0"), VARIANT_FALSE}};
    for (auto &[bytes, present] : markers) {
        write_raw(HKEY_CURRENT_USER, SettingsKey, L"APP_EXIST", REG_BINARY, bytes);
        EXPECT_EQ(present, boolean(call(L"App_Exist"))) << bytes.size() << " bytes";
    }
}

TEST_F(Settings, StatusFlagFromAnsiCodes)
{
    const std::vector<std::pair<std::wstring, std::wstring>> cases = {
        {L"True", L"84114117101"}, {L"False", L"7097108115101"}, {L"true", L"116114117101"}, {L"TRUE", L"84828569"},
        {L" True", L"3284114117101"}, {L"True ", L"8411411710132"}, {L"\t", L"9"}, {L"A", L"65"},
    };
    for (auto &[text, flag] : cases) {
        Var status = text;
        ASSERT_EQ(S_OK, call_ref(L"prcSet_status_Addin", status).hr) << text;
        EXPECT_EQ(text, status.text()) << "lpStatus changed";
        expect_binary_text(L"STATUS_APP", flag);
        EXPECT_EQ(flag, call(L"Get_status_Addin").result.text()) << text;
        EXPECT_EQ(text == L"True" ? VARIANT_TRUE : VARIANT_FALSE, boolean(call(L"IsAddin_Installed"))) << text;
    }
}

TEST_F(Settings, StatusFlagAboveAsciiUsesTheAnsiCodePage)
{
    if (GetACP() != 1252) GTEST_SKIP() << "the expected codes are those of code page 1252, not " << GetACP();
    const std::vector<std::pair<std::wstring, std::wstring>> cases = {
        {L"\u00e9\u20ac", L"233128"}, // the euro sign is 128 there, far from its UTF-16 unit
        {L"\u4e2d", L"63"},            // no form in the code page: its question mark
    };
    for (auto &[text, flag] : cases) {
        Var status = text;
        ASSERT_EQ(S_OK, call_ref(L"prcSet_status_Addin", status).hr);
        EXPECT_EQ(flag, call(L"Get_status_Addin").result.text());
        expect_binary_text(L"STATUS_APP", flag);
    }
}

// The failures, late-bound and early-bound: the number and description, and
// the previous value kept.
TEST_F(Settings, EmptyTextFailsWithError9AfterTheKeys)
{
    Var folder = L"C:\\Before", config = L"before", status = L"True";
    ASSERT_EQ(S_OK, call_ref(L"prcDir", folder).hr);
    ASSERT_EQ(S_OK, call(L"TypeInstallation", {Var(L"01")}).hr);
    ASSERT_EQ(S_OK, call_ref(L"prcSet_Addin", config).hr);
    ASSERT_EQ(S_OK, call_ref(L"prcSet_status_Addin", status).hr);

    Var spaces = L"   ", empty = L"";
    const std::vector<std::pair<const wchar_t *, std::function<Call()>>> failing = {
        {L"prcDir", [&] { return call_ref(L"prcDir", spaces); }},
        {L"prcDir", [&] { return call_ref(L"prcDir", empty); }},
        {L"TypeInstallation", [&] { return call(L"TypeInstallation", {empty}); }},
        {L"prcSet_Addin", [&] { return call_ref(L"prcSet_Addin", empty); }},
        {L"prcSet_status_Addin", [&] { return call_ref(L"prcSet_status_Addin", empty); }},
    };
    for (auto &[name, write] : failing) {
        Call failed = write();
        EXPECT_EQ(9, failed.number) << name;
        EXPECT_EQ(L"Subscript out of range", failed.description) << name;
    }
    BSTR blank = SysAllocString(L"  ");
    HRESULT hr = library->prcDir(&blank);
    EXPECT_EQ((HRESULT)0x800A0009, hr);
    expect_description(library.Get(), hr, L"Subscript out of range");
    SysFreeString(blank);
    if (!behind_proxy()) { // a proxy refuses the null pointer itself
        hr = library->prcSet_status_Addin(nullptr);
        EXPECT_EQ(E_POINTER, hr) << "no by-reference string at all";
    }

    expect_binary_text(L"Dir", L"C:\\Before");
    expect_binary_text(L"APP_TYPEINST", L"01");
    expect_binary_text(L"set_confg", L"before");
    expect_binary_text(L"STATUS_APP", L"84114117101");

    // On a fresh profile the keys are made before the empty text fails.
    delete_tree(HKEY_CURRENT_USER, ProductKey);
    EXPECT_EQ(9, call_ref(L"prcSet_status_Addin", empty).number);
    EXPECT_TRUE(key_exists(HKEY_CURRENT_USER, SettingsKey));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, stored(L"STATUS_APP").status);
}

TEST_F(Settings, StatusTextBeyondSixteenBitCountOverflows)
{
    for (size_t length : {32767u, 40000u}) {
        Var status = std::wstring(length, L'x');
        Call failed = call_ref(L"prcSet_status_Addin", status);
        EXPECT_EQ(6, failed.number) << length;
        EXPECT_EQ(L"Overflow", failed.description) << length;
        EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, ProductKey)) << "a key was created for " << length;
    }
    BSTR longest = SysAllocStringLen(std::wstring(32767, L'x').c_str(), 32767);
    HRESULT hr = library->prcSet_status_Addin(&longest);
    SysFreeString(longest);
    EXPECT_EQ((HRESULT)0x800A0006, hr);
    expect_description(library.Get(), hr, L"Overflow");
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, ProductKey));

    Var status = L"True";
    ASSERT_EQ(S_OK, call_ref(L"prcSet_status_Addin", status).hr);
    Var too_long = std::wstring(32767, L'x');
    EXPECT_EQ(6, call_ref(L"prcSet_status_Addin", too_long).number);
    expect_binary_text(L"STATUS_APP", L"84114117101");

    // The longest text that counts is stored whole, though too long to read back.
    Var longest_counted = std::wstring(32766, L'x');
    ASSERT_EQ(S_OK, call_ref(L"prcSet_status_Addin", longest_counted).hr);
    std::wstring flag;
    for (int i = 0; i < 32766; ++i) flag += L"120";
    expect_binary_text(L"STATUS_APP", flag);
    EXPECT_EQ(L"", call(L"Get_status_Addin").result.text());
    EXPECT_EQ(VARIANT_FALSE, boolean(call(L"IsAddin_Installed")));
}

TEST_F(Settings, SettingsKeyThatCannotBeCreatedFailsWith1001)
{
    // The registry refuses a lasting key below a volatile one.
    HKEY volatile_key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, ProductKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                                             nullptr, &volatile_key, nullptr));
    RegCloseKey(volatile_key);

    Var text = L"01";
    const std::vector<std::pair<const wchar_t *, std::function<Call()>>> writers = {
        {L"prcChecked_Key_RG", [&] { return call(L"prcChecked_Key_RG"); }},
        {L"prcDir", [&] { return call_ref(L"prcDir", text); }},
        {L"TypeInstallation", [&] { return call(L"TypeInstallation", {text}); }},
        {L"prcSet_Addin", [&] { return call_ref(L"prcSet_Addin", text); }},
        {L"prcSet_status_Addin", [&] { return call_ref(L"prcSet_status_Addin", text); }},
        {L"prcDesinstalar_Addin", [&] { return call(L"prcDesinstalar_Addin"); }},
    };
    for (auto &[name, write] : writers) {
        Call failed = write();
        EXPECT_EQ(1001, failed.number) << name;
        EXPECT_EQ(L"No fue posible crear la clave del registro", failed.description) << name;
    }
    BSTR folder = SysAllocString(L"C:\\x");
    HRESULT hr = library->prcDir(&folder);
    EXPECT_EQ((HRESULT)0x800A03E9, hr);
    expect_description(library.Get(), hr, L"No fue posible crear la clave del registro");
    SysFreeString(folder);
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, SettingsKey));
    EXPECT_EQ(VARIANT_TRUE, boolean(call(L"App_Exist"))) << "reads do not fail";
}

// DeleteRegistryKey reports nothing on this platform, so the only error that
// Delete_information_All can meet is one raised by the member it calls.  The
// test makes that member raise by replacing its entry in the class's virtual
// table: the outer members reach it through the object's own interface.
std::vector<std::wstring> refused_keys;

HRESULT STDMETHODCALLTYPE refusing_delete(_CLibrary *, LONG, BSTR key)
{
    refused_keys.emplace_back(key, SysStringLen(key));
    ICreateErrorInfo *create = nullptr;
    CreateErrorInfo(&create);
    create->SetDescription(const_cast<LPOLESTR>(L"Permission denied"));
    IErrorInfo *info = nullptr;
    create->QueryInterface(IID_IErrorInfo, (void **)&info);
    SetErrorInfo(0, info);
    info->Release();
    create->Release();
    return (HRESULT)0x800A0046;
}

class VtableEntry {
public:
    VtableEntry(IUnknown *object, ITypeInfo *info, const wchar_t *member, void *replacement)
    {
        LPOLESTR names[] = {const_cast<LPOLESTR>(member)};
        MEMBERID id = 0;
        EXPECT_EQ(S_OK, info->GetIDsOfNames(names, 1, &id));
        TYPEATTR *attributes = nullptr;
        info->GetTypeAttr(&attributes);
        for (UINT i = 0; i < attributes->cFuncs && !slot_; ++i) {
            FUNCDESC *function = nullptr;
            info->GetFuncDesc(i, &function);
            if (function->memid == id) slot_ = *reinterpret_cast<void ***>(object) + function->oVft / sizeof(void *);
            info->ReleaseFuncDesc(function);
        }
        info->ReleaseTypeAttr(attributes);
        if (!slot_) return;
        original_ = *slot_;
        write(replacement);
    }
    ~VtableEntry()
    {
        if (slot_) write(original_);
    }
    bool ok() const { return slot_ != nullptr; }

private:
    void write(void *entry)
    {
        DWORD protection = 0;
        VirtualProtect(slot_, sizeof *slot_, PAGE_READWRITE, &protection);
        *slot_ = entry;
        VirtualProtect(slot_, sizeof *slot_, protection, &protection);
    }
    void **slot_ = nullptr;
    void *original_ = nullptr;
};

TEST_F(Settings, DeleteAllWarnsOnlyWhenDeletionFails)
{
    if (behind_proxy()) GTEST_SKIP() << "the failure is planted in the object's own virtual table";
    ASSERT_EQ(S_OK, put_property(library.Get(), L"lCia", Var(L"Marvisto 11 \u00e9")).hr);
    MessageBoxWatcher watcher;

    Var folder = L"C:\\x";
    ASSERT_EQ(S_OK, call_ref(L"prcDir", folder).hr);
    ASSERT_EQ(S_OK, call(L"Delete_All").hr);
    EXPECT_TRUE(watcher.seen().empty()) << "a warning although the settings were removed";
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, ProductKey));

    ASSERT_EQ(S_OK, call_ref(L"prcDir", folder).hr);
    ComPtr<ITypeInfo> info;
    ASSERT_EQ(S_OK, library->GetTypeInfo(0, 0, info.GetAddressOf()));
    {
        VtableEntry patch(library.Get(), info.Get(), L"DeleteRegistryKey", (void *)&refusing_delete);
        ASSERT_TRUE(patch.ok());
        refused_keys.clear();
        Call deleted = call(L"Delete_information_All");
        EXPECT_EQ(S_OK, deleted.hr) << "the error reached the caller";
        EXPECT_EQ(VARIANT_FALSE, boolean(deleted));
        EXPECT_EQ((std::vector<std::wstring>{SettingsKey, ProductKey}), refused_keys) << "each step runs, settings key first";

        EXPECT_EQ(S_OK, library->Delete_All());
    }
    std::vector<SeenMessageBox> boxes = watcher.seen();
    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(L"Marvisto 11 \u00e9", boxes[0].caption);
    EXPECT_EQ(L"Can't register Addinn.", boxes[0].text);
    EXPECT_EQ((UINT)MB_ICONEXCLAMATION, boxes[0].icon);
    EXPECT_TRUE(key_exists(HKEY_CURRENT_USER, SettingsKey));
}

} // namespace

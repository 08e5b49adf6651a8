// The registered server as a client finds it: registration entries, the type
// library read back from the registry, the version resource.

#include "support.h"

#include <set>

namespace {

const wchar_t ClassKey[] = L"CLSID\\{4E5ED605-F42D-46B8-94A2-CC3A9E8BF3BE}";
const wchar_t InterfaceKey[] = L"Interface\\{01D2A7AD-31F2-44D2-96D4-435860853CE4}";
const wchar_t TypeLibKey[] = L"TypeLib\\{D6A26E2E-6BBE-41C9-8599-8DD41551C218}";
// What the registration writes, below the classes key.
const wchar_t *const RegisteredKeys[] = {ClassKey, L"IMV_v11.CLibrary", TypeLibKey, InterfaceKey};
// The suite runs as a program of the library's own bitness.
const bool Win64 = sizeof(void *) == 8;

HKEY open_classes(HKEY hive)
{
    HKEY key = nullptr;
    RegCreateKeyExW(hive, L"Software\\Classes", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
    return key;
}
const HKEY MachineClasses = open_classes(HKEY_LOCAL_MACHINE), UserClasses = open_classes(HKEY_CURRENT_USER);

// Every key and value from `path` down, in order, as text.
std::wstring tree_text(HKEY root, const std::wstring &path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return L"";
    std::wstring text = L"[" + path + L"]\n", children;
    wchar_t name[256], data[512];
    DWORD length = 256, size = sizeof data;
    for (DWORD i = 0; RegEnumValueW(key, i, name, &length, nullptr, nullptr, (BYTE *)data, &size) == ERROR_SUCCESS;
         ++i, length = 256, size = sizeof data)
        text += std::wstring(name, length) + L"=" + std::wstring(data, wcsnlen(data, size / 2)) + L"\n";
    for (DWORD i = 0; length = 256, RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS; ++i)
        children += tree_text(root, path + L"\\" + std::wstring(name, length));
    RegCloseKey(key);
    return text + children;
}
std::wstring registration_tree(HKEY classes)
{
    std::wstring text;
    for (const wchar_t *top : RegisteredKeys) text += tree_text(classes, top);
    return text;
}

// Wine does not merge the user's classes over the machine's, as Windows does
// for the user's processes.  A simulation of that merged view: while it lives,
// the user's entries are copied into the machine's classes.
struct MergedView {
    std::vector<const wchar_t *> copied;
    MergedView()
    {
        for (const wchar_t *top : RegisteredKeys) {
            HKEY to = nullptr;
            if (!user_root || !key_exists(UserClasses, top) || RegCreateKeyW(MachineClasses, top, &to)) continue;
            EXPECT_EQ(ERROR_SUCCESS, RegCopyTreeW(UserClasses, top, to));
            RegCloseKey(to);
            copied.push_back(top);
        }
    }
    ~MergedView()
    {
        for (const wchar_t *top : copied) delete_tree(MachineClasses, top);
    }
};

std::wstring read_text(HKEY root, const std::wstring &key, const std::wstring &name)
{
    RawValue value = read_raw(root, key, name);
    if (value.status != ERROR_SUCCESS || value.type != REG_SZ) return L"<missing>";
    return std::wstring((const wchar_t *)value.data.data(), wcsnlen((const wchar_t *)value.data.data(), value.data.size() / 2));
}

// regsvr32 with `flags`, for the registration under test.
DWORD regsvr32(const wchar_t *flags, bool for_user = user_root)
{
    return run_process(std::wstring(L"regsvr32 ") + flags + (for_user ? L" /n /i:user" : L"") + L" \"" +
                       dist_path(L"IMV_v11.dll") + L"\"");
}

// The library's DllInstall, called in this process.
HRESULT dll_install(BOOL install, const wchar_t *command_line)
{
    HMODULE module = LoadLibraryW(dist_path(L"IMV_v11.dll").c_str());
    auto entry = (HRESULT(WINAPI *)(BOOL, LPCWSTR))(void *)GetProcAddress(module, "DllInstall");
    HRESULT hr = entry ? entry(install, command_line) : E_NOTIMPL;
    FreeLibrary(module);
    return hr;
}

// In the --root=user run the user's registration is the only one, and this
// process's HKEY_CLASSES_ROOT is the user's classes, so that the suite reads
// what is under test.  Afterwards the machine's is back, as the other suites
// expect.
struct UserRegistrationOnly : testing::Environment {
    void SetUp() override
    {
        if (user_root) RegOverridePredefKey(HKEY_CLASSES_ROOT, UserClasses);
        ASSERT_TRUE(!user_root || (regsvr32(L"/s /u", false) == 0 && regsvr32(L"/s") == 0));
    }
    void TearDown() override { EXPECT_TRUE(!user_root || (regsvr32(L"/s /u") == 0 && regsvr32(L"/s", false) == 0)); }
};
testing::Environment *const user_registration_only = testing::AddGlobalTestEnvironment(new UserRegistrationOnly);

bool creatable_by_progid()
{
    MergedView merged;
    CLSID clsid;
    if (FAILED(CLSIDFromProgID(L"IMV_v11.CLibrary", &clsid))) return false;
    ComPtr<IDispatch> object;
    return SUCCEEDED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, (void **)object.GetAddressOf()));
}

bool creatable_by_clsid()
{
    MergedView merged;
    ComPtr<IDispatch> object;
    return SUCCEEDED(CoCreateInstance(CLSID_CLibrary, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, (void **)object.GetAddressOf()));
}

// The manifest beside the library, as text.
std::string manifest_text()
{
    Bytes bytes = read_file(dist_path(L"IMV_v11.manifest"));
    return std::string(bytes.begin(), bytes.end());
}

// The value of `name` on the first `element` of the manifest, or "<missing>".
std::wstring manifest_attribute(const std::string &xml, const std::string &element, const std::string &name)
{
    size_t start = xml.find("<" + element + " ");
    if (start == std::string::npos) return L"<missing>";
    size_t end = xml.find('>', start);
    size_t at = xml.find(" " + name + "=\"", start);
    if (at == std::string::npos || at > end) return L"<missing>";
    at += name.size() + 3;
    std::string value = xml.substr(at, xml.find('"', at) - at);
    return std::wstring(value.begin(), value.end());
}

// The manifest made the active activation context of the calling thread.
class ActiveManifest {
public:
    ActiveManifest(HANDLE context) : context_(context) { EXPECT_TRUE(ActivateActCtx(context_, &cookie_)); }
    ~ActiveManifest() { DeactivateActCtx(0, cookie_); }

private:
    HANDLE context_;
    ULONG_PTR cookie_ = 0;
};

// A thread of the multithreaded apartment that activates the manifest and
// uses the class from there.
struct ManifestWorker {
    HANDLE context;
    HRESULT created = E_FAIL, called = E_FAIL;
    std::wstring caption;

    static DWORD WINAPI run(void *param)
    {
        auto self = static_cast<ManifestWorker *>(param);
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        {
            ActiveManifest active(self->context);
            ComPtr<_CLibrary> library;
            self->created = CoCreateInstance(CLSID_CLibrary, nullptr, CLSCTX_INPROC_SERVER, IID__CLibrary,
                                             (void **)library.GetAddressOf());
            if (library) {
                BSTR caption = SysAllocString(L"from another apartment"), back = nullptr;
                library->put_lCia(caption);
                self->called = library->get_lCia(&back);
                if (back) self->caption = back;
                SysFreeString(caption);
                SysFreeString(back);
            }
        }
        CoUninitialize();
        return 0;
    }
};

} // namespace

TEST(Registration, RegisterUnregisterRoundTrip)
{
    // Not an assertion: the library is registered again below for the suites that follow.
    EXPECT_EQ(0u, regsvr32(L"/s /u"));
    CoFreeUnusedLibrariesEx(0, 0);
    EXPECT_FALSE(creatable_by_progid());
    EXPECT_FALSE(creatable_by_clsid());
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, ClassKey));
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, L"IMV_v11.CLibrary"));
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, L"TypeLib\\{D6A26E2E-6BBE-41C9-8599-8DD41551C218}\\1.0"));
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, L"Interface\\{01D2A7AD-31F2-44D2-96D4-435860853CE4}"));
    // Unregistering what is already gone is no error.
    EXPECT_EQ(0u, regsvr32(L"/s /u"));

    ASSERT_EQ(0u, regsvr32(L"/s"));
    EXPECT_TRUE(creatable_by_progid());
    EXPECT_TRUE(creatable_by_clsid());
}

static void with_link(const std::wstring &link, bool registering)
{
    // A link at `link` to a key outside the library's (a value, a subkey and, to unregister, a copy of what it
    // replaced) is never followed: the target stays as it was, whether (un)registering succeeds or fails.
    const wchar_t target_name[] = L"Software\\IMV_v11 tests link target";
    std::wstring target = std::wstring(L"\\Registry\\Machine\\") + target_name;
    delete_tree(HKEY_LOCAL_MACHINE, target_name);
    write_raw(HKEY_LOCAL_MACHINE, target_name, L"kept", REG_SZ, utf16_bytes(std::wstring(L"before", 7)));
    write_raw(HKEY_LOCAL_MACHINE, std::wstring(target_name) + L"\\Child", L"", REG_DWORD, {1, 0, 0, 0});
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, target_name, 0, KEY_ALL_ACCESS, &key));
    if (!registering) RegCopyTreeW(HKEY_CLASSES_ROOT, link.c_str(), key); // nothing to copy below the class key
    RegCloseKey(key);
    std::wstring held = tree_text(HKEY_LOCAL_MACHINE, target_name);
    ASSERT_NE(std::wstring::npos, held.find(L"kept=before"));
    delete_tree(HKEY_CLASSES_ROOT, link);
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, link.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK,
                                             KEY_ALL_ACCESS | KEY_CREATE_LINK, nullptr, &key, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key, L"SymbolicLinkValue", 0, REG_LINK, (const BYTE *)target.data(),
                                            (DWORD)(target.size() * sizeof(wchar_t))));
    RegCloseKey(key);

    std::wstring before = registration_tree(HKEY_CLASSES_ROOT);
    HRESULT hr = registering ? dll_install(TRUE, user_root ? L"user" : L"") : S_OK;
    EXPECT_EQ(held, tree_text(HKEY_LOCAL_MACHINE, target_name)) << std::hex << hr;
    if (FAILED(hr)) {
        EXPECT_EQ(before, registration_tree(HKEY_CLASSES_ROOT));
    } else if (registering) {
        for (const std::wstring &image : {std::wstring(ClassKey) + L"\\InprocServer32",
                                          std::wstring(TypeLibKey) + (Win64 ? L"\\1.0\\0\\win64" : L"\\1.0\\0\\win32")})
            EXPECT_EQ(0, _wcsicmp(dist_path(L"IMV_v11.dll").c_str(), read_text(HKEY_CLASSES_ROOT, image, L"").c_str())) << image;
    }
    EXPECT_EQ(0u, regsvr32(L"/s /u"));
    ASSERT_FALSE(key_exists(HKEY_CLASSES_ROOT, link));
    EXPECT_FALSE(key_exists(HKEY_CLASSES_ROOT, ClassKey));
    EXPECT_EQ(held, tree_text(HKEY_LOCAL_MACHINE, target_name));
    delete_tree(HKEY_LOCAL_MACHINE, target_name);
    ASSERT_EQ(0u, regsvr32(L"/s"));
}

TEST(Registration, NoLinkAtTheLibrarysKeysIsFollowed)
{
    static const struct {
        const wchar_t *key, *below;
    } cases[] = {{ClassKey, L""}, {ClassKey, L"\\Held"}, {ClassKey, L"\\InprocServer32"}, {L"IMV_v11.CLibrary", L""},
                 {TypeLibKey, L""}, {TypeLibKey, L"\\1.0"}, {InterfaceKey, L""}};
    for (const auto &row : cases)
        for (bool registering : {false, true}) {
            SCOPED_TRACE(testing::Message() << row.key << row.below << (registering ? " registering" : " unregistering"));
            with_link(row.key + std::wstring(row.below), registering);
            if (HasFatalFailure()) return; // a link left in place would lead the next rows' links astray
        }
}

TEST(Registration, TypeLibraryFoundForEveryLocale)
{
    // Registered for its own locale and the neutral one: the automation
    // marshaller asks for the neutral locale, other clients for their own.
    for (LCID lcid : {0x0409u, 0u, 0x0C0Au, 0x0407u}) {
        BSTR path = nullptr;
        EXPECT_EQ(S_OK, QueryPathOfRegTypeLib(LIBID_IMV_v11, 1, 0, lcid, &path)) << std::hex << lcid;
        if (path) {
            EXPECT_EQ(0, _wcsicmp(path, dist_path(L"IMV_v11.dll").c_str())) << std::hex << lcid;
        }
        SysFreeString(path);
    }
}

TEST(Registration, AFailedRegistrationTakesBackWhatItWrote)
{
    // A volatile key where the interface's key goes, so that its lasting
    // subkeys cannot be made: the registration fails with the platform's own
    // error after the class, the ProgID and the type library, and takes them
    // back; what was there before stays.
    ASSERT_EQ(0u, regsvr32(L"/s /u"));
    HKEY blocker = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, InterfaceKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                                             nullptr, &blocker, nullptr));
    write_raw(blocker, L"", L"kept", REG_SZ, utf16_bytes(std::wstring(L"before", 7)));
    RegCloseKey(blocker);
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_CHILD_MUST_BE_VOLATILE), dll_install(TRUE, user_root ? L"user" : L""));
    EXPECT_EQ(L"[" + std::wstring(InterfaceKey) + L"]\nkept=before\n", registration_tree(HKEY_CLASSES_ROOT));
    delete_tree(HKEY_CLASSES_ROOT, InterfaceKey);
    ASSERT_EQ(0u, regsvr32(L"/s"));
    EXPECT_TRUE(creatable_by_clsid());
}

TEST(Registration, TheUsersEntriesAreTheMachines)
{
    if (!user_root) GTEST_SKIP() << "compares the two registrations: the --root=user run";
    // Key for key and value for value, the root aside; the machine's classes untouched.
    std::wstring for_user = registration_tree(UserClasses);
    ASSERT_NE(L"", for_user);
    EXPECT_EQ(L"", registration_tree(MachineClasses));
    ASSERT_EQ(0u, regsvr32(L"/s", false));
    EXPECT_EQ(for_user, registration_tree(MachineClasses));
    ASSERT_EQ(0u, regsvr32(L"/s /u", false));
    // "user" in any case; any other command line is refused, with nothing written.
    EXPECT_EQ(S_OK, dll_install(FALSE, L"USER"));
    for (const wchar_t *line : {L"users", L"machine", L" user"}) EXPECT_EQ(E_INVALIDARG, dll_install(TRUE, line));
    EXPECT_EQ(L"", registration_tree(UserClasses) + registration_tree(MachineClasses));
    EXPECT_EQ(S_OK, dll_install(TRUE, L"User"));
    EXPECT_EQ(for_user, registration_tree(UserClasses));
}

TEST(Registration, WritesTheServerEntries)
{
    std::wstring server = std::wstring(ClassKey) + L"\\InprocServer32";
    std::wstring module = read_text(HKEY_CLASSES_ROOT, server, L"");
    EXPECT_EQ(0, _wcsicmp(module.c_str(), dist_path(L"IMV_v11.dll").c_str())) << module;
    EXPECT_EQ(L"Apartment", read_text(HKEY_CLASSES_ROOT, server, L"ThreadingModel"));
    EXPECT_EQ(L"IMV_v11.CLibrary", read_text(HKEY_CLASSES_ROOT, std::wstring(ClassKey) + L"\\ProgID", L""));
    EXPECT_EQ(L"1.0", read_text(HKEY_CLASSES_ROOT, std::wstring(ClassKey) + L"\\VERSION", L""));
    EXPECT_EQ(L"{D6A26E2E-6BBE-41C9-8599-8DD41551C218}", read_text(HKEY_CLASSES_ROOT, std::wstring(ClassKey) + L"\\TypeLib", L""));
    EXPECT_EQ(L"{4E5ED605-F42D-46B8-94A2-CC3A9E8BF3BE}", read_text(HKEY_CLASSES_ROOT, L"IMV_v11.CLibrary\\CLSID", L""));

    std::wstring typelib = L"TypeLib\\{D6A26E2E-6BBE-41C9-8599-8DD41551C218}\\1.0";
    std::wstring image = read_text(HKEY_CLASSES_ROOT, typelib + (Win64 ? L"\\409\\win64" : L"\\409\\win32"), L"");
    EXPECT_EQ(0, _wcsicmp(image.c_str(), dist_path(L"IMV_v11.dll").c_str())) << image;
    EXPECT_EQ(L"", read_text(HKEY_CLASSES_ROOT, typelib + L"\\HELPDIR", L""));

    std::wstring iface = L"Interface\\{01D2A7AD-31F2-44D2-96D4-435860853CE4}";
    EXPECT_EQ(L"{00020424-0000-0000-C000-000000000046}", read_text(HKEY_CLASSES_ROOT, iface + L"\\ProxyStubClsid32", L""));
    EXPECT_EQ(L"{D6A26E2E-6BBE-41C9-8599-8DD41551C218}", read_text(HKEY_CLASSES_ROOT, iface + L"\\TypeLib", L""));
}

TEST(Registration, ManifestDeclaresWhatRegistrationWrites)
{
    std::string xml = manifest_text();
    ASSERT_FALSE(xml.empty()) << "no manifest beside the library";
    std::wstring server = std::wstring(ClassKey) + L"\\InprocServer32";
    std::wstring module = read_text(HKEY_CLASSES_ROOT, server, L"");
    std::wstring file = manifest_attribute(xml, "file", "name");
    EXPECT_EQ(0, _wcsicmp(module.substr(module.rfind(L'\\') + 1).c_str(), file.c_str())) << file;
    EXPECT_EQ(Win64 ? L"amd64" : L"x86", manifest_attribute(xml, "assemblyIdentity", "processorArchitecture"));
    EXPECT_EQ(L"1.1.0.0", manifest_attribute(xml, "assemblyIdentity", "version"));

    std::wstring clsid = manifest_attribute(xml, "comClass", "clsid");
    EXPECT_EQ(ClassKey, L"CLSID\\" + clsid);
    EXPECT_EQ(read_text(HKEY_CLASSES_ROOT, server, L"ThreadingModel"), manifest_attribute(xml, "comClass", "threadingModel"));
    std::wstring progid = manifest_attribute(xml, "comClass", "progid");
    EXPECT_EQ(read_text(HKEY_CLASSES_ROOT, std::wstring(ClassKey) + L"\\ProgID", L""), progid);
    EXPECT_EQ(clsid, read_text(HKEY_CLASSES_ROOT, progid + L"\\CLSID", L""));
    std::wstring tlbid = manifest_attribute(xml, "comClass", "tlbid");
    EXPECT_EQ(read_text(HKEY_CLASSES_ROOT, std::wstring(ClassKey) + L"\\TypeLib", L""), tlbid);

    EXPECT_EQ(tlbid, manifest_attribute(xml, "typelib", "tlbid"));
    std::wstring typelib = L"TypeLib\\" + tlbid + L"\\" + manifest_attribute(xml, "typelib", "version");
    EXPECT_TRUE(key_exists(HKEY_CLASSES_ROOT, typelib)) << "no registered type library of the manifest's version";
    EXPECT_EQ(read_text(HKEY_CLASSES_ROOT, typelib + L"\\HELPDIR", L""), manifest_attribute(xml, "typelib", "helpdir"));

    std::wstring iface = L"Interface\\" + manifest_attribute(xml, "comInterfaceExternalProxyStub", "iid");
    EXPECT_EQ(read_text(HKEY_CLASSES_ROOT, iface, L""), manifest_attribute(xml, "comInterfaceExternalProxyStub", "name"));
    EXPECT_EQ(read_text(HKEY_CLASSES_ROOT, iface + L"\\ProxyStubClsid32", L""),
              manifest_attribute(xml, "comInterfaceExternalProxyStub", "proxyStubClsid32"));
    EXPECT_EQ(read_text(HKEY_CLASSES_ROOT, iface + L"\\TypeLib", L""), manifest_attribute(xml, "comInterfaceExternalProxyStub", "tlbid"));
}

TEST(Registration, ManifestServesWithoutRegistration)
{
    // Nothing of the library registered: the manifest beside it is all a host needs.
    ASSERT_EQ(0u, regsvr32(L"/s /u"));
    CoFreeUnusedLibrariesEx(0, 0);
    ASSERT_FALSE(creatable_by_progid());
    std::wstring manifest = dist_path(L"IMV_v11.manifest");
    ACTCTXW request{sizeof request};
    request.lpSource = manifest.c_str();
    HANDLE context = CreateActCtxW(&request);
    ASSERT_NE(INVALID_HANDLE_VALUE, context) << "error " << GetLastError();
    {
        ActiveManifest active(context);
        // By ProgID (Wine answers an alias class id of the context's own,
        // which creates the same class).
        CLSID clsid{};
        ASSERT_EQ(S_OK, CLSIDFromProgID(L"IMV_v11.CLibrary", &clsid));
        ComPtr<IProvideClassInfo> by_progid;
        ASSERT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IProvideClassInfo, (void **)by_progid.GetAddressOf()));
        ComPtr<ITypeInfo> coclass;
        ASSERT_EQ(S_OK, by_progid->GetClassInfo(coclass.GetAddressOf()));
        TYPEATTR *attr = nullptr;
        ASSERT_EQ(S_OK, coclass->GetTypeAttr(&attr));
        EXPECT_EQ(CLSID_CLibrary, attr->guid);
        coclass->ReleaseTypeAttr(attr);

        ComPtr<_CLibrary> library;
        ASSERT_EQ(S_OK, CoCreateInstance(CLSID_CLibrary, nullptr, CLSCTX_INPROC_SERVER, IID__CLibrary, (void **)library.GetAddressOf()));

        Call omitted = invoke(library.Get(), L"GetRegistryValueX", {Var(L"Software\\IMV_v11 none"), Var(L"v"), Var((short)1)});
        EXPECT_TRUE(omitted.ok());
        EXPECT_EQ(VT_BSTR, omitted.result.vt());
        EXPECT_EQ(L"", omitted.result.text());
        Call refused = invoke(library.Get(), L"CreateRegistryKey", {Var((LONG)0x1234), Var(L"x")});
        EXPECT_EQ(1001, refused.number);
        EXPECT_EQ(L"No fue posible crear la clave del registro", refused.description);
        BSTR text = SysAllocString(L"early"), stripped = nullptr;
        EXPECT_EQ(S_OK, library->StripTerminator(text, &stripped));
        EXPECT_STREQ(L"early", stripped);
        SysFreeString(text);
        SysFreeString(stripped);
        ComPtr<ITypeInfo> info;
        ASSERT_EQ(S_OK, library->GetTypeInfo(0, 0, info.GetAddressOf()));
        ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
        EXPECT_EQ(IID__CLibrary, attr->guid);
        info->ReleaseTypeAttr(attr);
    }
    // A thread of the multithreaded apartment that activates the same
    // context reaches the object in its host apartment through the marshaller
    // the manifest names.
    ManifestWorker worker{context};
    HANDLE thread = CreateThread(nullptr, 0, ManifestWorker::run, &worker, 0, nullptr);
    while (MsgWaitForMultipleObjects(1, &thread, FALSE, 30000, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&message);
    }
    CloseHandle(thread);
    EXPECT_EQ(S_OK, worker.created);
    EXPECT_EQ(S_OK, worker.called);
    EXPECT_EQ(L"from another apartment", worker.caption);

    ReleaseActCtx(context);
    ComPtr<IDispatch> none;
    EXPECT_EQ(REGDB_E_CLASSNOTREG, CoCreateInstance(CLSID_CLibrary, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, (void **)none.GetAddressOf()));
    ASSERT_EQ(0u, regsvr32(L"/s"));
}

TEST(TypeLibrary, LibraryAttributes)
{
    ComPtr<ITypeLib> library;
    ASSERT_EQ(S_OK, LoadRegTypeLib(LIBID_IMV_v11, 1, 0, 0x0409, library.GetAddressOf()));
    TLIBATTR *attr = nullptr;
    ASSERT_EQ(S_OK, library->GetLibAttr(&attr));
    EXPECT_TRUE(IsEqualGUID(LIBID_IMV_v11, attr->guid));
    EXPECT_EQ(0x0409u, attr->lcid);
    EXPECT_EQ(Win64 ? SYS_WIN64 : SYS_WIN32, attr->syskind);
    EXPECT_EQ(1, attr->wMajorVerNum);
    EXPECT_EQ(0, attr->wMinorVerNum);
    library->ReleaseTLibAttr(attr);

    BSTR name = nullptr, doc = nullptr, helpfile = nullptr;
    ASSERT_EQ(S_OK, library->GetDocumentation(-1, &name, &doc, nullptr, &helpfile));
    EXPECT_STREQ(L"IMV_v11", name);
    EXPECT_EQ(nullptr, doc); // no description
    EXPECT_STREQ(L"Marvisto Library", helpfile);
    SysFreeString(name);
    SysFreeString(doc);
    SysFreeString(helpfile);

    // The class and its interface, nothing else.
    ASSERT_EQ(2u, library->GetTypeInfoCount());
    ComPtr<ITypeInfo> coclass;
    ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(CLSID_CLibrary, coclass.GetAddressOf()));
    TYPEATTR *ca = nullptr;
    ASSERT_EQ(S_OK, coclass->GetTypeAttr(&ca));
    EXPECT_EQ(TKIND_COCLASS, ca->typekind);
    EXPECT_EQ(TYPEFLAG_FCANCREATE, ca->wTypeFlags);
    EXPECT_EQ(1, ca->wMajorVerNum);
    EXPECT_EQ(1, ca->cImplTypes);
    coclass->ReleaseTypeAttr(ca);
    INT implflags = 0;
    ASSERT_EQ(S_OK, coclass->GetImplTypeFlags(0, &implflags));
    EXPECT_EQ(IMPLTYPEFLAG_FDEFAULT, implflags);
    HREFTYPE href;
    ComPtr<ITypeInfo> default_iface;
    ASSERT_EQ(S_OK, coclass->GetRefTypeOfImplType(0, &href));
    ASSERT_EQ(S_OK, coclass->GetRefTypeInfo(href, default_iface.GetAddressOf()));
    TYPEATTR *da = nullptr;
    ASSERT_EQ(S_OK, default_iface->GetTypeAttr(&da));
    EXPECT_TRUE(IsEqualGUID(IID__CLibrary, da->guid));
    default_iface->ReleaseTypeAttr(da);
}

namespace {

struct Param {
    const wchar_t *name;
    VARTYPE vt;      // the type, VT_BYREF added for a pointer
    USHORT flags;    // PARAMFLAG_*
};
struct Member {
    const wchar_t *name;
    INVOKEKIND kind;
    DISPID id;
    std::vector<Param> params; // without the return value
    VARTYPE result;            // VT_EMPTY when the member returns nothing
};

const USHORT In = PARAMFLAG_FIN, InOut = PARAMFLAG_FIN | PARAMFLAG_FOUT;
const USHORT Optional = PARAMFLAG_FIN | PARAMFLAG_FOUT | PARAMFLAG_FOPT | PARAMFLAG_FHASDEFAULT;
const VARTYPE BstrRef = VT_BSTR | VT_BYREF, VariantRef = VT_VARIANT | VT_BYREF;

const std::vector<Member> members = {
    {L"lCia", INVOKE_PROPERTYGET, 0x40030000, {}, VT_BSTR},
    {L"lCia", INVOKE_PROPERTYPUT, 0x40030000, {{nullptr, VT_BSTR, In}}, VT_EMPTY},
    {L"Copy_picture", INVOKE_FUNC, 0x60030000, {{L"lpFile", BstrRef, InOut}}, VT_EMPTY},
    {L"DefaultPrinterInfo", INVOKE_FUNC, 0x60030001, {}, VT_BSTR},
    {L"CreateRegistryKey", INVOKE_FUNC, 0x60030002, {{L"hKey", VT_I4, In}, {L"KeyName", VT_BSTR, In}}, VT_BOOL},
    {L"DeleteRegistryKey", INVOKE_FUNC, 0x60030003, {{L"hKey", VT_I4, In}, {L"KeyName", VT_BSTR, In}}, VT_EMPTY},
    {L"GetRegistryValue", INVOKE_FUNC, 0x60030004,
     {{L"hKey", VT_I4, In}, {L"KeyName", VT_BSTR, In}, {L"ValueName", VT_BSTR, In}, {L"KeyType", VT_I2, In},
      {L"DefaultValue", VariantRef, Optional}}, VT_VARIANT},
    {L"SetRegistryValue", INVOKE_FUNC, 0x60030005,
     {{L"hKey", VT_I4, In}, {L"KeyName", VT_BSTR, In}, {L"ValueName", VT_BSTR, In}, {L"KeyType", VT_I2, In},
      {L"value", VariantRef, InOut}}, VT_EMPTY},
    {L"DeleteRegistryValue", INVOKE_FUNC, 0x60030006,
     {{L"hKey", VT_I4, In}, {L"KeyName", VT_BSTR, In}, {L"ValueName", VT_BSTR, In}}, VT_EMPTY},
    {L"prcLink", INVOKE_FUNC, 0x60030007, {{L"lpFile", BstrRef, InOut}}, VT_EMPTY},
    {L"prcLink_About", INVOKE_FUNC, 0x60030008, {{L"lpFile", BstrRef, InOut}}, VT_EMPTY},
    {L"prcDesinstalar_Addin", INVOKE_FUNC, 0x60030009, {}, VT_EMPTY},
    {L"App_Exist", INVOKE_FUNC, 0x6003000A, {}, VT_BOOL},
    {L"prcChecked_Key_RG", INVOKE_FUNC, 0x6003000B, {}, VT_EMPTY},
    {L"CheckRegistryKey", INVOKE_FUNC, 0x6003000C, {{L"hKey", VT_I4, In}, {L"KeyName", VT_BSTR, In}}, VT_BOOL},
    {L"TypeInstallation", INVOKE_FUNC, 0x6003000D, {{L"lpType", VT_BSTR, In}}, VT_VARIANT},
    {L"ReadTypeInstall", INVOKE_FUNC, 0x6003000E, {}, VT_I2},
    {L"prcSet_status_Addin", INVOKE_FUNC, 0x6003000F, {{L"lpStatus", BstrRef, InOut}}, VT_EMPTY},
    {L"Get_status_Addin", INVOKE_FUNC, 0x60030010, {}, VT_BSTR},
    {L"IsAddin_Installed", INVOKE_FUNC, 0x60030011, {}, VT_BOOL},
    {L"Delete_All", INVOKE_FUNC, 0x60030012, {}, VT_EMPTY},
    {L"prcDir", INVOKE_FUNC, 0x60030013, {{L"lpVal", BstrRef, InOut}}, VT_EMPTY},
    {L"InstallPath", INVOKE_FUNC, 0x60030014, {}, VT_BSTR},
    {L"prcSet_Addin", INVOKE_FUNC, 0x60030015, {{L"lpStatus", BstrRef, InOut}}, VT_EMPTY},
    {L"EnumRegistryKeys", INVOKE_FUNC, 0x60030016, {{L"hKey", VT_I4, In}, {L"KeyName", VT_BSTR, In}}, VT_ARRAY | VT_BSTR},
    {L"SetRegistryValueX", INVOKE_FUNC, 0x60030017,
     {{L"KeyName", VT_BSTR, In}, {L"ValueName", VT_BSTR, In}, {L"KeyType", VT_I2, In}, {L"value", VariantRef, InOut}}, VT_EMPTY},
    {L"GetRegistryValueX", INVOKE_FUNC, 0x60030018,
     {{L"KeyName", VT_BSTR, In}, {L"ValueName", VT_BSTR, In}, {L"KeyType", VT_I2, In},
      {L"DefaultValue", VariantRef, Optional}}, VT_VARIANT},
    {L"lpHkey_app", INVOKE_FUNC, 0x60030019, {}, VT_BSTR},
    {L"Delete_information_All", INVOKE_FUNC, 0x6003001A, {}, VT_BOOL},
    {L"Limpia", INVOKE_FUNC, 0x6003001B, {}, VT_EMPTY},
    {L"GetWindowsDir", INVOKE_FUNC, 0x6003001C, {}, VT_BSTR},
    {L"StripTerminator", INVOKE_FUNC, 0x6003001D, {{L"strString", VT_BSTR, In}}, VT_BSTR},
};

VARTYPE type_of(const TYPEDESC &desc)
{
    if (desc.vt == VT_PTR) return type_of(*desc.lptdesc) | VT_BYREF;
    if (desc.vt == VT_SAFEARRAY) return type_of(*desc.lptdesc) | VT_ARRAY;
    return desc.vt;
}

} // namespace

TEST(TypeLibrary, InterfaceMatchesTheMemberTable)
{
    ComPtr<ITypeLib> library;
    ASSERT_EQ(S_OK, LoadRegTypeLib(LIBID_IMV_v11, 1, 0, 0x0409, library.GetAddressOf()));
    ComPtr<ITypeInfo> dispatch, vtable;
    ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(IID__CLibrary, dispatch.GetAddressOf()));
    TYPEATTR *attr = nullptr;
    ASSERT_EQ(S_OK, dispatch->GetTypeAttr(&attr));
    EXPECT_EQ(TKIND_DISPATCH, attr->typekind);
    // The dispatch side never reports automation compatibility; its
    // virtual-table side does (checked below).
    const WORD flags = TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE;
    EXPECT_EQ(flags, attr->wTypeFlags);
    EXPECT_EQ(1, attr->wMajorVerNum);
    dispatch->ReleaseTypeAttr(attr);

    // The base is stdole2's IDispatch.
    HREFTYPE href;
    ComPtr<ITypeInfo> base;
    ComPtr<ITypeLib> base_library;
    UINT index;
    ASSERT_EQ(S_OK, dispatch->GetRefTypeOfImplType(0, &href));
    ASSERT_EQ(S_OK, dispatch->GetRefTypeInfo(href, base.GetAddressOf()));
    ASSERT_EQ(S_OK, base->GetContainingTypeLib(base_library.GetAddressOf(), &index));
    TLIBATTR *base_attr = nullptr;
    ASSERT_EQ(S_OK, base_library->GetLibAttr(&base_attr));
    EXPECT_TRUE(IsEqualGUID(IID_StdOle, base_attr->guid));
    base_library->ReleaseTLibAttr(base_attr);
    ASSERT_EQ(S_OK, base->GetTypeAttr(&attr));
    EXPECT_TRUE(IsEqualGUID(IID_IDispatch, attr->guid));
    base->ReleaseTypeAttr(attr);

    // The virtual-table side: seven standard entries, then the members in order.
    ASSERT_EQ(S_OK, dispatch->GetRefTypeOfImplType((UINT)-1, &href));
    ASSERT_EQ(S_OK, dispatch->GetRefTypeInfo(href, vtable.GetAddressOf()));
    ASSERT_EQ(S_OK, vtable->GetTypeAttr(&attr));
    EXPECT_EQ(TKIND_INTERFACE, attr->typekind);
    EXPECT_EQ(flags | TYPEFLAG_FOLEAUTOMATION, attr->wTypeFlags);
    EXPECT_EQ(1, attr->wMajorVerNum);
    ASSERT_EQ(members.size(), attr->cFuncs);
    vtable->ReleaseTypeAttr(attr);

    for (size_t i = 0; i < members.size(); ++i) {
        const Member &m = members[i];
        SCOPED_TRACE(testing::Message() << "member " << i + 1 << " " << std::string(m.name, m.name + wcslen(m.name)));
        FUNCDESC *fd = nullptr;
        ASSERT_EQ(S_OK, vtable->GetFuncDesc((UINT)i, &fd));
        EXPECT_EQ(m.id, fd->memid);
        EXPECT_EQ(m.kind, fd->invkind);
        EXPECT_EQ((SHORT)((7 + i) * sizeof(void *)), fd->oVft);
        EXPECT_EQ(VT_HRESULT, fd->elemdescFunc.tdesc.vt);
        EXPECT_EQ(0, fd->wFuncFlags);
        size_t with_result = m.params.size() + (m.result != VT_EMPTY);
        ASSERT_EQ(with_result, (size_t)fd->cParams);

        BSTR names[16] = {};
        UINT count = 0;
        ASSERT_EQ(S_OK, vtable->GetNames(fd->memid, names, 16, &count));
        EXPECT_STREQ(m.name, names[0]);
        for (size_t p = 0; p < m.params.size(); ++p) {
            const ELEMDESC &e = fd->lprgelemdescParam[p];
            if (m.params[p].name) {
                ASSERT_LT(p + 1, count);
                EXPECT_STREQ(m.params[p].name, names[p + 1]);
            }
            EXPECT_EQ(m.params[p].vt, type_of(e.tdesc)) << "parameter " << p;
            EXPECT_EQ(m.params[p].flags, e.paramdesc.wParamFlags) << "parameter " << p;
            if (e.paramdesc.wParamFlags & PARAMFLAG_FHASDEFAULT) {
                // The declared default of DefaultValue is the empty string.
                ASSERT_NE(nullptr, e.paramdesc.pparamdescex);
                const VARIANT &def = e.paramdesc.pparamdescex->varDefaultValue;
                EXPECT_EQ(VT_BSTR, V_VT(&def));
                EXPECT_EQ(0u, SysStringLen(V_BSTR(&def)));
            }
        }
        if (m.result != VT_EMPTY) {
            const ELEMDESC &r = fd->lprgelemdescParam[fd->cParams - 1];
            EXPECT_EQ(PARAMFLAG_FOUT | PARAMFLAG_FRETVAL, r.paramdesc.wParamFlags);
            EXPECT_EQ(m.result | VT_BYREF, type_of(r.tdesc));
        }
        for (UINT n = 0; n < count; ++n) SysFreeString(names[n]);
        vtable->ReleaseFuncDesc(fd);

        // The dispatch side resolves the name to the same id.
        if (m.kind == INVOKE_FUNC) {
            DISPID id = 0;
            LPOLESTR name = const_cast<LPOLESTR>(m.name);
            ComPtr<_CLibrary> object = create_library();
            ASSERT_EQ(S_OK, object->GetIDsOfNames(IID_NULL, &name, 1, 0, &id));
            EXPECT_EQ(m.id, id);
        }
    }
}

TEST(VersionResource, NamesTheLibrary)
{
    std::wstring path = dist_path(L"IMV_v11.dll");
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    ASSERT_NE(0u, size);
    std::vector<unsigned char> info(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, info.data()));
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", (void **)&fixed, &length));
    EXPECT_EQ(MAKELONG(1, 1), fixed->dwFileVersionMS);
    EXPECT_EQ(0u, fixed->dwFileVersionLS);
    EXPECT_EQ(MAKELONG(1, 1), fixed->dwProductVersionMS);

    WORD *translation = nullptr;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation", (void **)&translation, &length));
    EXPECT_EQ(0x0C0A, translation[0]);
    EXPECT_EQ(1200, translation[1]);

    auto string = [&](const wchar_t *name) -> std::wstring {
        wchar_t *value = nullptr;
        std::wstring key = std::wstring(L"\\StringFileInfo\\0C0A04B0\\") + name;
        if (!VerQueryValueW(info.data(), key.c_str(), (void **)&value, &length)) return L"<missing>";
        return std::wstring(value, wcsnlen(value, length));
    };
    EXPECT_EQ(L"1.01", string(L"FileVersion"));
    EXPECT_EQ(L"1.01", string(L"ProductVersion"));
    EXPECT_EQ(L"IMV_v11", string(L"ProductName"));
    EXPECT_EQ(L"IMV_v11", string(L"InternalName"));
    EXPECT_EQ(L"IMV_v11.dll", string(L"OriginalFilename"));
    EXPECT_EQ(L"", string(L"OLESelfRegister"));
}

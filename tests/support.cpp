#include "support.h"

#include <psapi.h>
#include <winternl.h>

#include <algorithm>

const wchar_t ScratchKey[] = L"Software\\IMV_v11 tests";
const char ScratchKeyA[] = "Software\\IMV_v11 tests";

std::wstring dist_path(const wchar_t *file) { return std::wstring(DIST_DIR) + L"\\" + file; }

Program::Program(std::wstring command_line, const std::wstring &directory)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    if (!CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        directory.empty() ? nullptr : directory.c_str(), &startup, &process_))
        ADD_FAILURE() << "cannot start " << std::string(command_line.begin(), command_line.end()) << ": error "
                      << GetLastError();
}

Program::~Program()
{
    if (!process_.hProcess) return;
    if (running()) TerminateProcess(process_.hProcess, 1);
    CloseHandle(process_.hThread);
    CloseHandle(process_.hProcess);
}

bool Program::running() const
{
    return process_.hProcess && WaitForSingleObject(process_.hProcess, 0) == WAIT_TIMEOUT;
}

DWORD Program::wait(DWORD timeout_ms)
{
    DWORD code = (DWORD)-1;
    if (process_.hProcess && WaitForSingleObject(process_.hProcess, timeout_ms) == WAIT_OBJECT_0)
        GetExitCodeProcess(process_.hProcess, &code);
    return code;
}

namespace {

// Where the suite's objects live, as the suite's command line chooses: in the
// test thread's own apartment (the default), or behind a proxy, created from
// the multithreaded apartment (--apartment=multithreaded: the runtime puts the
// apartment-threaded object in a host apartment of its own) or in a second
// single-threaded apartment that hands each object over marshalled
// (--apartment=other).
enum class Apartment { Own, Multithreaded, Other };
Apartment apartment = Apartment::Own;

class OtherApartment {
public:
    OtherApartment()
    {
        ready_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        thread_ = CreateThread(nullptr, 0, run, this, 0, &thread_id_);
        WaitForSingleObject(ready_, INFINITE);
    }
    ~OtherApartment()
    {
        PostThreadMessageW(thread_id_, WM_QUIT, 0, 0);
        WaitForSingleObject(thread_, INFINITE);
        CloseHandle(thread_);
        CloseHandle(ready_);
    }
    HRESULT create(_CLibrary **library)
    {
        PostThreadMessageW(thread_id_, WM_APP, 0, 0);
        WaitForSingleObject(ready_, INFINITE);
        if (FAILED(created_)) return created_;
        return CoGetInterfaceAndReleaseStream(stream_, IID__CLibrary, (void **)library);
    }

private:
    static DWORD WINAPI run(void *param)
    {
        auto self = static_cast<OtherApartment *>(param);
        CoInitialize(nullptr);
        MSG message;
        PeekMessageW(&message, nullptr, 0, 0, PM_NOREMOVE); // the thread's queue, before anyone posts to it
        SetEvent(self->ready_);
        while (GetMessageW(&message, nullptr, 0, 0) > 0) {
            if (message.hwnd || message.message != WM_APP) {
                DispatchMessageW(&message);
                continue;
            }
            ComPtr<_CLibrary> library;
            self->created_ = CoCreateInstance(CLSID_CLibrary, nullptr, CLSCTX_INPROC_SERVER, IID__CLibrary,
                                              (void **)library.GetAddressOf());
            if (SUCCEEDED(self->created_))
                self->created_ = CoMarshalInterThreadInterfaceInStream(IID__CLibrary, library.Get(), &self->stream_);
            SetEvent(self->ready_);
        }
        CoUninitialize();
        return 0;
    }
    HANDLE thread_ = nullptr, ready_ = nullptr;
    DWORD thread_id_ = 0;
    HRESULT created_ = E_FAIL;
    IStream *stream_ = nullptr;
};

OtherApartment *other_apartment;

} // namespace

bool behind_proxy() { return apartment != Apartment::Own; }
bool user_root;

ComPtr<_CLibrary> create_library()
{
    ComPtr<_CLibrary> library;
    HRESULT hr = other_apartment
                     ? other_apartment->create(library.GetAddressOf())
                     : CoCreateInstance(CLSID_CLibrary, nullptr, CLSCTX_INPROC_SERVER, IID__CLibrary, (void **)library.GetAddressOf());
    EXPECT_EQ(S_OK, hr) << "creating CLibrary";
    // Behind a proxy exactly when the suite asked for another apartment.
    ComPtr<IClientSecurity> proxy;
    if (library) {
        EXPECT_EQ(behind_proxy(), SUCCEEDED(library.As(&proxy)));
    }
    return library;
}

Var::Var(const wchar_t *text) : Var(std::wstring(text)) {}
Var::Var(const std::wstring &text)
{
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = SysAllocStringLen(text.data(), (UINT)text.size());
}
Var::Var(LONG number)
{
    V_VT(&v) = VT_I4;
    V_I4(&v) = number;
}
Var::Var(short number)
{
    V_VT(&v) = VT_I2;
    V_I2(&v) = number;
}
Var::Var(const Bytes &bytes)
{
    SAFEARRAY *array = SafeArrayCreateVector(VT_UI1, 0, (ULONG)bytes.size());
    if (!bytes.empty()) memcpy(array->pvData, bytes.data(), bytes.size());
    V_VT(&v) = VT_ARRAY | VT_UI1;
    V_ARRAY(&v) = array;
}
Var::Var(const Var &other)
{
    VariantInit(&v);
    VariantCopy(&v, const_cast<VARIANT *>(&other.v));
}
Var &Var::operator=(const Var &other)
{
    if (this != &other) VariantCopy(&v, const_cast<VARIANT *>(&other.v));
    return *this;
}
std::wstring Var::text() const
{
    if (V_VT(&v) != VT_BSTR || !V_BSTR(&v)) return {};
    return std::wstring(V_BSTR(&v), SysStringLen(V_BSTR(&v)));
}
Bytes Var::bytes() const
{
    if (V_VT(&v) != (VT_ARRAY | VT_UI1) || !V_ARRAY(&v)) return {};
    const SAFEARRAY *a = V_ARRAY(&v);
    const unsigned char *data = static_cast<const unsigned char *>(a->pvData);
    return Bytes(data, data + a->rgsabound[0].cElements);
}

Var ref(Var &target, bool as_bstr)
{
    Var r;
    if (as_bstr) {
        V_VT(&r.v) = VT_BYREF | VT_BSTR;
        V_BSTRREF(&r.v) = &V_BSTR(&target.v);
    } else {
        V_VT(&r.v) = VT_BYREF | VT_VARIANT;
        V_VARIANTREF(&r.v) = &target.v;
    }
    return r;
}

static Call dispatch(IDispatch *object, const wchar_t *name, const std::vector<Var> &args, WORD flags, bool put)
{
    Call call;
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    call.hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(call.hr)) return call;
    // Arguments travel last first; by-reference ones are borrowed, not copied.
    std::vector<VARIANT> reversed;
    for (auto a = args.rbegin(); a != args.rend(); ++a) {
        VARIANT copy = a->v;
        if (!(V_VT(&copy) & VT_BYREF)) {
            VariantInit(&copy);
            VariantCopy(&copy, const_cast<VARIANT *>(&a->v));
        }
        reversed.push_back(copy);
    }
    DISPID put_id = DISPID_PROPERTYPUT;
    DISPPARAMS params{reversed.data(), put ? &put_id : nullptr, (UINT)reversed.size(), put ? 1u : 0u};
    EXCEPINFO exception{};
    UINT arg_error = 0;
    call.hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, put ? nullptr : &call.result.v,
                             &exception, &arg_error);
    for (auto &a : reversed)
        if (!(V_VT(&a) & VT_BYREF)) VariantClear(&a);
    if (call.hr == DISP_E_EXCEPTION) {
        HRESULT scode = exception.scode ? exception.scode : (HRESULT)(0x800A0000u + exception.wCode);
        call.hr = scode;
        if (exception.bstrDescription) call.description.assign(exception.bstrDescription, SysStringLen(exception.bstrDescription));
        SysFreeString(exception.bstrDescription);
        SysFreeString(exception.bstrSource);
        SysFreeString(exception.bstrHelpFile);
    }
    if (FAILED(call.hr) && HRESULT_FACILITY(call.hr) == FACILITY_CONTROL) call.number = HRESULT_CODE(call.hr);
    return call;
}

Call invoke(IDispatch *object, const wchar_t *name, const std::vector<Var> &args, WORD flags)
{
    return dispatch(object, name, args, flags, false);
}

Call put_property(IDispatch *object, const wchar_t *name, const Var &value)
{
    return dispatch(object, name, {value}, DISPATCH_PROPERTYPUT, true);
}

ErrorInfo last_error(HRESULT hr)
{
    ErrorInfo error;
    if (HRESULT_FACILITY(hr) == FACILITY_CONTROL) error.number = HRESULT_CODE(hr);
    IErrorInfo *info = nullptr;
    if (GetErrorInfo(0, &info) == S_OK && info) {
        error.present = true;
        BSTR description = nullptr;
        info->GetDescription(&description);
        if (description) error.description.assign(description, SysStringLen(description));
        SysFreeString(description);
        info->Release();
    }
    return error;
}

void expect_description(IUnknown *object, HRESULT hr, const std::wstring &expected)
{
    ComPtr<ISupportErrorInfo> support;
    ASSERT_EQ(S_OK, object->QueryInterface(IID_ISupportErrorInfo, (void **)support.GetAddressOf()));
    ASSERT_EQ(S_OK, support->InterfaceSupportsErrorInfo(IID__CLibrary));
    ErrorInfo error = last_error(hr);
    if (error.present) {
        EXPECT_EQ(expected, error.description);
    } else if (behind_proxy()) {
        printf("note: no error object came back through the proxy for %08lx\n", (unsigned long)hr);
    } else {
        ADD_FAILURE() << "no error information for " << std::hex << hr;
    }
}

Bytes read_file(const std::wstring &path)
{
    Bytes data;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return data;
    data.resize(GetFileSize(file, nullptr));
    DWORD read = 0;
    ReadFile(file, data.data(), (DWORD)data.size(), &read, nullptr);
    CloseHandle(file);
    data.resize(read);
    return data;
}

RawValue read_raw(HKEY root, const std::wstring &key, const std::wstring &name)
{
    RawValue value;
    HKEY k = nullptr;
    value.status = RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &k);
    if (value.status != ERROR_SUCCESS) return value;
    DWORD size = 0;
    value.status = RegQueryValueExW(k, name.c_str(), nullptr, &value.type, nullptr, &size);
    if (value.status == ERROR_SUCCESS) {
        value.data.resize(size);
        value.status = RegQueryValueExW(k, name.c_str(), nullptr, &value.type, value.data.data(), &size);
        value.data.resize(size);
    }
    RegCloseKey(k);
    return value;
}

void write_raw(HKEY root, const std::wstring &key, const std::wstring &name, DWORD type, const Bytes &data)
{
    HKEY k = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(k, name.c_str(), 0, type, data.data(), (DWORD)data.size()));
    RegCloseKey(k);
}

bool key_exists(HKEY root, const std::wstring &key)
{
    HKEY k = nullptr;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS) return false;
    RegCloseKey(k);
    return true;
}

void delete_tree(HKEY root, const std::wstring &key)
{
    RegDeleteTreeW(root, key.c_str());
    RegDeleteKeyW(root, key.c_str());
}

Bytes utf16_bytes(const std::wstring &text)
{
    Bytes out;
    for (wchar_t c : text) {
        out.push_back((unsigned char)(c & 0xFF));
        out.push_back((unsigned char)(c >> 8));
    }
    return out;
}

namespace {
struct HandleEntry {
    ULONG pid;
    UCHAR type;
    UCHAR flags;
    USHORT value;
    PVOID object;
    ACCESS_MASK access;
};
struct HandleInformation {
    ULONG count;
    HandleEntry handles[1];
};
} // namespace

ULONG process_handle_count()
{
    using Query = NTSTATUS(WINAPI *)(ULONG, PVOID, ULONG, PULONG);
    static Query query = (Query)(void *)GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation");
    std::vector<unsigned char> buffer(1 << 16);
    for (;;) {
        ULONG needed = 0;
        NTSTATUS status = query(16 /* SystemHandleInformation */, buffer.data(), (ULONG)buffer.size(), &needed);
        if (status == (NTSTATUS)0xC0000004 /* STATUS_INFO_LENGTH_MISMATCH */) {
            buffer.resize(std::max<size_t>(buffer.size() * 2, needed));
            continue;
        }
        if (status != 0) return 0;
        break;
    }
    auto *info = reinterpret_cast<HandleInformation *>(buffer.data());
    ULONG pid = GetCurrentProcessId(), count = 0;
    for (ULONG i = 0; i < info->count; ++i) count += info->handles[i].pid == pid;
    return count;
}

SIZE_T process_committed_bytes()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters.PagefileUsage;
}

HRESULT library_can_unload_now()
{
    HMODULE module = GetModuleHandleW(L"IMV_v11.dll");
    auto entry = module ? (HRESULT(WINAPI *)())(void *)GetProcAddress(module, "DllCanUnloadNow") : nullptr;
    return entry ? entry() : E_FAIL;
}

MessageBoxWatcher::MessageBoxWatcher(std::function<void()> on_box) : on_box_(std::move(on_box))
{
    InitializeCriticalSection(&lock_);
    thread_ = CreateThread(nullptr, 0, run, this, 0, nullptr);
}

MessageBoxWatcher::~MessageBoxWatcher()
{
    InterlockedExchange(&stop_, 1);
    WaitForSingleObject(thread_, INFINITE);
    CloseHandle(thread_);
    DeleteCriticalSection(&lock_);
}

std::vector<SeenMessageBox> MessageBoxWatcher::seen()
{
    Sleep(300);
    EnterCriticalSection(&lock_);
    std::vector<SeenMessageBox> copy = seen_;
    LeaveCriticalSection(&lock_);
    return copy;
}

static BOOL CALLBACK find_box(HWND window, LPARAM found)
{
    wchar_t cls[16] = {};
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    if (pid == GetCurrentProcessId() && GetClassNameW(window, cls, 16) && !wcscmp(cls, L"#32770") && IsWindowVisible(window)) {
        *reinterpret_cast<HWND *>(found) = window;
        return FALSE;
    }
    return TRUE;
}

// The box's icon control: id 0x14 on Windows, 0x440 (1088) in Wine's template.
static HWND icon_control(HWND box)
{
    for (int id : {0x14, 0x440})
        if (HWND icon = GetDlgItem(box, id)) return icon;
    return nullptr;
}

static UINT icon_style(HWND box)
{
    HWND icon = icon_control(box);
    if (!icon) return 0;
    HICON shown = (HICON)SendMessageW(icon, STM_GETICON, 0, 0);
    if (!shown) return 0;
    struct { LPCSTR id; UINT style; } icons[] = {{IDI_HAND, MB_ICONHAND}, {IDI_EXCLAMATION, MB_ICONEXCLAMATION},
                                                   {IDI_QUESTION, MB_ICONQUESTION}, {IDI_ASTERISK, MB_ICONASTERISK}};
    for (auto &i : icons)
        if (LoadIconA(nullptr, i.id) == shown) return i.style;
    return (UINT)-1; // an icon we do not know
}

DWORD WINAPI MessageBoxWatcher::run(void *param)
{
    auto *self = static_cast<MessageBoxWatcher *>(param);
    while (!self->stop_) {
        HWND box = nullptr;
        EnumWindows(find_box, (LPARAM)&box);
        if (box) {
            SeenMessageBox seen;
            wchar_t text[4096] = {};
            GetWindowTextW(box, text, 4096);
            seen.caption = text;
            text[0] = 0;
            GetDlgItemTextW(box, 0xFFFF, text, 4096);
            seen.text = text;
            seen.icon = icon_style(box);
            seen.owner = GetWindow(box, GW_OWNER);
            EnterCriticalSection(&self->lock_);
            self->seen_.push_back(seen);
            LeaveCriticalSection(&self->lock_);
            if (self->on_box_) self->on_box_();
            HWND ok = GetDlgItem(box, IDOK);
            PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), (LPARAM)ok);
            for (int i = 0; i < 100 && IsWindow(box) && IsWindowVisible(box); ++i) Sleep(20);
        }
        Sleep(20);
    }
    return 0;
}

// COM is started on the test thread, as a client of the library would, in
// the apartment the command line asks for.
int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        if (!strcmp(argv[i], "--apartment=multithreaded")) apartment = Apartment::Multithreaded;
        if (!strcmp(argv[i], "--apartment=other")) apartment = Apartment::Other;
        if (!strcmp(argv[i], "--root=user")) user_root = true;
    }
    CoInitializeEx(nullptr, apartment == Apartment::Multithreaded ? COINIT_MULTITHREADED : COINIT_APARTMENTTHREADED);
    if (apartment == Apartment::Other) other_apartment = new OtherApartment();
    int result = RUN_ALL_TESTS();
    delete other_apartment;
    CoUninitialize();
    return result;
}

#pragma once
// Test support: COM set-up, creating the registered class, late-bound calls
// by name, raw registry reads as the oracle, handle counts, message boxes.

#include <windows.h>
#include <oleauto.h>
#include <ocidl.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "IMV_v11.h"

using Microsoft::WRL::ComPtr;
using Bytes = std::vector<unsigned char>;

constexpr LONG HKCU_LONG = (LONG)0x80000001;
// Every key the tests make for themselves lies below this one.
extern const wchar_t ScratchKey[];   // L"Software\\IMV_v11 tests"
extern const char ScratchKeyA[];

// dist\<file>, as Windows programs under Wine see it.
std::wstring dist_path(const wchar_t *file);

// A started program; one the test did not see to its end is ended here.
class Program {
public:
    // Starts `command_line` in `directory` (the test's own when empty).
    explicit Program(std::wstring command_line, const std::wstring &directory = {});
    ~Program();
    Program(const Program &) = delete;
    Program &operator=(const Program &) = delete;

    DWORD id() const { return process_.dwProcessId; }
    bool running() const;
    // The exit code, or -1 when the program has not ended within `timeout_ms`.
    DWORD wait(DWORD timeout_ms = 60000);

private:
    PROCESS_INFORMATION process_{};
};

// Runs a command line to its end; returns its exit code (or -1).
inline DWORD run_process(const std::wstring &command_line) { return Program(command_line).wait(); }

// The class as a client creates it (registered by the test fixture), in the
// test thread's apartment or, when the suite runs with --apartment=..., behind
// a proxy from another apartment.
ComPtr<_CLibrary> create_library();
bool behind_proxy();
// Set by --root=user: the suite tests the registration for the current user
// (regsvr32 /n /i:user) instead of the machine's.
extern bool user_root;

// An owned VARIANT with helpers to build arguments.
class Var {
public:
    Var() { VariantInit(&v); }
    Var(const wchar_t *text);
    Var(const std::wstring &text);
    Var(LONG number);
    Var(short number);
    Var(const Bytes &bytes); // VT_ARRAY | VT_UI1, lower bound 0
    Var(const Var &other);
    Var &operator=(const Var &other);
    ~Var() { VariantClear(&v); }
    VARTYPE vt() const { return V_VT(&v); }
    std::wstring text() const;   // VT_BSTR content
    Bytes bytes() const;         // VT_ARRAY | VT_UI1 content
    VARIANT v;
};

// A by-reference argument pointing at `target` (VT_BYREF | VT_VARIANT, or
// VT_BYREF | VT_BSTR when `target` holds a BSTR and as_bstr is set).
Var ref(Var &target, bool as_bstr = false);

// The outcome of a late-bound call.
struct Call {
    HRESULT hr = E_FAIL;
    Var result;
    LONG number = 0;          // the automation error number (HRESULT 0x800A0000 + N), 0 on success
    std::wstring description; // from the exception information
    bool ok() const { return SUCCEEDED(hr); }
};

// Calls `name` through IDispatch (GetIDsOfNames, then Invoke), arguments in
// call order, as an automation client does.
Call invoke(IDispatch *object, const wchar_t *name, const std::vector<Var> &args = {}, WORD flags = DISPATCH_METHOD);
Call put_property(IDispatch *object, const wchar_t *name, const Var &value);

// The error number and description left for a failing early-bound call.
struct ErrorInfo {
    LONG number = 0;
    bool present = false;     // whether the thread held error information at all
    std::wstring description;
};
ErrorInfo last_error(HRESULT hr);
// Checks the description a failing early-bound call on `object` left, read as
// a client reads it: only when the object supports error information on
// _CLibrary.  Behind a proxy, Wine 8's channel does not carry the error object
// back with the reply as Windows' does; there a missing description is noted
// in the output, not failed.
void expect_description(IUnknown *object, HRESULT hr, const std::wstring &expected);

// The raw registry, read and written with the platform's wide calls.
struct RawValue {
    LONG status = ERROR_FILE_NOT_FOUND;
    DWORD type = 0;
    Bytes data;
};
RawValue read_raw(HKEY root, const std::wstring &key, const std::wstring &name);
void write_raw(HKEY root, const std::wstring &key, const std::wstring &name, DWORD type, const Bytes &data);
bool key_exists(HKEY root, const std::wstring &key);
void delete_tree(HKEY root, const std::wstring &key);
Bytes utf16_bytes(const std::wstring &text); // code units, low byte first

// The whole content of a file (empty when it cannot be read).
Bytes read_file(const std::wstring &path);

// Handles the process holds (Wine's GetProcessHandleCount always answers 0).
ULONG process_handle_count();
// Memory the process has committed, in bytes.
SIZE_T process_committed_bytes();
// The loaded library's DllCanUnloadNow: S_OK when no object or lock remains
// (E_FAIL when the library is not loaded).
HRESULT library_can_unload_now();

// Watches for message boxes shown by this process's other threads, records
// each one and closes it with its OK button.
struct SeenMessageBox {
    std::wstring caption;
    std::wstring text;
    UINT icon = 0; // MB_ICONHAND, MB_ICONEXCLAMATION, ..., 0 for none
    HWND owner = nullptr;
};
class MessageBoxWatcher {
public:
    // `on_box` runs on the watcher's thread while a box is shown, before OK is pressed.
    explicit MessageBoxWatcher(std::function<void()> on_box = {});
    ~MessageBoxWatcher();
    std::vector<SeenMessageBox> seen(); // waits briefly for boxes still opening
private:
    static DWORD WINAPI run(void *self);
    HANDLE thread_ = nullptr;
    volatile LONG stop_ = 0;
    CRITICAL_SECTION lock_;
    std::vector<SeenMessageBox> seen_;
    std::function<void()> on_box_;
};

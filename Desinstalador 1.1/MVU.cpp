// MVU: removes the files of release 1.1 of the add-in, the library among them.
// A small window asks the user to wait; when its timer first fires, ten removal
// passes run back to back, the window is hidden during the first, and the
// program ends.  The registry is only read; nothing is shown, and the exit
// code says whether a file it targets is left.

#include <windows.h>

#include <cmath>
#include <memory>
#include <type_traits>

#include "registry.h"
#include "removal.h"

namespace {

const wchar_t SettingsKey[] = L"Software\\Marvisto11\\Groupdate";
// A longer install folder is taken as none.
constexpr size_t MaxInstallDirLength = 254;
constexpr UINT_PTR Timer1 = 1;
constexpr UINT TimerInterval = 10000;
constexpr short Passes = 10;

// Where the product's files lie, read once before the passes.
enum Folder { InstallDir, SystemDir, NativeSystemDir, FolderCount };

// Every file a pass deletes, in order.  The registration-free install keeps
// each build beside its assembly manifest in a folder of its own.
const struct {
    Folder folder;
    const wchar_t *name;
} ProductFiles[] = {
    {InstallDir, L"\\Marvisto11.chm"},
    {InstallDir, L"\\Marvisto11.xla"},
    {SystemDir, L"\\IMV_v11.dll"},
    {NativeSystemDir, L"\\IMV_v11.dll"},
    {InstallDir, L"\\x86\\IMV_v11.dll"},
    {InstallDir, L"\\x86\\IMV_v11.manifest"},
    {InstallDir, L"\\x64\\IMV_v11.dll"},
    {InstallDir, L"\\x64\\IMV_v11.manifest"},
};
// The folders of the registration-free install, removed when a pass leaves them empty.
const wchar_t *const BuildFolders[] = {L"\\x86", L"\\x64"};

// The form's layout, in twips (1440 to the inch).
constexpr int ClientWidth = 4320, ClientHeight = 930;
constexpr RECT Frame1 = {120, 0, 120 + 4095, 0 + 855};
constexpr int LabelLeft = 480, LabelTop = 360, LabelWidth = 3375, LabelHeight = 375; // within Frame1
const wchar_t Label1Caption[] = L"... Uninstalling Marvisto, please wait.";
// The window's top-left corner lies this far left of and above the screen's centre.
constexpr float OffsetLeft = 2000, OffsetTop = 450;

// Changed only by the timer handler.
short pass_counter = 0;
// Files are left until the passes have run (the window may be closed before).
int exit_code = SomeRemain;

// The install folder recorded by release 1.1, not trimmed, or "" when there is
// none.  `Dir` is taken in the binary text form in which the library records
// it, and as string data of any string type (REG_SZ, REG_EXPAND_SZ as it
// stands, unexpanded; REG_MULTI_SZ), up to its first NUL; the wide query
// returns all of them as UTF-16 code units.  A value of another type, of zero
// bytes or of more than MaxInstallDirLength characters gives "".
std::wstring ReadInstallDir()
{
    HKEY opened = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, SettingsKey, 0, KEY_READ, &opened) != ERROR_SUCCESS) return {};
    UniqueKey key(opened);
    // Room for twice the longest folder accepted: what does not fit is too long anyway.
    unsigned char data[(MaxInstallDirLength + 1) * 4];
    DWORD size = sizeof data, type = REG_NONE;
    if (RegQueryValueExW(key.get(), L"Dir", nullptr, &type, data, &size) != ERROR_SUCCESS) return {};
    std::wstring folder;
    switch (type) {
    case REG_BINARY:
        folder = decode_binary_text(data, size);
        break;
    case REG_SZ:
    case REG_EXPAND_SZ:
    case REG_MULTI_SZ:
        folder = decode_binary_text(data, size);
        folder = folder.substr(0, folder.find(L'\0'));
        break;
    default:
        break;
    }
    if (folder.size() > MaxInstallDirLength) return {};
    return folder;
}

// The native system directory of 64-bit Windows, where a 64-bit library lies,
// as this 32-bit program reaches it: its own system directory is redirected to
// SysWOW64, Sysnative is not.  "" on 32-bit Windows, where there is no other.
// The shared Windows directory, not a per-user one of a terminal server.
std::wstring native_system_dir()
{
    BOOL wow64 = FALSE;
    if (!IsWow64Process(GetCurrentProcess(), &wow64) || !wow64) return {};
    wchar_t buffer[MAX_PATH];
    UINT length = GetSystemWindowsDirectoryW(buffer, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return {};
    return std::wstring(buffer, length) + L"\\Sysnative";
}

// Twips to pixels at the screen's logical pixels per inch.
struct Twips {
    int x_dpi, y_dpi;
    int x(float twips) const { return (int)std::lround(twips * x_dpi / 1440); }
    int y(float twips) const { return (int)std::lround(twips * y_dpi / 1440); }
};

Twips screen_twips()
{
    HDC screen = GetDC(nullptr);
    Twips twips{GetDeviceCaps(screen, LOGPIXELSX), GetDeviceCaps(screen, LOGPIXELSY)};
    ReleaseDC(nullptr, screen);
    return twips;
}

struct FontDeleter {
    void operator()(HFONT font) const { DeleteObject(font); } // result deliberately ignored
};
using UniqueFont = std::unique_ptr<std::remove_pointer_t<HFONT>, FontDeleter>;

// The system's message font at the screen's pixels per inch (the program is
// DPI-aware by its manifest), or an empty owner when it cannot be had.
UniqueFont message_font()
{
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) return {};
    return UniqueFont(CreateFontIndirectW(&metrics.lfMessageFont));
}

// Before the window is first shown: its frame and label in `font`, and its place on the screen.
void load_form(HWND window, HFONT font)
{
    Twips twips = screen_twips();
    HINSTANCE instance = GetModuleHandleW(nullptr);
    if (!font) font = (HFONT)GetStockObject(DEFAULT_GUI_FONT);
    HWND frame = CreateWindowExW(0, L"BUTTON", L"", WS_CHILD | WS_VISIBLE | BS_GROUPBOX, twips.x(Frame1.left),
                                 twips.y(Frame1.top), twips.x(Frame1.right - Frame1.left),
                                 twips.y(Frame1.bottom - Frame1.top), window, nullptr, instance, nullptr);
    HWND label = CreateWindowExW(0, L"STATIC", Label1Caption, WS_CHILD | WS_VISIBLE | SS_LEFT,
                                 twips.x(Frame1.left + LabelLeft), twips.y(Frame1.top + LabelTop),
                                 twips.x(LabelWidth), twips.y(LabelHeight), window, nullptr, instance, nullptr);
    SendMessageW(frame, WM_SETFONT, (WPARAM)font, FALSE);
    SendMessageW(label, WM_SETFONT, (WPARAM)font, FALSE);

    float screen_width = GetSystemMetrics(SM_CXSCREEN) * 1440.0f / twips.x_dpi;
    float screen_height = GetSystemMetrics(SM_CYSCREEN) * 1440.0f / twips.y_dpi;
    SetWindowPos(window, nullptr, twips.x(screen_width / 2 - OffsetLeft), twips.y(screen_height / 2 - OffsetTop), 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// The first tick: the install folder and the system directories are read once,
// then the passes run back to back and the program ends.  The last pass finds
// what is left; the build folders are not judged, as they may hold anything.
void on_timer(HWND window)
{
    std::wstring folders[FolderCount];
    folders[InstallDir] = ReadInstallDir();
    folders[SystemDir] = GetSystemDir();
    folders[NativeSystemDir] = native_system_dir();
    bool gone = false;
    while (pass_counter < Passes) {
        gone = true;
        for (const auto &file : ProductFiles) gone &= delete_product_file(folders[file.folder], file.name);
        for (const wchar_t *build : BuildFolders) remove_empty_product_folder(folders[InstallDir], build);
        ShowWindow(window, SW_HIDE);
        ++pass_counter;
    }
    exit_code = gone ? AllGone : SomeRemain;
    DestroyWindow(window);
}

LRESULT CALLBACK window_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    switch (message) {
    case WM_CREATE:
        load_form(window, (HFONT)((const CREATESTRUCTW *)lparam)->lpCreateParams);
        return 0;
    case WM_TIMER:
        if (wparam == Timer1) on_timer(window);
        return 0;
    case WM_DESTROY:
        // Also when the user closes the window during the wait: nothing is deleted then.
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

} // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int show)
{
    limit_library_search();
    WNDCLASSW form{};
    form.lpfnWndProc = window_procedure;
    form.hInstance = instance;
    form.hCursor = LoadCursorW(nullptr, (LPCWSTR)IDC_ARROW);
    form.hbrBackground = (HBRUSH)(COLOR_BTNFACE + 1);
    form.lpszClassName = L"MVU";
    if (!RegisterClassW(&form)) return exit_code;

    // A fixed frame with an empty title bar and no buttons: the wait is not meant to be cut short.
    const DWORD style = WS_OVERLAPPED | WS_CAPTION;
    Twips twips = screen_twips();
    RECT outer = {0, 0, twips.x(ClientWidth), twips.y(ClientHeight)};
    AdjustWindowRectEx(&outer, style, FALSE, 0);
    // Outlives the window, which is destroyed before the message loop ends.
    UniqueFont font = message_font();
    HWND window = CreateWindowExW(0, L"MVU", L"", style, CW_USEDEFAULT, CW_USEDEFAULT, outer.right - outer.left,
                                  outer.bottom - outer.top, nullptr, nullptr, instance, font.get());
    if (!window) return exit_code;
    ShowWindow(window, show);
    UpdateWindow(window);
    SetTimer(window, Timer1, TimerInterval, nullptr);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return exit_code;
}

// UMV and MVU run as processes: the files they really delete, the registry
// before and after, and MVU's window found and measured while it waits.

#include "support.h"

#include <cmath>
#include <filesystem>
#include <map>
#include <optional>
#include <set>

namespace fs = std::filesystem;
using Names = std::set<std::wstring>;

namespace {

const wchar_t Release10Product[] = L"Software\\Marvisto";
const wchar_t Release10Settings[] = L"Software\\Marvisto\\Groupdate";
const wchar_t Release11Product[] = L"Software\\Marvisto11";
const wchar_t Release11Settings[] = L"Software\\Marvisto11\\Groupdate";

// Every file either program could name.  Each test puts all of them in the
// install folder, the system directory and the root of the programs' drive, so
// that a deletion in the wrong place shows.
const wchar_t *const ProductFiles[] = {L"Marvisto.chm",   L"Marvisto.xla",   L"KPD_v01.dll",
                                       L"Marvisto11.chm", L"Marvisto11.xla", L"IMV_v11.dll"};

// What the registration-free install puts in each of its folders x86 and x64.
const wchar_t *const BuildFiles[] = {L"IMV_v11.dll", L"IMV_v11.manifest"};

const fs::path DriveRoot = L"C:\\";
const fs::path Scratch = L"C:\\uninstaller tests";
// A user name outside any Western code page.
const fs::path ForeignFolder = Scratch / L"\u0141ukasz \u6771";
const fs::path PlainFolder = Scratch / L"Apps Tools";

fs::path system_dir()
{
    wchar_t buffer[MAX_PATH];
    UINT length = GetSystemDirectoryW(buffer, MAX_PATH);
    return std::wstring(buffer, length);
}

// A drive letter that names no drive, as "Y:".
std::wstring missing_drive()
{
    wchar_t letter = L'Y';
    while (GetLogicalDrives() & (1u << (letter - L'A'))) --letter;
    return {letter, L':'};
}

void make_file(const fs::path &path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file) << path.string();
    DWORD written = 0;
    WriteFile(file, "dummy", 5, &written, nullptr);
    CloseHandle(file);
}

Names list_files(const fs::path &folder)
{
    Names names;
    for (const auto &entry : fs::directory_iterator(folder))
        if (entry.is_regular_file()) names.insert(entry.path().filename().wstring());
    return names;
}

// The files of each folder a run may touch.
using Listing = std::map<fs::path, Names>;
Listing list_folders(std::initializer_list<fs::path> folders)
{
    Listing listing;
    for (const fs::path &folder : folders) listing[folder] = list_files(folder);
    return listing;
}

// Exactly the files in `gone` went from their folders, and nothing else from any folder listed before.
void expect_only_gone(const Listing &before, const std::map<fs::path, Names> &gone)
{
    for (const auto &[folder, names] : before) {
        Names expected = names;
        if (auto it = gone.find(folder); it != gone.end())
            for (const std::wstring &name : it->second) expected.erase(name);
        EXPECT_EQ(expected, list_files(folder)) << folder.string();
    }
}

bool outside_ansi(const std::wstring &text)
{
    BOOL lossy = FALSE;
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), -1, nullptr, 0, nullptr, &lossy);
    return lossy;
}

// The values of a key, or nothing when the key does not exist.
using Values = std::map<std::wstring, std::pair<DWORD, Bytes>>;
std::optional<Values> key_values(const wchar_t *path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return std::nullopt;
    Values values;
    for (DWORD index = 0;; ++index) {
        wchar_t name[256];
        DWORD name_length = 256, type = 0, size = 8192;
        Bytes data(size);
        if (RegEnumValueW(key, index, name, &name_length, nullptr, &type, data.data(), &size) != ERROR_SUCCESS) break;
        data.resize(size);
        values[name] = {type, data};
    }
    RegCloseKey(key);
    return values;
}

// The visible top-level window of a process, or null.
struct WindowSearch {
    DWORD process_id;
    HWND found;
};
BOOL CALLBACK match_window(HWND window, LPARAM param)
{
    auto *search = reinterpret_cast<WindowSearch *>(param);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner != search->process_id || !IsWindowVisible(window)) return TRUE;
    search->found = window;
    return FALSE;
}
HWND visible_window(DWORD process_id)
{
    WindowSearch search{process_id, nullptr};
    EnumWindows(match_window, (LPARAM)&search);
    return search.found;
}

// Waits (at most half a minute) for the program's window; null when it ends without one.
HWND wait_for_window(const Program &program)
{
    for (int i = 0; i < 600 && program.running(); ++i) {
        if (HWND window = visible_window(program.id())) return window;
        Sleep(50);
    }
    return nullptr;
}

struct Child {
    std::wstring class_name, text;
    LONG style;
    RECT rect; // in the parent's client coordinates
};

BOOL CALLBACK add_child(HWND child, LPARAM param)
{
    wchar_t class_name[64] = {}, text[256] = {};
    GetClassNameW(child, class_name, 64);
    GetWindowTextW(child, text, 256);
    RECT rect;
    GetWindowRect(child, &rect);
    MapWindowPoints(nullptr, GetParent(child), (POINT *)&rect, 2);
    reinterpret_cast<std::vector<Child> *>(param)->push_back({class_name, text, GetWindowLongW(child, GWL_STYLE), rect});
    return TRUE;
}
std::vector<Child> children_of(HWND window)
{
    std::vector<Child> children;
    EnumChildWindows(window, add_child, (LPARAM)&children);
    return children;
}

struct Screen {
    int width, height, x_dpi, y_dpi;
};
Screen screen()
{
    HDC dc = GetDC(nullptr);
    Screen s{GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN), GetDeviceCaps(dc, LOGPIXELSX),
             GetDeviceCaps(dc, LOGPIXELSY)};
    ReleaseDC(nullptr, dc);
    return s;
}

// The pixels per inch of processes started meanwhile, put back afterwards.
struct LogPixels {
    const wchar_t *key = L"Control Panel\\Desktop";
    RawValue saved = read_raw(HKEY_CURRENT_USER, key, L"LogPixels");
    explicit LogPixels(DWORD dpi) { write_raw(HKEY_CURRENT_USER, key, L"LogPixels", REG_DWORD, {BYTE(dpi), BYTE(dpi >> 8), 0, 0}); }
    ~LogPixels() { saved.status ? (void)RegDeleteKeyValueW(HKEY_CURRENT_USER, key, L"LogPixels") : write_raw(HKEY_CURRENT_USER, key, L"LogPixels", saved.type, saved.data); }
};

// Pixels agree with twips within the rounding of one conversion.
#define EXPECT_TWIPS(twips, dpi, pixels) EXPECT_NEAR((twips) * (dpi) / 1440.0, (pixels), 1.0) << #twips

void expect_rect_in_twips(const RECT &rect, int left, int top, int width, int height, const Screen &s)
{
    EXPECT_TWIPS(left, s.x_dpi, rect.left);
    EXPECT_TWIPS(top, s.y_dpi, rect.top);
    EXPECT_TWIPS(width, s.x_dpi, rect.right - rect.left);
    EXPECT_TWIPS(height, s.y_dpi, rect.bottom - rect.top);
}

class Uninstaller : public testing::Test {
protected:
    const fs::path system = system_dir();

    void SetUp() override
    {
        clean();
        for (const fs::path &folder : {ForeignFolder, PlainFolder}) {
            fs::create_directories(folder);
            make_file(folder / L"notes.txt");
            for (const wchar_t *file : ProductFiles) make_file(folder / file);
        }
        for (const wchar_t *file : ProductFiles) {
            make_file(DriveRoot / file);
            make_file(system / file);
        }
    }
    void TearDown() override { clean(); }

    void clean()
    {
        std::error_code ignored;
        fs::remove_all(Scratch, ignored);
        for (const wchar_t *file : ProductFiles) {
            fs::remove(DriveRoot / file, ignored);
            fs::remove(system / file, ignored);
        }
        for (const fs::path &folder : {DriveRoot / L"x86", DriveRoot / L"x64"}) {
            for (const wchar_t *file : BuildFiles) fs::remove(folder / file, ignored);
            fs::remove(folder, ignored); // only when empty
        }
        delete_tree(HKEY_CURRENT_USER, Release10Product);
        delete_tree(HKEY_CURRENT_USER, Release11Product);
    }

    Listing list() const { return list_folders({ForeignFolder, PlainFolder, system, DriveRoot}); }

    // Runs a program that shows no window to its end, from the scratch folder on drive C.
    DWORD run(const wchar_t *file)
    {
        Program program(L"\"" + dist_path(file) + L"\"", Scratch.wstring());
        return program.wait();
    }
};

TEST_F(Uninstaller, UmvRemovesReleaseFilesFromTrimmedBinaryFolder)
{
    ASSERT_TRUE(outside_ansi(ForeignFolder.wstring()));
    write_raw(HKEY_CURRENT_USER, Release10Settings, L"Dir", REG_BINARY, utf16_bytes(L"  " + ForeignFolder.wstring() + L"  "));
    auto registry = key_values(Release10Settings);
    Listing before = list();

    EXPECT_EQ(0u, run(L"UMV.exe"));

    expect_only_gone(before, {{ForeignFolder, {L"Marvisto.chm", L"Marvisto.xla"}}, {system, {L"KPD_v01.dll"}}});
    EXPECT_EQ(registry, key_values(Release10Settings));
}

TEST_F(Uninstaller, UmvRemovesNothingOfAFolderItCannotFind)
{
    struct { const char *name; DWORD type; std::wstring dir; DWORD code; } cases[] = {
        // The single-byte characters and their terminator taken in pairs name no folder.
        {"string data", REG_SZ, PlainFolder.wstring() + L'\0', 0},
        // A drive that is not there may still hold the files.
        {"missing drive", REG_BINARY, missing_drive() + L"\\Marvisto", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        make_file(system / L"KPD_v01.dll");
        write_raw(HKEY_CURRENT_USER, Release10Settings, L"Dir", c.type, utf16_bytes(c.dir));
        auto registry = key_values(Release10Settings);
        Listing before = list();

        EXPECT_EQ(c.code, run(L"UMV.exe"));

        expect_only_gone(before, {{system, {L"KPD_v01.dll"}}});
        EXPECT_EQ(registry, key_values(Release10Settings));
    }
}

TEST_F(Uninstaller, UmvWithoutSettingsKeyRemovesOnlySystemFile)
{
    Listing before = list();

    EXPECT_EQ(0u, run(L"UMV.exe"));

    // An empty install folder must not lead to the root of the current drive.
    expect_only_gone(before, {{system, {L"KPD_v01.dll"}}});
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, Release10Product));
}

TEST_F(Uninstaller, UmvLeavesFileHeldOpenAndGoesOn)
{
    write_raw(HKEY_CURRENT_USER, Release10Settings, L"Dir", REG_BINARY, utf16_bytes(PlainFolder.wstring()));
    HANDLE held = CreateFileW((PlainFolder / L"Marvisto.chm").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, held);
    Listing before = list();

    DWORD code = run(L"UMV.exe");
    CloseHandle(held);

    EXPECT_EQ(1u, code);
    expect_only_gone(before, {{PlainFolder, {L"Marvisto.xla"}}, {system, {L"KPD_v01.dll"}}});
}

TEST_F(Uninstaller, BothRunAtTheirCallersLevel)
{
    for (const wchar_t *program : {L"UMV.exe", L"MVU.exe"}) {
        HMODULE image = LoadLibraryExW(dist_path(program).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        HRSRC found = FindResourceA(image, CREATEPROCESS_MANIFEST_RESOURCE_ID, RT_MANIFEST);
        ASSERT_TRUE(found) << program;
        std::string text((const char *)LockResource(LoadResource(image, found)), SizeofResource(image, found));
        FreeLibrary(image);
        for (const char *part : {"<requestedExecutionLevel level=\"asInvoker\" uiAccess=\"false\"/>",
                                 "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}", "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
                                 "{1f676c76-80e1-4239-95bb-83d0f6d0da78}", "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
                                 // Wine stretches no window, DPI-aware or not: the declaration is read back.
                                 "<dpiAware xmlns=\"http://schemas.microsoft.com/SMI/2005/WindowsSettings\">true</dpiAware>"})
            EXPECT_NE(std::string::npos, text.find(part)) << part;
    }
}

// MVU at the screen's pixels per inch, the 96 of old displays and the 144 of a display scaled to 150 %.
class MvuAtPixelsPerInch : public Uninstaller, public testing::WithParamInterface<int> {};

TEST_P(MvuAtPixelsPerInch, ShowsItsWindowThenRemovesFilesFromBinaryFolder)
{
    const int dpi = GetParam();
    // Wine 10 keeps its session's pixels per inch for every process of the session.
    auto wine_version = (const char *(*)())(void (*)())GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version");
    if (dpi != 96 && wine_version && atoi(wine_version()) > 8)
        GTEST_SKIP() << "Wine " << wine_version() << " applies no new pixels per inch within a session";
    LogPixels pixels(dpi);
    // The form in which the library records the folder.
    write_raw(HKEY_CURRENT_USER, Release11Settings, L"Dir", REG_BINARY, utf16_bytes(ForeignFolder.wstring()));
    auto registry = key_values(Release11Settings);
    Listing before = list();

    Program mvu(L"\"" + dist_path(L"MVU.exe") + L"\"", Scratch.wstring());
    HWND window = wait_for_window(mvu);
    ASSERT_TRUE(window) << "MVU ended without showing its window";

    Screen s = screen();
    s.x_dpi = s.y_dpi = dpi;
    RECT outer, client;
    GetWindowRect(window, &outer);
    GetClientRect(window, &client);
    wchar_t caption[64] = L"poison";
    GetWindowTextW(window, caption, 64);
    EXPECT_STREQ(L"", caption);
    EXPECT_TWIPS(4320, s.x_dpi, client.right);
    EXPECT_TWIPS(930, s.y_dpi, client.bottom);
    // The top-left corner lies 2000 twips left of and 450 twips above the screen's centre.
    EXPECT_NEAR(s.width / 2.0 - 2000.0 * s.x_dpi / 1440, outer.left, 1.0);
    EXPECT_NEAR(s.height / 2.0 - 450.0 * s.y_dpi / 1440, outer.top, 1.0);

    std::vector<Child> children = children_of(window);
    const Child *frame = nullptr, *label = nullptr;
    for (const Child &child : children) {
        if (!_wcsicmp(child.class_name.c_str(), L"Button") && (child.style & BS_TYPEMASK) == BS_GROUPBOX) frame = &child;
        if (!_wcsicmp(child.class_name.c_str(), L"Static") && child.text == L"... Uninstalling Marvisto, please wait.")
            label = &child;
    }
    ASSERT_TRUE(frame) << "no frame";
    ASSERT_TRUE(label) << "no label with the waiting text";
    expect_rect_in_twips(frame->rect, 120, 0, 4095, 855, s);
    expect_rect_in_twips(label->rect, 120 + 480, 0 + 360, 3375, 375, s);
    // Its text fits in the system's message font at these pixels per inch.
    NONCLIENTMETRICSW metrics{sizeof metrics};
    ASSERT_TRUE(SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi));
    HDC dc = GetDC(nullptr);
    HGDIOBJ previous = SelectObject(dc, CreateFontIndirectW(&metrics.lfMessageFont));
    SIZE text{};
    EXPECT_TRUE(GetTextExtentPoint32W(dc, label->text.c_str(), (int)label->text.size(), &text));
    DeleteObject(SelectObject(dc, previous));
    ReleaseDC(nullptr, dc);
    EXPECT_LE(text.cx, label->rect.right - label->rect.left);
    EXPECT_LE(text.cy, label->rect.bottom - label->rect.top);
    // Nothing goes while the window asks the user to wait.
    expect_only_gone(before, {});

    EXPECT_EQ(0u, mvu.wait());
    EXPECT_FALSE(IsWindow(window));
    expect_only_gone(before, {{ForeignFolder, {L"Marvisto11.chm", L"Marvisto11.xla"}}, {system, {L"IMV_v11.dll"}}});
    EXPECT_EQ(registry, key_values(Release11Settings));
}
INSTANTIATE_TEST_SUITE_P(Screens, MvuAtPixelsPerInch, testing::Values(96, 144));

TEST_F(Uninstaller, MvuReadsStringDataWithCharactersOutsideTheCodePage)
{
    ASSERT_TRUE(outside_ansi(ForeignFolder.wstring()));
    write_raw(HKEY_CURRENT_USER, Release11Settings, L"Dir", REG_SZ, utf16_bytes(ForeignFolder.wstring() + L'\0'));
    auto registry = key_values(Release11Settings);
    Listing before = list();

    EXPECT_EQ(0u, run(L"MVU.exe"));

    expect_only_gone(before, {{ForeignFolder, {L"Marvisto11.chm", L"Marvisto11.xla"}}, {system, {L"IMV_v11.dll"}}});
    EXPECT_EQ(registry, key_values(Release11Settings));
}

TEST_F(Uninstaller, MvuTakesEveryStringTypeUpToItsFirstNulUnexpanded)
{
    // A folder whose name looks like an environment variable: expanded, it would name no folder.
    const fs::path unexpanded = Scratch / L"%USERNAME% tools";
    fs::create_directories(unexpanded);
    for (const wchar_t *file : ProductFiles) make_file(unexpanded / file);
    struct Case {
        const char *name;
        DWORD type;
        std::wstring dir;
        fs::path folder;
        DWORD code;
    } cases[] = {
        {"REG_EXPAND_SZ", REG_EXPAND_SZ, unexpanded.wstring() + L'\0', unexpanded, 0},
        {"REG_MULTI_SZ", REG_MULTI_SZ, PlainFolder.wstring() + L'\0' + ForeignFolder.wstring() + L'\0' + L'\0', PlainFolder, 0},
        {"missing drive", REG_SZ, missing_drive() + L"\\Marvisto" + L'\0', {}, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        make_file(system / L"IMV_v11.dll");
        write_raw(HKEY_CURRENT_USER, Release11Settings, L"Dir", c.type, utf16_bytes(c.dir));
        auto registry = key_values(Release11Settings);
        Listing before = list_folders({ForeignFolder, PlainFolder, unexpanded, system, DriveRoot});

        EXPECT_EQ(c.code, run(L"MVU.exe"));

        expect_only_gone(before, {{c.folder, {L"Marvisto11.chm", L"Marvisto11.xla"}}, {system, {L"IMV_v11.dll"}}});
        EXPECT_EQ(registry, key_values(Release11Settings));
    }
}

TEST_F(Uninstaller, MvuDoesNotTrimTheFolder)
{
    write_raw(HKEY_CURRENT_USER, Release11Settings, L"Dir", REG_SZ, utf16_bytes(L"  " + PlainFolder.wstring() + L"  " + L'\0'));
    Listing before = list();

    EXPECT_EQ(0u, run(L"MVU.exe"));

    expect_only_gone(before, {{system, {L"IMV_v11.dll"}}});
}

TEST_F(Uninstaller, MvuRemovesTheRegistrationFreeLayoutAndEachFolderLeftEmpty)
{
    const fs::path x86 = PlainFolder / L"x86", x64 = PlainFolder / L"x64";
    const fs::path root_x86 = DriveRoot / L"x86", root_x64 = DriveRoot / L"x64";
    for (const fs::path &folder : {x86, x64, root_x86}) {
        fs::create_directories(folder);
        for (const wchar_t *file : BuildFiles) make_file(folder / file);
    }
    // The user's own file keeps x64 in place; at the drive root, which a blank
    // install folder would name, an empty x64 must stay too.
    make_file(x64 / L"notes.txt");
    fs::create_directories(root_x64);
    auto list_all = [&] { return list_folders({PlainFolder, x86, x64, system, DriveRoot, root_x86, root_x64}); };

    // No install folder recorded: nothing of the layout goes.
    Listing before = list_all();
    EXPECT_EQ(0u, run(L"MVU.exe"));
    ASSERT_TRUE(fs::is_directory(root_x64));
    expect_only_gone(before, {{system, {L"IMV_v11.dll"}}});

    write_raw(HKEY_CURRENT_USER, Release11Settings, L"Dir", REG_SZ, utf16_bytes(PlainFolder.wstring() + L'\0'));
    make_file(system / L"IMV_v11.dll");
    before = list_all();
    EXPECT_EQ(0u, run(L"MVU.exe"));
    EXPECT_FALSE(fs::exists(x86));
    ASSERT_TRUE(fs::is_directory(root_x64));
    before.erase(x86);
    expect_only_gone(before, {{PlainFolder, {L"Marvisto11.chm", L"Marvisto11.xla"}},
                              {x64, {L"IMV_v11.dll", L"IMV_v11.manifest"}},
                              {system, {L"IMV_v11.dll"}}});
}

TEST_F(Uninstaller, MvuTakesEmptyOrOverlongDirAsNoFolder)
{
    // A real folder of 255 characters, one more than MVU accepts.
    fs::path long_folder = Scratch;
    while (long_folder.wstring().size() < 255 - 51) long_folder /= std::wstring(50, L'd');
    long_folder /= std::wstring(255 - long_folder.wstring().size() - 1, L'e');
    ASSERT_EQ(255u, long_folder.wstring().size());
    fs::create_directories(long_folder);
    for (const wchar_t *file : ProductFiles) make_file(long_folder / file);

    struct Case {
        const char *name;
        Bytes dir;
    } cases[] = {{"zero bytes", {}}, {"255 characters", utf16_bytes(long_folder.wstring())}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        make_file(system / L"IMV_v11.dll");
        write_raw(HKEY_CURRENT_USER, Release11Settings, L"Dir", REG_BINARY, c.dir);
        auto registry = key_values(Release11Settings);
        Listing before = list_folders({ForeignFolder, PlainFolder, system, DriveRoot, long_folder});

        EXPECT_EQ(0u, run(L"MVU.exe"));

            expect_only_gone(before, {{system, {L"IMV_v11.dll"}}});
        EXPECT_EQ(registry, key_values(Release11Settings));
    }
}

} // namespace

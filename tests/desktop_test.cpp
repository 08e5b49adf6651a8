#include "support.h"

#include <algorithm>

namespace {

// A folder of this suite's own, emptied before and after each test.
const std::wstring &folder()
{
    static std::wstring path = [] {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        return std::wstring(temp) + L"IMV_v11 desktop tests\\";
    }();
    return path;
}

std::vector<std::wstring> files_in_folder()
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((folder() + L"*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
    while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

void remove_folder()
{
    for (const std::wstring &name : files_in_folder()) {
        SetFileAttributesW((folder() + name).c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW((folder() + name).c_str());
    }
    RemoveDirectoryW(folder().c_str());
}

void write_file(const std::wstring &path, const Bytes &data)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file) << "cannot create a file of the test";
    DWORD written = 0;
    WriteFile(file, data.data(), (DWORD)data.size(), &written, nullptr);
    CloseHandle(file);
}

// The clipboard, opened by the test; the system's clipboard manager may hold
// it for a moment after each change.
bool open_clipboard(HWND owner)
{
    for (int i = 0; i < 200; ++i) {
        if (OpenClipboard(owner)) return true;
        Sleep(10);
    }
    return false;
}

// Puts one format on the clipboard, owned by a hidden window of the test.
void put_on_clipboard(UINT format, HANDLE data)
{
    static HWND owner = CreateWindowW(L"STATIC", L"clipboard owner", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(open_clipboard(owner));
    EmptyClipboard();
    EXPECT_TRUE(SetClipboardData(format, data));
    CloseClipboard();
}

int clipboard_format_count()
{
    if (!open_clipboard(nullptr)) return -1;
    int count = CountClipboardFormats();
    CloseClipboard();
    return count;
}

void clear_clipboard()
{
    ASSERT_TRUE(open_clipboard(nullptr));
    EmptyClipboard();
    CloseClipboard();
}

COLORREF pixel_colour(int x, int y) { return RGB(40 * x + 10, 80 * y + 20, 200 - 30 * x); }

// A 5 x 3 device bitmap with a distinct colour at each pixel.
HBITMAP test_bitmap()
{
    HDC screen = GetDC(nullptr);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, 5, 3);
    HDC memory = CreateCompatibleDC(screen);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) SetPixel(memory, x, y, pixel_colour(x, y));
    SelectObject(memory, previous);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return bitmap;
}

// Holds the clipboard open on a thread of its own until destroyed.
class ClipboardHolder {
public:
    ClipboardHolder() : held_(CreateEventW(nullptr, TRUE, FALSE, nullptr)), release_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
    {
        thread_ = CreateThread(nullptr, 0, run, this, 0, nullptr);
        WaitForSingleObject(held_, INFINITE);
    }
    ~ClipboardHolder()
    {
        SetEvent(release_);
        WaitForSingleObject(thread_, INFINITE);
        for (HANDLE h : {thread_, held_, release_}) CloseHandle(h);
    }
    bool held = false;

private:
    static DWORD WINAPI run(void *param)
    {
        // The clipboard is open to a window, not to a thread: the holder needs one of its own.
        auto *self = static_cast<ClipboardHolder *>(param);
        HWND window = CreateWindowW(L"STATIC", L"clipboard holder", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
        self->held = open_clipboard(window);
        SetEvent(self->held_);
        WaitForSingleObject(self->release_, INFINITE);
        if (self->held) CloseClipboard();
        DestroyWindow(window);
        return 0;
    }
    HANDLE held_, release_, thread_;
};

class Desktop : public testing::Test {
protected:
    void SetUp() override
    {
        remove_folder();
        ASSERT_TRUE(CreateDirectoryW(folder().c_str(), nullptr));
        library = create_library();
        ASSERT_TRUE(library);
    }
    void TearDown() override { remove_folder(); }

    // Copy_picture called by name with a String variable by reference; the
    // message boxes it showed.
    std::vector<SeenMessageBox> copy_picture(Var &file)
    {
        MessageBoxWatcher watcher;
        Call call = invoke(library.Get(), L"Copy_picture", {ref(file, true)});
        EXPECT_EQ(S_OK, call.hr) << "Copy_picture returns normally";
        return watcher.seen();
    }

    // A failed Copy_picture: exactly one box with the stop icon, the caption
    // and the runtime's description of the error.
    void expect_one_failure_box(Var &file, const std::wstring &caption, const wchar_t *description)
    {
        std::vector<SeenMessageBox> boxes = copy_picture(file);
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ(caption, boxes[0].caption);
        EXPECT_EQ((UINT)MB_ICONHAND, boxes[0].icon);
        EXPECT_EQ(description, boxes[0].text);
    }

    ComPtr<_CLibrary> library;
};

} // namespace

TEST_F(Desktop, CopyPictureSavesBitmapAsBmpUnderTrimmedName)
{
    put_on_clipboard(CF_BITMAP, test_bitmap());
    std::wstring path = folder() + L"imagen.bmp";
    Var file(L"  " + path + L"  ");
    EXPECT_TRUE(copy_picture(file).empty());
    EXPECT_EQ(L"  " + path + L"  ", file.text());
    EXPECT_EQ(std::vector<std::wstring>{L"imagen.bmp"}, files_in_folder());

    Bytes data = read_file(path);
    ASSERT_GT(data.size(), sizeof(BITMAPFILEHEADER));
    BITMAPFILEHEADER header;
    memcpy(&header, data.data(), sizeof header);
    EXPECT_EQ(0x4D42, header.bfType);
    EXPECT_EQ(data.size(), header.bfSize);

    HBITMAP loaded = (HBITMAP)LoadImageW(nullptr, path.c_str(), IMAGE_BITMAP, 0, 0, LR_LOADFROMFILE | LR_CREATEDIBSECTION);
    ASSERT_TRUE(loaded) << "the platform reads the file as a bitmap";
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), 5, -3, 1, 32, BI_RGB};
    DWORD pixels[15] = {};
    HDC screen = GetDC(nullptr);
    BITMAP size{};
    GetObjectW(loaded, sizeof size, &size);
    EXPECT_EQ(3, GetDIBits(screen, loaded, 0, 3, pixels, &info, DIB_RGB_COLORS));
    ReleaseDC(nullptr, screen);
    DeleteObject(loaded);
    EXPECT_EQ(5, size.bmWidth);
    EXPECT_EQ(3, size.bmHeight);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) {
            COLORREF c = pixel_colour(x, y);
            EXPECT_EQ((DWORD)(GetRValue(c) << 16 | GetGValue(c) << 8 | GetBValue(c)), pixels[y * 5 + x] & 0xFFFFFF) << x << "," << y;
        }
}

TEST_F(Desktop, CopyPictureWritesDibWithColourTableWhole)
{
    // 8 bits per pixel, five pixels wide: a 256-entry colour table and rows padded to 8 bytes.
    Bytes dib(sizeof(BITMAPINFOHEADER) + 256 * 4 + 8 * 3);
    BITMAPINFOHEADER info{sizeof info, 5, 3, 1, 8, BI_RGB};
    memcpy(dib.data(), &info, sizeof info);
    for (size_t i = sizeof info; i < dib.size(); ++i) dib[i] = (unsigned char)(i * 7);
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, dib.size());
    memcpy(GlobalLock(block), dib.data(), dib.size());
    GlobalUnlock(block);
    put_on_clipboard(CF_DIB, block);

    Var file(folder() + L"paleta.bmp");
    EXPECT_TRUE(copy_picture(file).empty());
    Bytes data = read_file(folder() + L"paleta.bmp");
    ASSERT_EQ(sizeof(BITMAPFILEHEADER) + dib.size(), data.size());
    EXPECT_EQ(dib, Bytes(data.begin() + sizeof(BITMAPFILEHEADER), data.end()));
    BITMAPFILEHEADER header;
    memcpy(&header, data.data(), sizeof header);
    EXPECT_EQ(sizeof header + sizeof info + 256 * 4, header.bfOffBits);
}

TEST_F(Desktop, CopyPictureSavesMetafilesInTheirOwnFormat)
{
    // An enhanced metafile, under a name outside the ANSI code page.
    RECT frame{0, 0, 2000, 1000};
    HDC recorder = CreateEnhMetaFileW(nullptr, nullptr, &frame, nullptr);
    Rectangle(recorder, 10, 10, 60, 40);
    HENHMETAFILE emf = CloseEnhMetaFile(recorder);
    Bytes expected(GetEnhMetaFileBits(emf, 0, nullptr));
    GetEnhMetaFileBits(emf, (UINT)expected.size(), expected.data());
    put_on_clipboard(CF_ENHMETAFILE, emf);
    std::wstring name = folder() + L"gr\u00E1fico \u03A9\u6F22.emf";
    Var file(name);
    EXPECT_TRUE(copy_picture(file).empty());
    EXPECT_EQ(expected, read_file(name));
    HENHMETAFILE reread = GetEnhMetaFileW(name.c_str());
    EXPECT_TRUE(reread) << "the platform reads the file as an enhanced metafile";
    DeleteEnhMetaFile(reread);

    // A metafile picture of 2.54 x 1.27 cm: a placeable metafile of 1440 x 720 twips.
    HDC old_recorder = CreateMetaFileW(nullptr);
    Rectangle(old_recorder, 10, 10, 60, 40);
    HMETAFILE wmf = CloseMetaFile(old_recorder);
    Bytes bits(GetMetaFileBitsEx(wmf, 0, nullptr));
    GetMetaFileBitsEx(wmf, (UINT)bits.size(), bits.data());
    HGLOBAL block = GlobalAlloc(GMEM_MOVEABLE, sizeof(METAFILEPICT));
    *(METAFILEPICT *)GlobalLock(block) = {MM_ANISOTROPIC, 2540, 1270, wmf};
    GlobalUnlock(block);
    put_on_clipboard(CF_METAFILEPICT, block);
    Var wmf_file(folder() + L"dibujo.wmf");
    EXPECT_TRUE(copy_picture(wmf_file).empty());
    Bytes data = read_file(folder() + L"dibujo.wmf");
    ASSERT_EQ(22 + bits.size(), data.size());
    WORD words[11];
    memcpy(words, data.data(), sizeof words);
    EXPECT_EQ(0xCDD7, words[0]);
    EXPECT_EQ(0x9AC6, words[1]);
    EXPECT_EQ(1440, words[5]); // right
    EXPECT_EQ(720, words[6]);  // bottom
    EXPECT_EQ(1440, words[7]); // units per inch
    WORD checksum = 0;
    for (int i = 0; i < 10; ++i) checksum ^= words[i];
    EXPECT_EQ(checksum, words[10]);
    EXPECT_EQ(bits, Bytes(data.begin() + 22, data.end()));
}

TEST_F(Desktop, CopyPictureFailureShowsOneStopBoxAndHarmsNoFile)
{
    // An empty clipboard, with a file of that name already there; caption never set.
    std::wstring path = folder() + L"existente.bmp";
    const Bytes original = {'k', 'e', 'e', 'p'};
    write_file(path, original);
    clear_clipboard();
    Var file(path);
    expect_one_failure_box(file, L"", L"Invalid picture");
    EXPECT_EQ(original, read_file(path));

    ASSERT_EQ(S_OK, put_property(library.Get(), L"lCia", Var(L"Marvisto")).hr);
    put_on_clipboard(CF_BITMAP, test_bitmap());
    // A file that cannot be replaced, being open to another reader: it stays
    // whole and nothing is left beside it.
    HANDLE reader = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    expect_one_failure_box(file, L"Marvisto", L"Path/File access error");
    CloseHandle(reader);
    EXPECT_EQ(original, read_file(path));
    EXPECT_EQ(std::vector<std::wstring>{L"existente.bmp"}, files_in_folder());

    Var missing_folder(folder() + L"no existe\\imagen.bmp");
    expect_one_failure_box(missing_folder, L"Marvisto", L"Path/File access error");
    for (const std::wstring &bad : {std::wstring(L"bad|name?.bmp"), std::wstring(L"a\0b.bmp", 7)}) {
        Var bad_name(folder() + bad);
        expect_one_failure_box(bad_name, L"Marvisto", L"Path/File access error");
    }
    EXPECT_EQ(std::vector<std::wstring>{L"existente.bmp"}, files_in_folder());

    // The clipboard held by someone else all along: the picture cannot be
    // taken, and saving none is the most recent error.
    ClipboardHolder holder;
    ASSERT_TRUE(holder.held);
    Var elsewhere(folder() + L"otra.bmp");
    expect_one_failure_box(elsewhere, L"Marvisto", L"Invalid picture");
    EXPECT_EQ(std::vector<std::wstring>{L"existente.bmp"}, files_in_folder());
}

TEST_F(Desktop, MessageBoxesAreModalToTheActiveWindow)
{
    if (behind_proxy()) GTEST_SKIP() << "the call runs on the object's own apartment thread, which has no window here";
    // The host's window, active on the calling thread as a spreadsheet's is.
    HWND host = CreateWindowExW(0, L"STATIC", L"host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 10, 10, 300, 200, nullptr,
                                nullptr, nullptr, nullptr);
    ASSERT_TRUE(host);
    SetForegroundWindow(host);
    SetActiveWindow(host);
    ASSERT_EQ(host, GetActiveWindow());

    // No text: each shows its error box.
    for (auto method : {&_CLibrary::Copy_picture, &_CLibrary::prcLink}) {
        BOOL host_enabled = TRUE;
        MessageBoxWatcher watcher([&] { host_enabled = IsWindowEnabled(host); });
        EXPECT_EQ(S_OK, (library.Get()->*method)(nullptr));
        std::vector<SeenMessageBox> boxes = watcher.seen();
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ(host, boxes[0].owner);
        EXPECT_FALSE(host_enabled) << "the host's window stayed live behind the box";
    }
    DestroyWindow(host);
}

TEST_F(Desktop, LimpiaEmptiesTheClipboard)
{
    put_on_clipboard(CF_BITMAP, test_bitmap());
    ASSERT_GT(clipboard_format_count(), 0);
    EXPECT_EQ(S_OK, invoke(library.Get(), L"Limpia").hr);
    EXPECT_EQ(0, clipboard_format_count());

    put_on_clipboard(CF_BITMAP, test_bitmap());
    EXPECT_EQ(S_OK, library->Limpia());
    EXPECT_EQ(0, clipboard_format_count());

    ClipboardHolder holder;
    ASSERT_TRUE(holder.held);
    Call held = invoke(library.Get(), L"Limpia");
    EXPECT_EQ(521, held.number);
    EXPECT_EQ(L"Can't open Clipboard", held.description);
}

class PrinterEntry : public testing::Test {
protected:
    void SetUp() override
    {
        wchar_t entry[1024] = {};
        had_entry = GetProfileStringW(L"Windows", L"Device", L"\x01", entry, 1024) && entry[0] != 1;
        saved = entry;
        library = create_library();
        ASSERT_TRUE(library);
    }
    void TearDown() override { WriteProfileStringW(L"Windows", L"Device", had_entry ? saved.c_str() : nullptr); }

    std::wstring entry_read_by_name()
    {
        Call call = invoke(library.Get(), L"DefaultPrinterInfo");
        EXPECT_EQ(S_OK, call.hr);
        EXPECT_EQ(VT_BSTR, call.result.vt());
        return call.result.text();
    }

    bool had_entry = false;
    std::wstring saved;
    ComPtr<_CLibrary> library;
};

TEST_F(PrinterEntry, IsTheEntryPaddedWithNulsTo255Characters)
{
    const std::wstring entry = L"Impresora de prueba,winspool,LPT1:";
    ASSERT_TRUE(WriteProfileStringW(L"Windows", L"Device", entry.c_str()));
    EXPECT_EQ(entry + std::wstring(255 - entry.size(), L'\0'), entry_read_by_name());

    std::wstring longer(300, L'x');
    for (size_t i = 0; i < longer.size(); ++i) longer[i] = (wchar_t)(L'a' + i % 26);
    ASSERT_TRUE(WriteProfileStringW(L"Windows", L"Device", longer.c_str()));
    BSTR result = nullptr;
    ASSERT_EQ(S_OK, library->DefaultPrinterInfo(&result));
    EXPECT_EQ(longer.substr(0, 253) + std::wstring(2, L'\0'), std::wstring(result, SysStringLen(result)));
    SysFreeString(result);

    WriteProfileStringW(L"Windows", L"Device", nullptr);
    EXPECT_EQ(std::wstring(255, L'\0'), entry_read_by_name());
}

TEST(WindowsDirectory, IsThePlatformsWithoutTerminatorOrSpaces)
{
    wchar_t expected[MAX_PATH] = {};
    ASSERT_GT(GetWindowsDirectoryW(expected, MAX_PATH), 0u);
    ComPtr<_CLibrary> library = create_library();
    Call call = invoke(library.Get(), L"GetWindowsDir");
    ASSERT_EQ(S_OK, call.hr);
    EXPECT_EQ(std::wstring(expected), call.result.text());
    BSTR early = nullptr;
    ASSERT_EQ(S_OK, library->GetWindowsDir(&early));
    EXPECT_EQ(std::wstring(expected), std::wstring(early, SysStringLen(early)));
    SysFreeString(early);
}

TEST(StripTerminator, CutsAtTheFirstNul)
{
    ComPtr<_CLibrary> library = create_library();
    auto strip = [&](const std::wstring &text) { return invoke(library.Get(), L"StripTerminator", {Var(text)}); };
    const std::wstring nul(1, L'\0');
    const std::wstring long_text(40000, L'z');
    struct { std::wstring text, expected; } cases[] = {
        {L"abc" + nul + L"def" + nul, L"abc"},
        {nul + L"abc", L""},
        {L"abc", L"abc"},
        {L"", L""},
        {long_text, long_text}, // no NUL: any length comes back whole
        {std::wstring(32766, L'y') + nul + long_text, std::wstring(32766, L'y')},
    };
    for (auto &c : cases) {
        Call call = strip(c.text);
        EXPECT_EQ(S_OK, call.hr) << c.text.size();
        EXPECT_EQ(c.expected, call.result.text()) << c.text.size();
    }
    for (const std::wstring &text : {std::wstring(32767, L'y') + nul, long_text + nul}) {
        Call call = strip(text);
        EXPECT_EQ(6, call.number) << "first NUL at " << text.size();
        EXPECT_EQ(L"Overflow", call.description);
    }
}

// A document type whose open command is open_recorder, which writes down the
// path it was given.
class OpenWithProgram : public testing::Test {
protected:
    void SetUp() override
    {
        remove_folder();
        ASSERT_TRUE(CreateDirectoryW(folder().c_str(), nullptr));
        wchar_t self[MAX_PATH];
        GetModuleFileNameW(nullptr, self, MAX_PATH);
        std::wstring recorder(self);
        recorder = recorder.substr(0, recorder.find_last_of(L'\\') + 1) + L"open_recorder.exe";
        record = folder() + L"record.txt";
        std::wstring command = L"\"" + recorder + L"\" \"" + record + L"\" \"%1\"";
        write_raw(HKEY_CLASSES_ROOT, L".imvlinktest", L"", REG_SZ, utf16_bytes(std::wstring(L"IMV_v11.LinkTest") + L'\0'));
        write_raw(HKEY_CLASSES_ROOT, L"IMV_v11.LinkTest\\shell\\open\\command", L"", REG_SZ, utf16_bytes(command + L'\0'));
        library = create_library();
        ASSERT_TRUE(library);
    }
    void TearDown() override
    {
        delete_tree(HKEY_CLASSES_ROOT, L".imvlinktest");
        delete_tree(HKEY_CLASSES_ROOT, L"IMV_v11.LinkTest");
        remove_folder();
    }

    // The path open_recorder was given, waiting up to 30 s for `expected`: a
    // record of an earlier start (Wine's shell also starts the program for a
    // missing document) is passed over.
    std::wstring recorded_path(const std::wstring &expected)
    {
        std::wstring seen;
        for (int i = 0; i < 600 && seen != expected; ++i) {
            Bytes data = read_file(record);
            if (data.empty()) {
                Sleep(50);
                continue;
            }
            seen.assign((const wchar_t *)data.data(), data.size() / sizeof(wchar_t));
            DeleteFileW(record.c_str());
        }
        return seen;
    }

    std::wstring record;
    ComPtr<_CLibrary> library;
};

TEST_F(OpenWithProgram, HandsTheShellTheWholeTextAndLeavesTheVariable)
{
    std::wstring document = folder() + L"Informe \u03A9\u6F22 a\u00F1o.imvlinktest";
    BOOL outside_ansi = FALSE;
    WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, document.c_str(), -1, nullptr, 0, nullptr, &outside_ansi);
    ASSERT_TRUE(outside_ansi) << "the name must hold characters outside the ANSI code page";
    write_file(document, {'x'});

    for (const wchar_t *method : {L"prcLink", L"prcLink_About"}) {
        SCOPED_TRACE(method);
        Var file(document);
        BSTR before = V_BSTR(&file.v);
        MessageBoxWatcher watcher;
        EXPECT_EQ(S_OK, invoke(library.Get(), method, {ref(file, true)}).hr);
        EXPECT_EQ(document, recorded_path(document));
        if (!behind_proxy()) { EXPECT_EQ(before, V_BSTR(&file.v)); } // a proxy hands back a copy of the text
        EXPECT_EQ(document, file.text());

        Var missing(folder() + L"no existe.imvlinktest");
        EXPECT_EQ(S_OK, invoke(library.Get(), method, {ref(missing, true)}).hr);
        EXPECT_TRUE(watcher.seen().empty());
    }
}

TEST_F(OpenWithProgram, NoTextShowsOneBoxWithoutIcon)
{
    if (behind_proxy()) GTEST_SKIP() << "a proxy refuses the null pointer itself";
    for (auto method : {&_CLibrary::prcLink, &_CLibrary::prcLink_About}) {
        MessageBoxWatcher watcher;
        EXPECT_EQ(S_OK, (library.Get()->*method)(nullptr));
        std::vector<SeenMessageBox> boxes = watcher.seen();
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ(0u, boxes[0].icon);
    }
}

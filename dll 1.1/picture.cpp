#include "picture.h"

#include <cstdint>
#include <cstring>
#include <memory>

namespace {

[[noreturn]] void invalid_picture() { throw DesktopFailure{DesktopFailure::InvalidPicture}; }

[[noreturn]] void file_failed() { throw DesktopFailure{DesktopFailure::FileFailed}; }

// A global memory block of the clipboard, locked for the life of this owner.
class LockedGlobal {
public:
    explicit LockedGlobal(HANDLE block) : block_(block), data_(block ? GlobalLock(block) : nullptr)
    {
        if (!data_) invalid_picture();
    }
    ~LockedGlobal() { GlobalUnlock(block_); }
    LockedGlobal(const LockedGlobal &) = delete;
    LockedGlobal &operator=(const LockedGlobal &) = delete;
    const unsigned char *data() const { return static_cast<const unsigned char *>(data_); }
    size_t size() const { return GlobalSize(block_); }

private:
    HANDLE block_;
    void *data_;
};

// A .bmp file: the file header, then the device-independent bitmap as the
// clipboard holds it (CF_DIB, which the system also offers for CF_BITMAP).
Bytes bitmap_file()
{
    LockedGlobal dib(GetClipboardData(CF_DIB));
    BITMAPINFOHEADER info;
    if (dib.size() < sizeof info) invalid_picture();
    memcpy(&info, dib.data(), sizeof info);
    if (info.biSize < sizeof info || info.biSize > dib.size() || info.biWidth <= 0 || info.biHeight == 0) invalid_picture();

    // Three colour masks follow a plain header with bit fields; a larger
    // header holds them itself.
    uint64_t masks = info.biSize == sizeof info && info.biCompression == BI_BITFIELDS ? 3 * sizeof(DWORD) : 0;
    uint64_t colours = info.biClrUsed ? info.biClrUsed : info.biBitCount >= 1 && info.biBitCount <= 8 ? 1u << info.biBitCount : 0;
    uint64_t header = info.biSize + masks + colours * sizeof(RGBQUAD);
    uint64_t image = info.biSizeImage;
    if (info.biCompression == BI_RGB || info.biCompression == BI_BITFIELDS) {
        uint64_t stride = ((uint64_t)info.biWidth * info.biBitCount + 31) / 32 * 4;
        image = stride * (uint64_t)(info.biHeight < 0 ? -(int64_t)info.biHeight : info.biHeight);
    }
    if (image == 0 || header + image > dib.size()) invalid_picture();

    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42; // "BM"
    file.bfSize = (DWORD)(sizeof file + header + image);
    file.bfOffBits = (DWORD)(sizeof file + header);
    Bytes out(file.bfSize);
    memcpy(out.data(), &file, sizeof file);
    memcpy(out.data() + sizeof file, dib.data(), (size_t)(header + image));
    return out;
}

// An .emf file is the enhanced metafile's own bits.
Bytes enhanced_metafile_file()
{
    HENHMETAFILE metafile = (HENHMETAFILE)GetClipboardData(CF_ENHMETAFILE);
    UINT size = metafile ? GetEnhMetaFileBits(metafile, 0, nullptr) : 0;
    if (!size) invalid_picture();
    Bytes out(size);
    if (GetEnhMetaFileBits(metafile, size, out.data()) != size) invalid_picture();
    return out;
}

#pragma pack(push, 2)
struct PlaceableHeader {
    DWORD key;
    WORD handle;
    SHORT left, top, right, bottom;
    WORD inch;
    DWORD reserved;
    WORD checksum;
};
#pragma pack(pop)
static_assert(sizeof(PlaceableHeader) == 22, "the placeable header has 22 bytes");

// A metafile extent in 0.01 mm as twips for the placeable header; a picture
// without a suggested size is given one inch.
SHORT twips(LONG himetric)
{
    int64_t value = himetric < 0 ? -(int64_t)himetric : himetric;
    value = value ? value * 1440 / 2540 : 1440;
    return (SHORT)(value > 32767 ? 32767 : value ? value : 1);
}

// A placeable .wmf file: the 22-byte header that gives the picture its size,
// then the metafile's own bits.
Bytes placeable_metafile_file()
{
    LockedGlobal picture(GetClipboardData(CF_METAFILEPICT));
    METAFILEPICT description;
    if (picture.size() < sizeof description) invalid_picture();
    memcpy(&description, picture.data(), sizeof description);
    UINT size = description.hMF ? GetMetaFileBitsEx(description.hMF, 0, nullptr) : 0;
    if (!size) invalid_picture();

    PlaceableHeader header{};
    header.key = 0x9AC6CDD7;
    header.right = twips(description.xExt);
    header.bottom = twips(description.yExt);
    header.inch = 1440;
    WORD words[10];
    memcpy(words, &header, sizeof words);
    for (WORD word : words) header.checksum ^= word;

    Bytes out(sizeof header + size);
    memcpy(out.data(), &header, sizeof header);
    if (GetMetaFileBitsEx(description.hMF, size, out.data() + sizeof header) != size) invalid_picture();
    return out;
}

// A file handle, closed by its owner.
struct HandleClose {
    void operator()(HANDLE file) const { CloseHandle(file); }
};
using UniqueFile = std::unique_ptr<void, HandleClose>;

// A file made to be renamed into place; deleted unless it was.
class TemporaryFile {
public:
    explicit TemporaryFile(std::wstring path) : path_(std::move(path)) {}
    ~TemporaryFile()
    {
        if (!path_.empty()) DeleteFileW(path_.c_str()); // best effort: nothing more can be done here
    }
    TemporaryFile(const TemporaryFile &) = delete;
    TemporaryFile &operator=(const TemporaryFile &) = delete;
    const std::wstring &path() const { return path_; }
    void renamed() { path_.clear(); }

private:
    std::wstring path_;
};

} // namespace

OpenedClipboard::OpenedClipboard()
{
    for (int attempt = 1; !OpenClipboard(nullptr); ++attempt) {
        if (attempt == 10)
            throw DesktopFailure{DesktopFailure::ClipboardUnavailable};
        Sleep(20);
    }
}

void empty_clipboard()
{
    OpenedClipboard clipboard;
    if (!EmptyClipboard()) throw DesktopFailure{DesktopFailure::ClipboardUnavailable};
}

Bytes clipboard_picture()
{
    OpenedClipboard clipboard;
    // The first picture format offered is the picture's own: the formats the
    // system makes from it are listed after it.
    for (UINT format = EnumClipboardFormats(0); format; format = EnumClipboardFormats(format)) {
        switch (format) {
        case CF_BITMAP:
        case CF_DIB:
        case CF_DIBV5:
            return bitmap_file();
        case CF_ENHMETAFILE:
            return enhanced_metafile_file();
        case CF_METAFILEPICT:
            return placeable_metafile_file();
        default:
            break;
        }
    }
    return {};
}

void save_picture(const std::wstring &path, const Bytes &picture)
{
    if (picture.empty()) invalid_picture();
    write_file_replacing(path, picture);
}

void write_file_replacing(const std::wstring &path, const Bytes &content)
{
    // A NUL would make the platform see a different, shorter name.
    if (path.empty() || path.find(L'\0') != std::wstring::npos) file_failed();
    DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (!needed) file_failed();
    std::wstring full(needed, L'\0');
    DWORD length = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (!length || length >= needed) file_failed();
    full.resize(length);
    std::wstring folder = full.substr(0, full.find_last_of(L'\\') + 1);

    wchar_t temporary_name[MAX_PATH];
    if (!GetTempFileNameW(folder.c_str(), L"imv", 0, temporary_name)) file_failed();
    TemporaryFile temporary(temporary_name);
    {
        HANDLE handle = CreateFileW(temporary.path().c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) file_failed();
        UniqueFile file(handle);
        DWORD written = 0;
        if (!WriteFile(handle, content.data(), (DWORD)content.size(), &written, nullptr) || !FlushFileBuffers(handle))
            file_failed();
        if (written != content.size()) file_failed();
    }
    if (!MoveFileExW(temporary.path().c_str(), full.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        file_failed();
    temporary.renamed();
}

// Desktop services: the clipboard picture, the default-printer entry, opening
// a document with its program, the Windows directory.

#include <string_view>

#include "../common/text.h"
#include "automation.h"
#include "library.h"
#include "picture.h"

#include <shellapi.h>

namespace {

long error_number(DesktopFailure::Kind kind)
{
    switch (kind) {
    case DesktopFailure::ClipboardUnavailable: return ErrClipboard;
    case DesktopFailure::InvalidPicture: return ErrInvalidPicture;
    default: return ErrFileAccess;
    }
}

// Runs a clipboard or file step; its failure becomes the runtime error.
template <class Step>
auto desktop_step(Step &&step) -> decltype(step())
{
    try {
        return step();
    } catch (const DesktopFailure &failure) {
        raise(error_number(failure.kind));
    }
}

// Trapping: a failing step is abandoned, its error replaces the record, and
// the method goes on with its next step.  The record starts empty.
class ErrorRecord {
public:
    template <class Step>
    void run(Step &&step)
    {
        if (std::optional<AutomationError> error = trap(std::forward<Step>(step))) last_ = std::move(*error);
    }

    // Shows the most recent error, if there is one.  The answer is not used.
    void show(const wchar_t *caption, UINT style) const
    {
        if (FAILED(last_.hr)) message_box(last_.description, caption, style);
    }

private:
    AutomationError last_{S_OK, {}};
};

// prcLink and prcLink_About: the shell opens the caller's whole text with the
// program it associates with it; the caller's variable is left as it was.
HRESULT open_with_program(BSTR *lpFile)
{
    return guarded([&] {
        ErrorRecord record;
        record.run([&] {
            std::wstring file(view(*require(lpFile)));
            // The shell reports a missing file or program only in its result, which is not examined.
            ShellExecuteW(nullptr, nullptr, file.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
        });
        record.show(nullptr, MB_OK);
    });
}

// The default-printer entry of the profile, [Windows] Device, followed by NULs
// up to 255 characters.  The profile call gets one less than the buffer, so
// the entry has at most 253 characters.
std::wstring default_printer_entry()
{
    char buffer[255] = {};
    GetProfileStringA("Windows", "Device", "", buffer, 254); // the count is not needed: the buffer started all NUL
    std::wstring entry = from_ansi(std::string_view(buffer, strnlen(buffer, sizeof buffer)));
    entry.resize(255, L'\0');
    return entry;
}

// The text before its first NUL, or the whole text when it has none.  The
// position of that NUL is held as a 16-bit number: beyond 32,767 it overflows.
std::wstring_view before_first_nul(std::wstring_view text)
{
    size_t nul = text.find(L'\0');
    if (nul == std::wstring_view::npos) return text;
    if (nul + 1 > 32767) raise(ErrOverflow);
    return text.substr(0, nul);
}

} // namespace

STDMETHODIMP CLibrary::Copy_picture(BSTR *lpFile)
{
    CallReference hold(self());
    return guarded([&] {
        ErrorRecord record;
        Bytes picture;
        record.run([&] { picture = desktop_step(clipboard_picture); });
        // Runs even when the picture could not be taken: saving nothing fails too.
        record.run([&] { desktop_step([&] { save_picture(trim_spaces(view(*require(lpFile))), picture); }); });
        record.show(lCia_.c_str(), MB_OK | MB_ICONSTOP);
    });
}

STDMETHODIMP CLibrary::DefaultPrinterInfo(BSTR *result)
{
    return guarded([&] { *require(result) = make_bstr(default_printer_entry()).release(); });
}

STDMETHODIMP CLibrary::prcLink(BSTR *lpFile)
{
    CallReference hold(self());
    return open_with_program(lpFile);
}

STDMETHODIMP CLibrary::prcLink_About(BSTR *lpFile)
{
    CallReference hold(self());
    return open_with_program(lpFile);
}

STDMETHODIMP CLibrary::Limpia()
{
    return guarded([&] { desktop_step(empty_clipboard); });
}

STDMETHODIMP CLibrary::GetWindowsDir(BSTR *result)
{
    return guarded([&] {
        require(result);
        char buffer[255];
        memset(buffer, ' ', sizeof buffer);
        UINT length = GetWindowsDirectoryA(buffer, sizeof buffer);
        UniqueBstr directory;
        if ((LONG)length > 0) {
            // The whole buffer: the directory, its NUL and the spaces behind it.
            UniqueBstr whole = make_bstr(from_ansi(std::string_view(buffer, sizeof buffer)));
            BSTR stripped = nullptr;
            pass_on(self()->StripTerminator(whole.get(), &stripped));
            directory.reset(stripped);
        } else {
            directory = make_bstr(L"");
        }
        *result = directory.release();
    });
}

STDMETHODIMP CLibrary::StripTerminator(BSTR strString, BSTR *result)
{
    return guarded([&] {
        require(result);
        *result = make_bstr(before_first_nul(view(strString))).release();
    });
}

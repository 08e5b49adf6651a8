#pragma once
// The clipboard and picture files, in plain Win32: opening and emptying the
// clipboard, taking its picture as the bytes of a picture file in the
// picture's own format, and writing that file so that a failure leaves no
// trace.

#include <windows.h>

#include <string>

#include "../common/text.h"

// A failed clipboard or file step.
struct DesktopFailure {
    enum Kind { ClipboardUnavailable, InvalidPicture, FileFailed } kind;
};

// The clipboard, open for the life of this owner.  Another program (the
// spreadsheet, the clipboard manager) often holds it for a moment, so opening
// retries briefly before it fails.
class OpenedClipboard {
public:
    OpenedClipboard();
    ~OpenedClipboard() { CloseClipboard(); }
    OpenedClipboard(const OpenedClipboard &) = delete;
    OpenedClipboard &operator=(const OpenedClipboard &) = delete;
};

// Removes every format from the clipboard.
void empty_clipboard();

// The clipboard's picture as a whole picture file: a bitmap as a .bmp, an
// enhanced metafile as an .emf, a metafile picture as a placeable .wmf.  Empty
// when the clipboard holds no picture.
Bytes clipboard_picture();

// Writes a picture file under `path`; an empty picture is a failure.
void save_picture(const std::wstring &path, const Bytes &picture);

// Writes `content` to a new file beside `path` and then puts it in the place
// of `path`: on failure an existing file of that name stays as it was and no
// partial file remains.
void write_file_replacing(const std::wstring &path, const Bytes &content);

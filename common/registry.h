#pragma once
// The registry value reader of the product, shared by the library and the
// release 1.0 uninstaller.  ANSI registry calls, fixed buffers, every key
// closed by its owner.

#include <windows.h>

#include <memory>
#include <string>
#include <string_view>
#include <type_traits>

#include "text.h"

struct KeyCloser {
    void operator()(HKEY key) const { RegCloseKey(key); } // result deliberately ignored
};
using UniqueKey = std::unique_ptr<std::remove_pointer_t<HKEY>, KeyCloser>;

// The key, or an empty owner when it cannot be opened.
UniqueKey open_key(HKEY root, const std::string &path, REGSAM access);

// Value type codes as they cross the automation interface.
enum : short { TypeText = 1, TypeBinary = 3, TypeNumber = 4 };

// Buffer sizes of the reader: a longer value reads as missing.
enum : DWORD { TextBufferSize = 1024, BinaryBufferSize = 4096 };

struct RegistryRead {
    enum Outcome { UseDefault, Text, Binary, Number, UnsupportedType } outcome = UseDefault;
    std::wstring text;
    Bytes bytes;
    long number = 0;
};

// Reads `name` below `root`\`key` in the form of `type` (1, 3 or 4).  A key that
// cannot be opened, a missing value and a value too long for its buffer give
// UseDefault; another type code with an openable key gives UnsupportedType.
// The stored registry type is not compared with `type`.
RegistryRead read_registry_value(HKEY root, std::wstring_view key, std::wstring_view name, short type);

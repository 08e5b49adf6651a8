#include "registry.h"

UniqueKey open_key(HKEY root, const std::string &path, REGSAM access)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, access, &key) != ERROR_SUCCESS) return UniqueKey();
    return UniqueKey(key);
}

RegistryRead read_registry_value(HKEY root, std::wstring_view key_path, std::wstring_view name, short type)
{
    RegistryRead read;
    UniqueKey key = open_key(root, to_ansi(key_path), KEY_READ);
    if (!key) return read;
    std::string value_name = to_ansi(name);
    DWORD stored_type = 0;
    switch (type) {
    case TypeText: {
        char buffer[TextBufferSize];
        memset(buffer, ' ', sizeof buffer);
        DWORD length = sizeof buffer;
        stored_type = REG_SZ;
        if (RegQueryValueExA(key.get(), value_name.c_str(), nullptr, &stored_type, (BYTE *)buffer, &length) == ERROR_SUCCESS) {
            // The length counts the terminator; a value stored without one
            // loses its last character, and one of zero bytes reads as "".
            read.outcome = RegistryRead::Text;
            read.text = from_ansi(std::string_view(buffer, length ? length - 1 : 0));
        }
        break;
    }
    case TypeBinary: {
        Bytes buffer(BinaryBufferSize);
        DWORD length = BinaryBufferSize;
        stored_type = REG_BINARY;
        if (RegQueryValueExA(key.get(), value_name.c_str(), nullptr, &stored_type, buffer.data(), &length) == ERROR_SUCCESS) {
            buffer.resize(length);
            read.outcome = RegistryRead::Binary;
            read.bytes = std::move(buffer);
        }
        break;
    }
    case TypeNumber: {
        DWORD number = 0;
        DWORD length = sizeof number;
        stored_type = REG_DWORD;
        if (RegQueryValueExA(key.get(), value_name.c_str(), nullptr, &stored_type, (BYTE *)&number, &length) == ERROR_SUCCESS) {
            read.outcome = RegistryRead::Number;
            read.number = (long)number;
        }
        break;
    }
    default:
        read.outcome = RegistryRead::UnsupportedType;
        break;
    }
    return read;
}

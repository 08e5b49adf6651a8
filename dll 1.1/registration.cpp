// The registration: one table of entries, written below the classes key of the
// machine (HKEY_LOCAL_MACHINE\Software\Classes, for every user) or of the
// current user (HKEY_CURRENT_USER\Software\Classes, which Windows merges over
// the machine's for that user's processes that are not elevated); a journal
// that takes a failed registration back; and the removal.

#include "registration.h"

#include <oleauto.h>

#include "../common/registry.h"
#include "IMV_v11.h"

namespace {

// Every key is opened with its view named: a key opened in an alternate view
// leads on to its children only with the same flag (and Wine redirects only at
// Software, below the hive, so the system's keys are reached by their whole path).
#ifdef _WIN64
const wchar_t Platform[] = L"win64";
#else
const wchar_t Platform[] = L"win32";
#endif
// The type library is registered for its own locale, 0x0409, and for the
// neutral locale 0: a lookup for any other locale (the automation marshaller
// asks for the neutral one) falls back to the neutral entry.
const wchar_t *const TypeLibLocales[] = {L"409", L"0"};

std::wstring guid_text(REFGUID guid)
{
    wchar_t text[39];
    StringFromGUID2(guid, text, 39);
    return text;
}

std::wstring class_key() { return ClassesKey + (L"CLSID\\" + guid_text(CLSID_CLibrary)); }
std::wstring progid_key() { return ClassesKey + std::wstring(ProgId); }
std::wstring interface_key() { return ClassesKey + (L"Interface\\" + guid_text(IID__CLibrary)); }
std::wstring typelib_key() { return ClassesKey + (L"TypeLib\\" + guid_text(LIBID_IMV_v11)); }
std::wstring typelib_version_key() { return typelib_key() + L"\\" + TypeLibVersion; }

} // namespace

std::vector<RegistryEntry> registration_entries(const std::wstring &path, const TypeLibraryFacts &typelib)
{
    std::wstring cls = class_key(), clsid = guid_text(CLSID_CLibrary), libid = guid_text(LIBID_IMV_v11);
    std::wstring version = typelib_version_key(), iface = interface_key(), marshaller = guid_text(AutomationMarshaller);
    std::vector<RegistryEntry> list = {
        {cls, L"", ProgId},
        {cls + L"\\InprocServer32", L"", path},
        {cls + L"\\InprocServer32", L"ThreadingModel", ThreadingModel},
        {cls + L"\\ProgID", L"", ProgId},
        {cls + L"\\VERSION", L"", TypeLibVersion},
        {cls + L"\\TypeLib", L"", libid},
        {cls + L"\\Programmable", L"", L""},
        {progid_key(), L"", ProgId},
        {progid_key() + L"\\CLSID", L"", clsid},
        {version, L"", typelib.title},
        {version + L"\\FLAGS", L"", typelib.flags},
        {version + L"\\HELPDIR", L"", L""},
    };
    for (const wchar_t *locale : TypeLibLocales)
        list.push_back({version + L"\\" + locale + L"\\" + Platform, L"", path});
    for (REGSAM view : {OwnView, OtherView}) {
        list.push_back({iface, L"", InterfaceName, view});
        list.push_back({iface + L"\\ProxyStubClsid", L"", marshaller, view});
        list.push_back({iface + L"\\ProxyStubClsid32", L"", marshaller, view});
        list.push_back({iface + L"\\TypeLib", L"", libid, view});
        list.push_back({iface + L"\\TypeLib", L"Version", TypeLibVersion, view});
    }
    return list;
}

HRESULT read_type_library_facts(const std::wstring &module, TypeLibraryFacts &facts)
{
    ITypeLib *library = nullptr;
    HRESULT hr = LoadTypeLibEx(module.c_str(), REGKIND_NONE, &library);
    if (FAILED(hr)) return hr;
    TLIBATTR *attributes = nullptr;
    hr = library->GetLibAttr(&attributes);
    if (SUCCEEDED(hr)) {
        wchar_t flags[8];
        facts.flags = _ultow(attributes->wLibFlags, flags, 10);
        library->ReleaseTLibAttr(attributes);
        BSTR name = nullptr, doc = nullptr;
        hr = library->GetDocumentation(-1, &name, &doc, nullptr, nullptr);
        if (SUCCEEDED(hr)) facts.title = SysStringLen(doc) ? doc : name ? name : L"";
        SysFreeString(name);
        SysFreeString(doc);
    }
    library->Release();
    return hr;
}

extern "C" LONG NTAPI NtDeleteKey(HANDLE key);
extern "C" ULONG NTAPI RtlNtStatusToDosError(LONG status);

namespace {

HKEY hive(Scope scope) { return scope == Scope::User ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE; }

bool is_link(HKEY key)
{
    DWORD type = REG_NONE;
    return RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS &&
           type == REG_LINK;
}

// The library's keys begin below the system's: the classes key and its CLSID,
// TypeLib and Interface keys, which are reached as the system has them (the
// user's classes key is a link on Windows, the 32-bit view's TypeLib key one
// under Wine).  Where the system's part of `path` ends.
size_t system_keys_end(const std::wstring &path)
{
    for (const std::wstring &top : {class_key(), progid_key(), interface_key(), typelib_key()})
        if (path.compare(0, top.size(), top) == 0 && (path.size() == top.size() || path[top.size()] == L'\\'))
            return top.rfind(L'\\');
    return path.rfind(L'\\');
}

// No registry link within the library's keys is followed: each key is opened
// relative to its parent with REG_OPTION_OPEN_LINK, which opens a link as the
// link key itself (it holds no subkeys); what lies below a link is not the
// library's, and reads as absent.
LONG open_key_itself(HKEY hive, const std::wstring &path, REGSAM access, UniqueKey &key)
{
    const REGSAM view = access & (KEY_WOW64_32KEY | KEY_WOW64_64KEY);
    size_t end = system_keys_end(path);
    HKEY opened = nullptr;
    LONG status = RegOpenKeyExW(hive, path.substr(0, end).c_str(), 0, KEY_QUERY_VALUE | view, &opened);
    key.reset(status == ERROR_SUCCESS ? opened : nullptr);
    while (status == ERROR_SUCCESS) {
        size_t begin = end + 1;
        end = path.find(L'\\', begin);
        bool last = end == std::wstring::npos;
        status = RegOpenKeyExW(key.get(), path.substr(begin, end - begin).c_str(), REG_OPTION_OPEN_LINK,
                               last ? access : KEY_QUERY_VALUE | view, &opened);
        key.reset(status == ERROR_SUCCESS ? opened : nullptr);
        if (status != ERROR_SUCCESS || last) return status;
        if (is_link(opened)) {
            key.reset();
            return ERROR_FILE_NOT_FOUND;
        }
    }
    return status;
}

// Deletes the key itself: a link alone (RegDeleteKeyEx would follow it), and
// no key that still has subkeys.
LONG delete_held(HKEY key)
{
    LONG result = NtDeleteKey(key);
    return result >= 0 ? ERROR_SUCCESS : (LONG)RtlNtStatusToDosError(result);
}

// A key already gone is no error.
LONG delete_key(HKEY hive, const std::wstring &path, REGSAM view)
{
    UniqueKey key;
    LONG status = open_key_itself(hive, path, DELETE | view, key);
    if (status == ERROR_FILE_NOT_FOUND) return ERROR_SUCCESS;
    return status == ERROR_SUCCESS ? delete_held(key.get()) : status;
}

// ERROR_STOPPED_ON_SYMLINK, which mingw-w64's headers lack.
constexpr LONG StoppedOnLink = 681;

// One registration's changes in a hive, so that a registration that fails
// part of the way takes back what it wrote and nothing else: the keys it
// created, and the values it set, with what they held before.  Each change
// keeps the handle it was made through, and is taken back through it.
class Journal {
public:
    explicit Journal(HKEY hive) : hive_(hive) {}

    // The system's keys are created as the system has them; below them each
    // level is created relative to its parent, and one that is a link is not
    // entered: the registration stops there and is taken back, so that nothing
    // the link points to is written and nothing but what it wrote is removed.
    LONG write(const RegistryEntry &entry)
    {
        size_t end = system_keys_end(entry.key);
        HKEY opened = nullptr;
        LONG status = RegCreateKeyExW(hive_, entry.key.substr(0, end).c_str(), 0, nullptr, 0,
                                      KEY_CREATE_SUB_KEY | entry.view, nullptr, &opened, nullptr);
        if (status != ERROR_SUCCESS) return status;
        UniqueKey existing(opened); // a level this call did not create
        HKEY key = opened;
        while (end != std::wstring::npos) {
            size_t begin = end + 1;
            end = entry.key.find(L'\\', begin);
            REGSAM access = DELETE | KEY_QUERY_VALUE | (end == std::wstring::npos ? KEY_SET_VALUE : KEY_CREATE_SUB_KEY);
            DWORD disposition = 0;
            status = RegCreateKeyExW(key, entry.key.substr(begin, end - begin).c_str(), 0, nullptr, REG_OPTION_OPEN_LINK,
                                     access | entry.view, nullptr, &opened, &disposition);
            if (status != ERROR_SUCCESS) return status;
            if (disposition == REG_CREATED_NEW_KEY) {
                existing.reset();
                changes_.push_back({UniqueKey(opened), true});
            } else {
                existing.reset(opened);
                if (is_link(opened)) return StoppedOnLink;
            }
            key = opened;
        }
        Change set{std::move(existing), false, entry.name};
        if (set.key) {
            DWORD size = 0;
            if (RegQueryValueExW(key, set.name.c_str(), nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
                set.previous.resize(size);
                set.had_value = RegQueryValueExW(key, set.name.c_str(), nullptr, &set.previous_type,
                                                 set.previous.data(), &size) == ERROR_SUCCESS;
                set.previous.resize(size);
            }
        }
        status = RegSetValueExW(key, entry.name.c_str(), 0, REG_SZ, (const BYTE *)entry.value.c_str(),
                                (DWORD)((entry.value.size() + 1) * sizeof(wchar_t)));
        // A value of a key this call created goes with the key.
        if (status == ERROR_SUCCESS && set.key) changes_.push_back(std::move(set));
        return status;
    }

    // Newest first; what cannot be taken back is left as it is.
    void undo()
    {
        for (auto change = changes_.rbegin(); change != changes_.rend(); ++change) {
            HKEY key = change->key.get();
            if (change->key_created)
                delete_held(key);
            else if (change->had_value)
                RegSetValueExW(key, change->name.c_str(), 0, change->previous_type, change->previous.data(),
                               (DWORD)change->previous.size());
            else
                RegDeleteValueW(key, change->name.c_str());
        }
        changes_.clear();
    }

private:
    struct Change {
        UniqueKey key;       // the key created (held with DELETE), or the one whose value was set
        bool key_created;    // otherwise a value set
        std::wstring name{}; // of the value
        bool had_value = false;
        DWORD previous_type = REG_NONE;
        std::vector<BYTE> previous{};
    };
    HKEY hive_;
    std::vector<Change> changes_;
};

} // namespace

HRESULT register_server(Scope scope, const std::wstring &path)
{
    TypeLibraryFacts typelib;
    HRESULT hr = read_type_library_facts(path, typelib);
    if (FAILED(hr)) return hr;
    Journal journal(hive(scope));
    for (const RegistryEntry &entry : registration_entries(path, typelib)) {
        LONG status = journal.write(entry);
        if (status != ERROR_SUCCESS) {
            journal.undo();
            return HRESULT_FROM_WIN32(status);
        }
    }
    return S_OK;
}

namespace {

// A key that cannot be read for another reason may well be there.
bool key_absent(HKEY hive, const std::wstring &path, REGSAM view)
{
    HKEY key = nullptr;
    LONG status = RegOpenKeyExW(hive, path.c_str(), 0, KEY_READ | view, &key);
    if (status == ERROR_SUCCESS) RegCloseKey(key);
    return status == ERROR_FILE_NOT_FOUND;
}

// Removes a key with all it holds, each subkey opened relative to its parent
// in the same view and with REG_OPTION_OPEN_LINK: a link, even one put in
// place of a subkey after it was listed, is removed as a link.
LONG delete_tree(HKEY key, REGSAM view)
{
    std::vector<std::wstring> children;
    wchar_t name[256];
    DWORD length = 256;
    for (DWORD index = 0; RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         ++index, length = 256)
        children.emplace_back(name, length);
    for (const std::wstring &child : children) {
        HKEY opened = nullptr;
        LONG status = RegOpenKeyExW(key, child.c_str(), REG_OPTION_OPEN_LINK, KEY_ENUMERATE_SUB_KEYS | DELETE | view, &opened);
        if (status == ERROR_FILE_NOT_FOUND) continue;
        if (status != ERROR_SUCCESS) return status;
        UniqueKey owner(opened);
        if ((status = delete_tree(opened, view)) != ERROR_SUCCESS) return status;
    }
    return delete_held(key);
}

} // namespace

// Removes this build's own entries, and those both builds share only when the
// other build's class is not registered in the other view.  The first failure
// is reported; the remaining entries are still removed.
HRESULT unregister_server(Scope scope)
{
    HKEY root = hive(scope);
    LONG failure = ERROR_SUCCESS;
    auto remove = [&](const std::wstring &path, REGSAM view) {
        UniqueKey key;
        LONG status = open_key_itself(root, path, KEY_ENUMERATE_SUB_KEYS | DELETE | view, key);
        if (status == ERROR_SUCCESS) status = delete_tree(key.get(), view);
        if (failure == ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) failure = status;
    };
    // A key left without subkeys is removed; one still in use stays.
    auto remove_if_empty = [&](const std::wstring &path) { delete_key(root, path, OwnView); };

    remove(class_key(), OwnView);
    std::wstring version = typelib_version_key();
    for (const wchar_t *locale : TypeLibLocales) {
        remove(version + L"\\" + locale + L"\\" + Platform, OwnView);
        remove_if_empty(version + L"\\" + locale);
    }
    if (key_absent(root, class_key(), OtherView)) {
        remove(progid_key(), OwnView);
        remove(interface_key(), OwnView);
        remove(interface_key(), OtherView);
        remove(version, OwnView);
        remove_if_empty(typelib_key());
    }
    return HRESULT_FROM_WIN32(failure);
}

bool scope_of_command_line(const wchar_t *command_line, Scope &scope)
{
    scope = Scope::Machine;
    if (!command_line || !*command_line) return true;
    if (CompareStringOrdinal(command_line, -1, L"user", -1, TRUE) != CSTR_EQUAL) return false;
    scope = Scope::User;
    return true;
}

// Every member called by name through IDispatch with generated arguments:
// wrong counts, every automation type and its by-reference form, empty, null
// and huge strings, odd arrays, extreme numbers, root keys that are not roots.
// Each call must return success or a failure a script understands; nothing
// may crash, hang, leave a message box open, or leak handles or objects.
// Every key path it generates lies below a scratch key.

#include "support.h"

#include <cmath>
#include <cstdlib>
#include <map>
#include <random>

namespace {

const std::wstring FuzzKey = std::wstring(ScratchKey) + L"\\fuzz";

class Generator {
public:
    explicit Generator(unsigned seed) : random_(seed) {}

    int below(int n) { return (int)(random_() % (unsigned)n); }

    std::wstring text()
    {
        switch (below(8)) {
        case 0: return L"";
        case 1: return FuzzKey;
        case 2: return FuzzKey + L"\\" + std::to_wstring(below(5));
        case 3: return FuzzKey + L"\\" + std::wstring(1 + below(300), L'x');             // long names
        case 4: return FuzzKey + L"\\" + std::wstring(40000 + below(40000), L'y');       // huge
        case 5: return FuzzKey + L"\\a" + std::wstring(1, L'\0') + L"b";                 // embedded NUL
        case 6: return FuzzKey + L"\\\u0141ukasz \u03A9 \u00e9";                           // outside the code page
        default: return FuzzKey + L"\\k" + std::to_wstring(below(3)) + L"\\" + std::to_wstring(below(3));
        }
    }

    LONG number()
    {
        static const LONG interesting[] = {0, 1, -1, 2, 3, 4, 7, 32767, -32768, 32768, 65535, 0x7FFFFFFF, (LONG)0x80000000,
                                           (LONG)0x80000001, (LONG)0x80000002, (LONG)0x80000003, (LONG)0x80000005,
                                           (LONG)0x80000006, 0x1234, 0x40, 0x44};
        return below(4) ? interesting[below((int)(sizeof interesting / sizeof *interesting))] : (LONG)random_();
    }

    // One argument of any automation type; `storage` keeps by-reference targets alive.
    Var argument(std::vector<std::unique_ptr<Var>> &storage)
    {
        Var v;
        switch (below(18)) {
        case 0: break; // VT_EMPTY
        case 1: V_VT(&v.v) = VT_NULL; break;
        case 2: v = Var((short)number()); break;
        case 3: v = Var(number()); break;
        case 4: {
            static const double doubles[] = {0.5, -1e300, 1e300, NAN, INFINITY, 2147483648.0, -2147483649.0, 3.0};
            V_VT(&v.v) = VT_R8;
            V_R8(&v.v) = doubles[below(8)];
            break;
        }
        case 5: V_VT(&v.v) = VT_BOOL; V_BOOL(&v.v) = below(2) ? VARIANT_TRUE : VARIANT_FALSE; break;
        case 6: case 7: case 8: v = Var(text()); break;
        case 9: V_VT(&v.v) = VT_BSTR; V_BSTR(&v.v) = nullptr; break; // the null string
        case 10: V_VT(&v.v) = VT_ERROR; V_ERROR(&v.v) = DISP_E_PARAMNOTFOUND; break;
        case 11: V_VT(&v.v) = VT_DATE; V_DATE(&v.v) = 45000.25; break;
        case 12: V_VT(&v.v) = VT_CY; V_CY(&v.v).int64 = (LONGLONG)number() * 10000; break;
        case 13: V_VT(&v.v) = VT_DISPATCH; V_DISPATCH(&v.v) = nullptr; break;
        case 14: v = byte_array(); break;
        case 15: v = other_array(); break;
        case 16: V_VT(&v.v) = VT_UI1; V_UI1(&v.v) = (BYTE)number(); break;
        default: V_VT(&v.v) = VT_I8; V_I8(&v.v) = (LONGLONG)number() << 20; break;
        }
        if (below(40) == 0) { // a reference to a reference to itself: not valid, must not hurt
            storage.push_back(std::make_unique<Var>());
            VARIANT &loop = storage.back()->v;
            V_VT(&loop) = VT_BYREF | VT_VARIANT;
            V_VARIANTREF(&loop) = &loop;
            return ref(*storage.back());
        }
        if (below(4) == 0) { // by reference
            storage.push_back(std::make_unique<Var>(v));
            return ref(*storage.back(), V_VT(&v.v) == VT_BSTR && below(2));
        }
        return v;
    }

private:
    Var byte_array()
    {
        Var v;
        int kind = below(4);
        if (kind == 0) return Var(Bytes{});
        if (kind == 1) return Var(Bytes(1 + below(5000), (unsigned char)below(256)));
        SAFEARRAYBOUND bounds[2] = {{(ULONG)below(4), (LONG)number() % 1000}, {(ULONG)(1 + below(3)), 0}};
        SAFEARRAY *array = SafeArrayCreate(VT_UI1, kind == 2 ? 1 : 2, bounds); // odd lower bound, or two dimensions
        V_VT(&v.v) = VT_ARRAY | VT_UI1;
        V_ARRAY(&v.v) = array;
        return v;
    }
    Var other_array()
    {
        Var v;
        VARTYPE types[] = {VT_BSTR, VT_VARIANT, VT_I4};
        VARTYPE type = types[below(3)];
        SAFEARRAY *array = SafeArrayCreateVector(type, 0, (ULONG)below(3));
        V_VT(&v.v) = VT_ARRAY | type;
        V_ARRAY(&v.v) = array;
        return v;
    }
    std::mt19937 random_;
};

struct Member {
    std::wstring name;
    UINT inputs;
    WORD flags;
};

// Methods whose effects reach outside the process get few calls, and only
// names that cannot open anything.
bool reaches_outside(const std::wstring &name) { return name == L"prcLink" || name == L"prcLink_About"; }
bool shows_message_boxes(const std::wstring &name) { return name == L"Copy_picture" || name == L"Delete_All"; }

// Where a method that changes the registry takes its root and its key path
// (-1: no root parameter).  Those two always get HKEY_CURRENT_USER and a path
// below the scratch key: any other root handle value, or a text made from
// another type ("68"), could name a key that the prefix itself needs.
struct KeyParameters {
    int root, path;
};
std::wstring below_scratch_key(const std::wstring &text)
{
    return text.compare(0, FuzzKey.size(), FuzzKey) == 0 ? text : FuzzKey + L"\\" + text;
}

bool changes_registry(const std::wstring &name, KeyParameters &where)
{
    if (name == L"CreateRegistryKey" || name == L"DeleteRegistryKey" || name == L"SetRegistryValue" ||
        name == L"DeleteRegistryValue") {
        where = {0, 1};
        return true;
    }
    if (name == L"SetRegistryValueX") {
        where = {-1, 0};
        return true;
    }
    return false;
}

std::vector<Member> members_of(IDispatch *object)
{
    std::vector<Member> members;
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(S_OK, object->GetTypeInfo(0, 0, info.GetAddressOf()));
    TYPEATTR *attr = nullptr;
    info->GetTypeAttr(&attr);
    for (UINT f = 0; f < attr->cFuncs; ++f) {
        FUNCDESC *fd = nullptr;
        info->GetFuncDesc(f, &fd);
        if (!(fd->wFuncFlags & FUNCFLAG_FRESTRICTED)) { // the class's own members, not IDispatch's
            BSTR name = nullptr;
            info->GetDocumentation(fd->memid, &name, nullptr, nullptr, nullptr);
            UINT inputs = 0;
            for (SHORT p = 0; p < fd->cParams; ++p)
                if (!(fd->lprgelemdescParam[p].paramdesc.wParamFlags & PARAMFLAG_FRETVAL)) ++inputs;
            WORD flags = fd->invkind == INVOKE_PROPERTYGET ? DISPATCH_PROPERTYGET
                         : fd->invkind == INVOKE_PROPERTYPUT ? DISPATCH_PROPERTYPUT : DISPATCH_METHOD;
            members.push_back({name, inputs, flags});
            SysFreeString(name);
        }
        info->ReleaseFuncDesc(fd);
    }
    info->ReleaseTypeAttr(attr);
    return members;
}

// A failure a script understands: an automation error with a description, or
// one of the runtime's argument errors.
bool understood(const Call &call)
{
    if (call.ok()) return true;
    if (call.number != 0) return !call.description.empty();
    switch (call.hr) {
    case DISP_E_BADPARAMCOUNT: case DISP_E_TYPEMISMATCH: case DISP_E_PARAMNOTOPTIONAL: case DISP_E_BADVARTYPE:
    case DISP_E_OVERFLOW: case DISP_E_PARAMNOTFOUND: case DISP_E_MEMBERNOTFOUND: case DISP_E_NOTACOLLECTION:
    case E_INVALIDARG: // a script reports it as error 5, "Invalid procedure call or argument"
        return true;
    default:
        return !call.description.empty();
    }
}

} // namespace

TEST(Fuzz, EveryMemberSurvivesGeneratedArguments)
{
    const char *seed_text = getenv("IMV_FUZZ_SEED");
    unsigned seed = seed_text ? (unsigned)strtoul(seed_text, nullptr, 0) : 20261208u;
    const char *calls_text = getenv("IMV_FUZZ_CALLS");
    int total = calls_text ? atoi(calls_text) : 50000;
    printf("fuzz seed %u (set IMV_FUZZ_SEED to repeat another), %d calls after 2000 to warm up\n", seed, total);
    Generator generate(seed);
    delete_tree(HKEY_CURRENT_USER, ScratchKey);

    MessageBoxWatcher boxes;
    std::map<std::wstring, std::map<std::string, int>> outcomes;
    ULONG handles_before = 0;
    SIZE_T memory_before = 0;
    {
        ComPtr<_CLibrary> library = create_library();
        ASSERT_TRUE(library);
        std::vector<Member> members = members_of(library.Get());
        ASSERT_EQ(32u, members.size());
        // The platform opens and caches some handles on first use (the
        // predefined roots, among others): the first calls warm up and the
        // counting starts after them.
        const int warm_up = 2000;
        for (LONG root = (LONG)0x80000000; root <= (LONG)0x80000006; ++root)
            invoke(library.Get(), L"CheckRegistryKey", {Var(root), Var(FuzzKey)});
        int boxes_allowed = 60;
        for (int i = 0; i < warm_up + total; ++i) {
            if (i == warm_up) {
                handles_before = process_handle_count();
                memory_before = process_committed_bytes();
            }
            const Member &member = members[generate.below((int)members.size())];
            if (shows_message_boxes(member.name) && (boxes_allowed <= 0 || generate.below(20))) continue;
            if (reaches_outside(member.name) && generate.below(10)) continue;
            std::vector<std::unique_ptr<Var>> storage;
            std::vector<Var> args;
            int count = generate.below(6) ? (int)member.inputs : generate.below((int)member.inputs + 3);
            KeyParameters where{};
            bool writes = changes_registry(member.name, where);
            for (int a = 0; a < count; ++a) {
                if (reaches_outside(member.name)) args.push_back(Var(FuzzKey + L"\\no such document " + std::to_wstring(a)));
                else if (writes && a == where.root) args.push_back(Var(HKCU_LONG));
                else if (writes && a == where.path) args.push_back(Var(below_scratch_key(generate.text())));
                else args.push_back(generate.argument(storage));
            }
            Call call = member.flags == DISPATCH_PROPERTYPUT && count == 1
                            ? put_property(library.Get(), member.name.c_str(), args[0])
                            : invoke(library.Get(), member.name.c_str(), args, member.flags);
            if (shows_message_boxes(member.name)) --boxes_allowed;
            char outcome[32];
            sprintf(outcome, call.ok() ? "ok" : "0x%08lx", (unsigned long)call.hr);
            ++outcomes[member.name][outcome];
            if (!understood(call)) {
                std::string types;
                for (auto &a : args) types += " " + std::to_string(a.vt());
                FAIL() << "call " << i << " of " << std::string(member.name.begin(), member.name.end()) << " with "
                       << count << " arguments (types" << types << "): 0x" << std::hex << call.hr;
            }
        }
    }
    delete_tree(HKEY_CURRENT_USER, ScratchKey);
    EXPECT_EQ(S_OK, library_can_unload_now()) << "an object or lock outlived its client";

    ULONG handles_after = process_handle_count();
    SIZE_T memory_after = process_committed_bytes();
    printf("handles: %lu before, %lu after; committed memory: %lu KB before, %lu KB after\n", handles_before, handles_after,
           (unsigned long)(memory_before / 1024), (unsigned long)(memory_after / 1024));
    for (auto &member : outcomes) {
        printf("  %-24ls", member.first.c_str());
        for (auto &o : member.second) printf(" %s x%d", o.first.c_str(), o.second);
        printf("\n");
    }
    // Memory is printed, not judged here: the huge strings leave the heap
    // larger without a leak (the soak test judges memory on ordinary calls).
    EXPECT_LE(handles_after, handles_before);
    std::vector<SeenMessageBox> seen = boxes.seen();
    printf("message boxes shown and closed: %zu\n", seen.size());
    EXPECT_EQ(nullptr, FindWindowW(L"#32770", nullptr)) << "a message box was left open";
}

TEST(Fuzz, MalformedVariantsFromTheVirtualTableRaiseInsteadOfCrashing)
{
    // What only a virtual-table caller can pass: references and arrays given
    // as null pointers, a reference to a null reference, null strings.
    delete_tree(HKEY_CURRENT_USER, ScratchKey);
    write_raw(HKEY_CURRENT_USER, FuzzKey, L"kept", REG_DWORD, {7, 0, 0, 0});
    ComPtr<_CLibrary> library = create_library();
    ASSERT_TRUE(library);
    BSTR key = SysAllocString(FuzzKey.c_str()), name = SysAllocString(L"v"), absent = SysAllocString(L"absent"),
         kept = SysAllocString(L"kept");
    SAFEARRAY *no_array = nullptr;
    VARIANT null_reference;
    V_VT(&null_reference) = VT_BYREF | VT_I2;
    V_I2REF(&null_reference) = nullptr;
    struct {
        const char *what;
        VARTYPE type;
        void *pointer;
    } malformed[] = {
        {"Variant reference", VT_BYREF | VT_VARIANT, nullptr},
        {"String reference", VT_BYREF | VT_BSTR, nullptr},
        {"array reference", VT_BYREF | VT_ARRAY | VT_UI1, nullptr},
        {"reference to a null reference", VT_BYREF | VT_VARIANT, &null_reference},
    };
    for (const auto &m : malformed) {
        SCOPED_TRACE(m.what);
        VARIANT value;
        V_VT(&value) = m.type;
        V_BYREF(&value) = m.pointer;
        auto expect_invalid_argument = [](HRESULT hr) {
            EXPECT_EQ((HRESULT)0x800A0005, hr);
            EXPECT_EQ(L"Invalid procedure call or argument", last_error(hr).description);
        };
        for (short type : {(short)1, (short)3, (short)4}) {
            expect_invalid_argument(library->SetRegistryValue(HKCU_LONG, key, name, type, &value));
            expect_invalid_argument(library->SetRegistryValueX(key, name, type, &value));
        }
        // Whether or not the default would be used.
        for (BSTR value_name : {absent, kept}) {
            VARIANT result;
            VariantInit(&result);
            expect_invalid_argument(library->GetRegistryValue(HKCU_LONG, key, value_name, 4, &value, &result));
            expect_invalid_argument(library->GetRegistryValueX(key, value_name, 4, &value, &result));
            EXPECT_EQ(VT_EMPTY, V_VT(&result));
        }
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, read_raw(HKEY_CURRENT_USER, FuzzKey, L"v").status);
    }

    // A null array (an array variable never sized), directly and by reference,
    // is a value: binary data refuses it as an empty array, and as a default it
    // comes back as it was given.  Late-bound too, as a macro passes it.
    VARIANT null_array, null_array_reference;
    V_VT(&null_array) = VT_ARRAY | VT_UI1;
    V_ARRAY(&null_array) = nullptr;
    V_VT(&null_array_reference) = VT_BYREF | VT_ARRAY | VT_UI1;
    V_ARRAYREF(&null_array_reference) = &no_array;
    for (VARIANT *value : {&null_array, &null_array_reference}) {
        EXPECT_EQ((HRESULT)0x800A0009, library->SetRegistryValue(HKCU_LONG, key, name, 3, value));
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, read_raw(HKEY_CURRENT_USER, FuzzKey, L"v").status);
        VARIANT result;
        VariantInit(&result);
        ASSERT_EQ(S_OK, library->GetRegistryValue(HKCU_LONG, key, absent, 4, value, &result));
        EXPECT_EQ(VT_ARRAY | VT_UI1, V_VT(&result));
        EXPECT_EQ(nullptr, V_ARRAY(&result));
        ASSERT_EQ(S_OK, library->GetRegistryValueX(key, kept, 4, value, &result));
        EXPECT_EQ(VT_I4, V_VT(&result));
        EXPECT_EQ(7, V_I4(&result));
    }
    Var never_sized;
    V_VT(&never_sized.v) = VT_ARRAY | VT_UI1;
    Call refused = invoke(library.Get(), L"SetRegistryValueX", {Var(FuzzKey), Var(L"v"), Var((short)3), ref(never_sized)});
    EXPECT_EQ(9, refused.number);
    EXPECT_EQ(L"Subscript out of range", refused.description);
    Call fallback = invoke(library.Get(), L"GetRegistryValueX", {Var(FuzzKey), Var(L"absent"), Var((short)3), never_sized});
    EXPECT_TRUE(fallback.ok());
    EXPECT_EQ(VT_ARRAY | VT_UI1, fallback.result.vt());
    EXPECT_EQ(nullptr, V_ARRAY(&fallback.result.v));

    // A null string is the empty string, directly and by reference.
    BSTR null_string = nullptr;
    VARIANT direct, by_reference;
    V_VT(&direct) = VT_BSTR;
    V_BSTR(&direct) = nullptr;
    V_VT(&by_reference) = VT_BYREF | VT_BSTR;
    V_BSTRREF(&by_reference) = &null_string;
    for (VARIANT *value : {&direct, &by_reference}) {
        EXPECT_EQ(S_OK, library->SetRegistryValue(HKCU_LONG, key, name, 1, value));
        RawValue written = read_raw(HKEY_CURRENT_USER, FuzzKey, L"v");
        EXPECT_EQ((DWORD)REG_SZ, written.type);
        EXPECT_EQ(Bytes(2, 0), written.data);
        VARIANT result;
        VariantInit(&result);
        ASSERT_EQ(S_OK, library->GetRegistryValueX(key, absent, 1, value, &result));
        EXPECT_EQ(VT_BSTR, V_VT(&result));
        EXPECT_TRUE(V_BSTR(&result) && SysStringLen(V_BSTR(&result)) == 0);
        VariantClear(&result);
    }
    SysFreeString(key);
    SysFreeString(name);
    SysFreeString(absent);
    SysFreeString(kept);
    delete_tree(HKEY_CURRENT_USER, ScratchKey);
}

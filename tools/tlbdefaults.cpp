// Finishes a type library written by widl: copies it whole through the
// platform's type-library writer and gives every parameter that carries the
// custom attribute GUID_DeclaredDefault that attribute's value as its declared
// default (PARAMFLAG_FHASDEFAULT).  widl refuses a string default on a VARIANT*
// parameter; the platform's writer stores it.  Runs at build time under Wine.
//
// usage: tlbdefaults <in.tlb> <out.tlb>

#include <windows.h>
#include <oleauto.h>
#include <cstdio>
#include <vector>

static const GUID GUID_DeclaredDefault = {0x6f4c2a1e, 0x8b0d, 0x4e57, {0x9a, 0x3c, 0x1d, 0x2e, 0x7b, 0x5f, 0x40, 0x91}};

#define CHECK(expr)                                                                  \
    do {                                                                             \
        HRESULT hr_ = (expr);                                                        \
        if (FAILED(hr_)) {                                                           \
            fprintf(stderr, "tlbdefaults: %s failed: 0x%08lx\n", #expr, (unsigned long)hr_); \
            exit(1);                                                                 \
        }                                                                            \
    } while (0)

static void copy_docs(ITypeInfo *src, MEMBERID id, ICreateTypeInfo *dst, int func)
{
    BSTR name = nullptr, doc = nullptr;
    DWORD context = 0;
    if (FAILED(src->GetDocumentation(id, &name, &doc, &context, nullptr)))
        return;
    if (func < 0) {
        if (doc) CHECK(dst->SetDocString(doc));
        if (context) CHECK(dst->SetHelpContext(context));
    } else {
        if (doc) CHECK(dst->SetFuncDocString(func, doc));
        if (context) CHECK(dst->SetFuncHelpContext(func, context));
    }
    SysFreeString(name);
    SysFreeString(doc);
}

// Adds the functions of the interface `src` to `dst`.
static void copy_functions(ITypeInfo *src, TYPEATTR *attr, ICreateTypeInfo *dst)
{
    ITypeInfo2 *src2 = nullptr;
    CHECK(src->QueryInterface(IID_ITypeInfo2, (void **)&src2));
    for (UINT f = 0; f < attr->cFuncs; ++f) {
        FUNCDESC *fd = nullptr;
        CHECK(src->GetFuncDesc(f, &fd));
        FUNCDESC copy = *fd;
        std::vector<ELEMDESC> params(fd->lprgelemdescParam, fd->lprgelemdescParam + fd->cParams);
        std::vector<PARAMDESCEX> defaults(fd->cParams);
        for (SHORT p = 0; p < fd->cParams; ++p) {
            VARIANT value;
            VariantInit(&value);
            if (SUCCEEDED(src2->GetParamCustData(f, p, GUID_DeclaredDefault, &value)) && V_VT(&value) != VT_EMPTY) {
                defaults[p].cBytes = sizeof(PARAMDESCEX);
                defaults[p].varDefaultValue = value;
                params[p].paramdesc.wParamFlags |= PARAMFLAG_FOPT | PARAMFLAG_FHASDEFAULT;
                params[p].paramdesc.pparamdescex = &defaults[p];
            }
        }
        copy.lprgelemdescParam = params.data();
        CHECK(dst->AddFuncDesc(f, &copy));

        BSTR names[64];
        UINT count = 0;
        CHECK(src->GetNames(fd->memid, names, 64, &count));
        // The writer takes no name for the value parameter of a property put.
        UINT named = (fd->invkind & (INVOKE_PROPERTYPUT | INVOKE_PROPERTYPUTREF)) && count > (UINT)fd->cParams
                         ? fd->cParams : count;
        CHECK(dst->SetFuncAndParamNames(f, names, named));
        for (UINT i = 0; i < count; ++i) SysFreeString(names[i]);
        copy_docs(src, fd->memid, dst, f);

        for (auto &d : defaults) VariantClear(&d.varDefaultValue);
        src->ReleaseFuncDesc(fd);
    }
    src2->Release();
}

int wmain(int argc, wchar_t **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: tlbdefaults <in.tlb> <out.tlb>\n");
        return 2;
    }
    CHECK(CoInitialize(nullptr));
    ITypeLib *src = nullptr;
    CHECK(LoadTypeLibEx(argv[1], REGKIND_NONE, &src));
    TLIBATTR *lib = nullptr;
    CHECK(src->GetLibAttr(&lib));
    DeleteFileW(argv[2]);
    // The copy is for the system widl wrote the library for (SYS_WIN32 or
    // SYS_WIN64); the build runs this program with the same bitness.
    ICreateTypeLib2 *dst = nullptr;
    CHECK(CreateTypeLib2(lib->syskind, argv[2], &dst));
    BSTR name = nullptr, doc = nullptr, helpfile = nullptr;
    DWORD context = 0;
    CHECK(src->GetDocumentation(-1, &name, &doc, &context, &helpfile));
    CHECK(dst->SetName(name));
    CHECK(dst->SetGuid(lib->guid));
    CHECK(dst->SetLcid(lib->lcid));
    CHECK(dst->SetVersion(lib->wMajorVerNum, lib->wMinorVerNum));
    CHECK(dst->SetLibFlags(lib->wLibFlags));
    if (doc) CHECK(dst->SetDocString(doc));
    if (helpfile) CHECK(dst->SetHelpFileName(helpfile));
    if (context) CHECK(dst->SetHelpContext(context));
    src->ReleaseTLibAttr(lib);

    // Interfaces first, so that a coclass can refer to the copies.
    std::vector<ICreateTypeInfo *> created(src->GetTypeInfoCount(), nullptr);
    for (int pass = 0; pass < 2; ++pass) {
        for (UINT i = 0; i < src->GetTypeInfoCount(); ++i) {
            ITypeInfo *ti = nullptr;
            CHECK(src->GetTypeInfo(i, &ti));
            TYPEATTR *attr = nullptr;
            CHECK(ti->GetTypeAttr(&attr));
            BSTR tname = nullptr;
            CHECK(ti->GetDocumentation(MEMBERID_NIL, &tname, nullptr, nullptr, nullptr));
            bool is_coclass = attr->typekind == TKIND_COCLASS;
            if (is_coclass == (pass == 1)) {
                ICreateTypeInfo *ct = nullptr;
                if (!is_coclass && attr->typekind != TKIND_DISPATCH && attr->typekind != TKIND_INTERFACE) {
                    fprintf(stderr, "tlbdefaults: unsupported type kind %d\n", attr->typekind);
                    return 1;
                }
                // A dual interface is listed as its dispatch side; copy its vtable side.
                ITypeInfo *body = ti;
                TYPEATTR *body_attr = attr;
                if (attr->typekind == TKIND_DISPATCH && (attr->wTypeFlags & TYPEFLAG_FDUAL)) {
                    HREFTYPE href;
                    CHECK(ti->GetRefTypeOfImplType(-1, &href));
                    CHECK(ti->GetRefTypeInfo(href, &body));
                    CHECK(body->GetTypeAttr(&body_attr));
                }
                CHECK(dst->CreateTypeInfo(tname, is_coclass ? TKIND_COCLASS : body_attr->typekind, &ct));
                CHECK(ct->SetGuid(attr->guid));
                CHECK(ct->SetVersion(attr->wMajorVerNum, attr->wMinorVerNum));
                copy_docs(ti, MEMBERID_NIL, ct, -1);
                for (UINT k = 0; k < body_attr->cImplTypes; ++k) {
                    HREFTYPE href, newref;
                    ITypeInfo *base = nullptr;
                    CHECK(body->GetRefTypeOfImplType(k, &href));
                    CHECK(body->GetRefTypeInfo(href, &base));
                    ITypeLib *baselib = nullptr;
                    UINT baseindex = 0;
                    CHECK(base->GetContainingTypeLib(&baselib, &baseindex));
                    ITypeInfo *target = base;
                    if (baselib == src) {
                        // Refers to a type of this library: use its copy.
                        CHECK(created[baseindex]->QueryInterface(IID_ITypeInfo, (void **)&target));
                    }
                    CHECK(ct->AddRefTypeInfo(target, &newref));
                    CHECK(ct->AddImplType(k, newref));
                    if (is_coclass) {
                        INT implflags = 0;
                        CHECK(body->GetImplTypeFlags(k, &implflags));
                        CHECK(ct->SetImplTypeFlags(k, implflags));
                    }
                    if (target != base) target->Release();
                    baselib->Release();
                    base->Release();
                }
                // widl marks only the virtual-table side of a dual interface as
                // automation-compatible; the copy carries the flags of both.
                CHECK(ct->SetTypeFlags(attr->wTypeFlags | body_attr->wTypeFlags));
                if (!is_coclass) {
                    CHECK(ct->SetAlignment(body_attr->cbAlignment));
                    copy_functions(body, body_attr, ct);
                }
                CHECK(ct->LayOut());
                created[i] = ct;
                if (body != ti) {
                    body->ReleaseTypeAttr(body_attr);
                    body->Release();
                }
            }
            SysFreeString(tname);
            ti->ReleaseTypeAttr(attr);
            ti->Release();
        }
    }
    CHECK(dst->SaveAllChanges());
    for (auto *ct : created)
        if (ct) ct->Release();
    dst->Release();
    src->Release();
    CoUninitialize();
    return 0;
}

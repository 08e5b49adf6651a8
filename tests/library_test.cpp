// The server's lifetime as the automation runtime sees it: class factory,
// locks, DllCanUnloadNow, unloading and loading again.

#include "support.h"

TEST(Lifetime, UnloadsWhenNoObjectOrLockRemainsAndLoadsAgain)
{
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(S_OK, CoGetClassObject(CLSID_CLibrary, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                     (void **)factory.GetAddressOf()));
    ComPtr<_CLibrary> first, second;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID__CLibrary, (void **)first.GetAddressOf()));
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID__CLibrary, (void **)second.GetAddressOf()));
    EXPECT_NE(first.Get(), second.Get());
    ComPtr<IUnknown> outer;
    EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(first.Get(), IID_IUnknown, (void **)outer.GetAddressOf()));

    EXPECT_EQ(S_FALSE, library_can_unload_now());
    first.Reset();
    second.Reset();
    // A client may hold the class object without locking the server and
    // create objects from it later: freeing unused libraries meanwhile must
    // not unload the code the factory runs.
    EXPECT_EQ(S_FALSE, library_can_unload_now()) << "the held class object keeps the module";
    CoFreeUnusedLibrariesEx(0, 0);
    ASSERT_NE(nullptr, GetModuleHandleW(L"IMV_v11.dll")) << "unloaded under a held class object";
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID__CLibrary, (void **)first.GetAddressOf()));
    EXPECT_TRUE(invoke(first.Get(), L"GetRegistryValueX", {Var(L"Software\\IMV_v11 none"), Var(L"v"), Var((short)1)}).ok());
    first.Reset();
    ASSERT_EQ(S_OK, factory->LockServer(TRUE));
    factory.Reset();
    EXPECT_EQ(S_FALSE, library_can_unload_now()) << "the lock keeps the module";
    ComPtr<IClassFactory> again_factory;
    ASSERT_EQ(S_OK, CoGetClassObject(CLSID_CLibrary, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                     (void **)again_factory.GetAddressOf()));
    ASSERT_EQ(S_OK, again_factory->LockServer(FALSE));
    again_factory.Reset();
    EXPECT_EQ(S_OK, library_can_unload_now());

    CoFreeUnusedLibrariesEx(0, 0);
    EXPECT_EQ(nullptr, GetModuleHandleW(L"IMV_v11.dll")) << "the library stayed loaded";

    // Loaded again, with its type library usable for dispatch.
    ComPtr<_CLibrary> again = create_library();
    ASSERT_TRUE(again);
    EXPECT_NE(nullptr, GetModuleHandleW(L"IMV_v11.dll"));
    ASSERT_TRUE(put_property(again.Get(), L"lCia", Var(L"again")).ok());
    Call caption = invoke(again.Get(), L"lCia", {}, DISPATCH_PROPERTYGET);
    EXPECT_EQ(L"again", caption.result.text());
    Call read = invoke(again.Get(), L"GetRegistryValueX", {Var(L"Software\\IMV_v11 none"), Var(L"v"), Var((short)1)});
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(L"", read.result.text());
    again.Reset();

    // Apartments creating and calling while another frees unused libraries: a
    // creation that found the type information freed under it would crash.
    struct Stress {
        static DWORD WINAPI run(void *frees)
        {
            CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
            DWORD failures = 0;
            for (int i = 0; i < 300; ++i) {
                ComPtr<IDispatch> object;
                CoCreateInstance(CLSID_CLibrary, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, (void **)object.GetAddressOf());
                failures += !object || (!frees && !invoke(object.Get(), L"lCia", {}, DISPATCH_PROPERTYGET).ok());
                object.Reset();
                if (frees) CoFreeUnusedLibrariesEx(0, 0);
            }
            CoUninitialize();
            return failures;
        }
    };
    HANDLE threads[4];
    for (int i = 0; i < 4; ++i) threads[i] = CreateThread(nullptr, 0, Stress::run, (void *)(INT_PTR)(i == 3), 0, nullptr);
    WaitForMultipleObjects(4, threads, TRUE, INFINITE);
    for (HANDLE thread : threads) {
        DWORD failures = 1;
        EXPECT_TRUE(GetExitCodeThread(thread, &failures) && failures == 0) << failures << " failed calls";
        CloseHandle(thread);
    }
}

TEST(Lifetime, TypeInformationAsHostsExpectIt)
{
    // GetTypeInfo gives the dispatch side of the dual interface, whose
    // implemented type -1 is the virtual-table side; IProvideClassInfo gives
    // the class.
    ComPtr<_CLibrary> library = create_library();
    ComPtr<ITypeInfo> dispatch, vtable, coclass;
    ASSERT_EQ(S_OK, library->GetTypeInfo(0, LOCALE_USER_DEFAULT, dispatch.GetAddressOf()));
    TYPEATTR *attr = nullptr;
    ASSERT_EQ(S_OK, dispatch->GetTypeAttr(&attr));
    EXPECT_EQ(TKIND_DISPATCH, attr->typekind);
    EXPECT_EQ(IID__CLibrary, attr->guid);
    EXPECT_TRUE(attr->wTypeFlags & TYPEFLAG_FDUAL);
    dispatch->ReleaseTypeAttr(attr);
    HREFTYPE href = 0;
    ASSERT_EQ(S_OK, dispatch->GetRefTypeOfImplType((UINT)-1, &href));
    ASSERT_EQ(S_OK, dispatch->GetRefTypeInfo(href, vtable.GetAddressOf()));
    ASSERT_EQ(S_OK, vtable->GetTypeAttr(&attr));
    EXPECT_EQ(TKIND_INTERFACE, attr->typekind);
    vtable->ReleaseTypeAttr(attr);

    ComPtr<IProvideClassInfo> provider;
    ASSERT_EQ(S_OK, library.As(&provider));
    EXPECT_EQ(E_POINTER, provider->GetClassInfo(nullptr));
    ASSERT_EQ(S_OK, provider->GetClassInfo(coclass.GetAddressOf()));
    ASSERT_EQ(S_OK, coclass->GetTypeAttr(&attr));
    EXPECT_EQ(TKIND_COCLASS, attr->typekind);
    EXPECT_EQ(CLSID_CLibrary, attr->guid);
    coclass->ReleaseTypeAttr(attr);
    BSTR name = nullptr;
    ASSERT_EQ(S_OK, coclass->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr));
    EXPECT_STREQ(L"CLibrary", name);
    SysFreeString(name);

    // Name lookup and calls still go by the interface.
    Call caption = invoke(library.Get(), L"lCia", {}, DISPATCH_PROPERTYGET);
    EXPECT_TRUE(caption.ok());
}

TEST(Lifetime, AnswersOnlyItsOwnInterfaces)
{
    ComPtr<_CLibrary> library = create_library();
    ComPtr<IUnknown> unknown;
    ComPtr<IDispatch> dispatch;
    ComPtr<ISupportErrorInfo> support;
    ComPtr<IPersist> persist;
    EXPECT_EQ(S_OK, library.As(&unknown));
    EXPECT_EQ(S_OK, library.As(&dispatch));
    EXPECT_EQ(S_OK, library.As(&support));
    EXPECT_EQ(E_NOINTERFACE, library.As(&persist));
    EXPECT_EQ(S_FALSE, support->InterfaceSupportsErrorInfo(IID_IPersist));
    UINT count = 0;
    EXPECT_EQ(S_OK, dispatch->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(DISP_E_BADINDEX, dispatch->GetTypeInfo(1, 0, info.GetAddressOf()));
    ASSERT_EQ(S_OK, dispatch->GetTypeInfo(0, 0, info.GetAddressOf()));
    DISPID id = 0;
    LPOLESTR unknown_name = const_cast<LPOLESTR>(L"NoSuchMember");
    EXPECT_EQ(DISP_E_UNKNOWNNAME, dispatch->GetIDsOfNames(IID_NULL, &unknown_name, 1, 0, &id));
    Call wrong = invoke(dispatch.Get(), L"GetRegistryValue", {Var(L"too"), Var(L"few")});
    EXPECT_FALSE(wrong.ok());
}

TEST(Lifetime, CallKeepsItsObjectWhileAMessageBoxIsShown)
{
    // The client lets go of its only reference while Copy_picture's message
    // box is up (its message loop runs the client's code); the object must
    // live until the call has returned.
    if (OpenClipboard(nullptr)) {
        EmptyClipboard();
        CloseClipboard();
    }
    _CLibrary *library = create_library().Detach();
    ASSERT_NE(nullptr, library);
    HRESULT while_shown = E_FAIL;
    {
        MessageBoxWatcher boxes([&] {
            library->Release();
            while_shown = library_can_unload_now();
        });
        BSTR name = SysAllocString(L"C:\\no picture.bmp");
        EXPECT_EQ(S_OK, library->Copy_picture(&name));
        SysFreeString(name);
        EXPECT_EQ(1u, boxes.seen().size());
    }
    EXPECT_EQ(S_FALSE, while_shown) << "the object was freed while its call ran";
    EXPECT_EQ(S_OK, library_can_unload_now());
}

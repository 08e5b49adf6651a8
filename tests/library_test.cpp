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
    EXPECT_EQ(S_FALSE, library_can_unload_now());
    second.Reset();
    EXPECT_EQ(S_OK, library_can_unload_now());
    ASSERT_EQ(S_OK, factory->LockServer(TRUE));
    EXPECT_EQ(S_FALSE, library_can_unload_now());
    ASSERT_EQ(S_OK, factory->LockServer(FALSE));
    EXPECT_EQ(S_OK, library_can_unload_now());
    factory.Reset();

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

#include "support.h"

TEST(Library, CreatesObjectWithEmptyCaption)
{
    ComPtr<_CLibrary> library = create_library();
    ASSERT_TRUE(library);
    Call get = invoke(library.Get(), L"lCia", {}, DISPATCH_PROPERTYGET);
    ASSERT_EQ(S_OK, get.hr);
    EXPECT_EQ(VT_BSTR, get.result.vt());
    EXPECT_EQ(L"", get.result.text());
}

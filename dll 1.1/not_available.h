#pragma once
#include "automation.h"
// Members whose behaviour has not been built yet answer with a clear error.
inline HRESULT not_available(const wchar_t *member)
{
    return report({error_hresult(ErrNotAvailable), std::wstring(member) + L" is not available yet in this build of IMV_v11"});
}

#pragma once
// The automation layer: owners for BSTR, VARIANT and SAFEARRAY, the one error
// type of the library, the runtime's conversion rules, and the one place where
// an error becomes error information plus a failing HRESULT.

#include <windows.h>
#include <oleauto.h>

#include <memory>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "../common/text.h"

struct BstrFree {
    void operator()(BSTR text) const { SysFreeString(text); }
};
using UniqueBstr = std::unique_ptr<OLECHAR, BstrFree>;

struct SafeArrayFree {
    void operator()(SAFEARRAY *array) const { SafeArrayDestroy(array); }
};
using UniqueSafeArray = std::unique_ptr<SAFEARRAY, SafeArrayFree>;

class Variant {
public:
    Variant() { VariantInit(&value_); }
    ~Variant() { VariantClear(&value_); }
    Variant(const Variant &) = delete;
    Variant &operator=(const Variant &) = delete;
    Variant(Variant &&other) noexcept : value_(other.value_) { VariantInit(&other.value_); }
    Variant &operator=(Variant &&other) noexcept
    {
        if (this != &other) {
            VariantClear(&value_);
            value_ = other.value_;
            VariantInit(&other.value_);
        }
        return *this;
    }
    VARIANT *get() { return &value_; }
    const VARIANT *get() const { return &value_; }
    VARIANT *operator->() { return &value_; }
    // Hands the value to an out-parameter; this owner is left empty.
    void release_to(VARIANT *out)
    {
        *out = value_;
        VariantInit(&value_);
    }

private:
    VARIANT value_;
};

// An automation error: the HRESULT that carries its number, and its description.
struct AutomationError {
    HRESULT hr;
    std::wstring description;
};

// Numbers of the runtime errors the library raises, with the usual descriptions.
enum : long {
    ErrInvalidCall = 5,
    ErrOverflow = 6,
    ErrOutOfMemory = 7,
    ErrSubscriptOutOfRange = 9,
    ErrTypeMismatch = 13,
    ErrFileAccess = 75,
    ErrInvalidUseOfNull = 94,
    ErrInvalidPicture = 481,
    ErrClipboard = 521,
    ErrLibrary = 1001,
};

constexpr HRESULT error_hresult(long number) { return (HRESULT)(0x800A0000u + (unsigned long)number); }

// The runtime error `number` with its usual description.
AutomationError runtime_error(long number);

[[noreturn]] void raise(long number, std::wstring description);
// Raises the runtime error with its usual description.
[[noreturn]] void raise(long number);
// A failed call to a method of the object's own interface: raises the same
// error again, with the description the inner method left on the thread.
void pass_on(HRESULT hr);

// Sets the error information of the thread and returns the failing HRESULT.
HRESULT report(const AutomationError &error);

// Runs a step and hands back the error it raised, if any, as an automation
// error: the one place where C++ exceptions become automation errors.
template <class Step>
std::optional<AutomationError> trap(Step &&step) noexcept
{
    try {
        step();
        return std::nullopt;
    } catch (AutomationError &error) {
        return std::move(error);
    } catch (const std::bad_alloc &) {
        return runtime_error(ErrOutOfMemory);
    } catch (const TextConversionFailed &) {
        return runtime_error(ErrInvalidCall);
    } catch (...) {
        return AutomationError{E_UNEXPECTED, L"Unexpected failure"};
    }
}

// Runs a method body; any error it raises leaves through `report`.  No C++
// exception crosses the interface.
template <class Body>
HRESULT guarded(Body &&body) noexcept
{
    std::optional<AutomationError> error = trap(std::forward<Body>(body));
    return error ? report(*error) : S_OK;
}

template <class T>
T *require(T *out)
{
    if (!out) throw AutomationError{E_POINTER, L"Invalid pointer"};
    return out;
}

inline std::wstring_view view(BSTR text) { return text ? std::wstring_view(text, SysStringLen(text)) : std::wstring_view(); }
UniqueBstr make_bstr(std::wstring_view text);
// A variant holding a copy of `text` as an automation string.
Variant text_variant(std::wstring_view text);

// A VARIANT argument as a value of the library's own: a by-reference variant
// followed one level, a by-reference value read, a null string taken as ""
// (the automation rules make it the empty string).  A null array is a value:
// an array variable never sized (Dim b() As Byte) holds one.  A reference
// given as a null pointer, and a reference to a reference, are malformed: no
// VB variable holds them, only a virtual-table caller can pass them, and the
// runtime answers an argument it cannot use at all with 5, "Invalid procedure
// call or argument".
Variant argument(const VARIANT &value);

// The automation conversion rules (VariantChangeType), failing with the
// runtime's error: 13 type mismatch, 6 overflow, 94 invalid use of Null.
void convert(const VARIANT &from, VARTYPE to, Variant &out);

inline VARIANT_BOOL to_bool(bool value) { return value ? VARIANT_TRUE : VARIANT_FALSE; }

// Every message box of the library, shown as the runtime's MsgBox shows it:
// owned by the calling thread's active window, so that the host's window
// waits behind it.  The answer is not used.
void message_box(const std::wstring &text, const wchar_t *caption, UINT style);

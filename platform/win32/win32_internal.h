// What the Win32 areas share privately: status-to-error mapping, text conversion of the A entry points,
// and the waitable objects behind Win32 handles.
#pragma once

#include <errhandlingapi.h>
#include <winerror.h>

#include <host/object.h>
#include <host/sync.h>
#include <host/utf.h>

#include <string>
#include <type_traits>

namespace host::win32 {

// The Win32 error the kernel status stands for, as the Win32 layer reports it.
DWORD ErrorFromStatus(NTSTATUS status);
// Sets the last error and returns FALSE, for the BOOL entry points.
inline BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// The A entry points take text in the ANSI code page, which the host fixes to UTF-8; entry points
// templated on the character type convert with these. Null text is empty.
inline std::u16string Wide(const char16_t* text) { return text != nullptr ? std::u16string(text) : std::u16string(); }
inline std::u16string Wide(const char* text) { return text != nullptr ? utf::ToUtf16(text) : std::u16string(); }
template <class C>
std::basic_string<C> Native(std::u16string_view text)
{
    if constexpr (std::is_same_v<C, char>)
        return utf::ToUtf8(text);
    else
        return std::u16string(text);
}

// An A name for a W entry point that tells null from empty.
struct WideText {
    explicit WideText(LPCSTR text) : text_(Wide(text)), null_(text == nullptr) {}
    LPCWSTR get() const { return null_ ? nullptr : text_.c_str(); }
    std::u16string text_;
    bool null_;
};

// A string result the Win32 way: copied with its terminator when it fits, returning its length;
// otherwise the size needed, terminator included.
template <class C>
DWORD CopyOut(std::u16string_view value, C* buffer, DWORD size)
{
    std::basic_string<C> text = Native<C>(value);
    if (buffer == nullptr || size <= text.size())
        return static_cast<DWORD>(text.size() + 1);
    std::char_traits<C>::copy(buffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}

// The referenced object behind a handle, when it is waitable: its dispatcher header is its body.
NTSTATUS WaitableReference(HANDLE handle, ACCESS_MASK desired, Object** object);

} // namespace host::win32

namespace host::exec {
struct ThreadRecord;
}

namespace host::win32 {

// The interrupt time `milliseconds` from now; INFINITE never comes.
LONGLONG DeadlineAfter(DWORD milliseconds);

// A thread that ends while owning mutexes abandons them: the next waiter gets WAIT_ABANDONED.
void AbandonMutexesOf(exec::ThreadRecord* record);

// Consumes one failure injected with host::FailNextCreations on the calling thread: sets the last error
// and returns true.
bool InjectedFailure(Creation kind);

} // namespace host::win32

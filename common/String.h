#pragma once
#include <windows.h>
#include <oleauto.h>
#include <cstdarg>

// The system's own text: a reference-counted wide-character string. Copies share one buffer until
// one of them is changed (copy on write), so strings pass by value cheaply between the workers'
// structures. Allocation failures raise CHResultException(E_OUTOFMEMORY); an index out of range
// raises the array-bounds exception.
//
// Not thread-safe per object (like an int): two threads may hold copies of one string, but one
// object must not be written by one thread while another reads it.
class CString
{
public:
    CString() noexcept;
    // A pointer that is a resource id (IS_INTRESOURCE) loads that string resource of this module.
    CString(const wchar_t* text);
    CString(const wchar_t* text, int length);
    // Loads string resource `id` of this module; empty when it is missing.
    explicit CString(UINT resourceId);
    CString(const CString& other) noexcept;
    CString(CString&& other) noexcept;
    ~CString();

    CString& operator=(const CString& other) noexcept;
    CString& operator=(CString&& other) noexcept;
    CString& operator=(const wchar_t* text);

    int GetLength() const noexcept;
    bool IsEmpty() const noexcept { return GetLength() == 0; }
    operator const wchar_t*() const noexcept { return m_text; }
    const wchar_t* GetString() const noexcept { return m_text; }
    wchar_t GetAt(int index) const;
    wchar_t operator[](int index) const { return GetAt(index); }

    void Empty() noexcept;
    CString& Append(const wchar_t* text, int length);
    CString& operator+=(const wchar_t* text);
    CString& operator+=(const CString& text);
    CString& operator+=(wchar_t ch);

    // printf-style formatting into this string (wide format, %s takes a wide string).
    void Format(const wchar_t* format, ...);
    void FormatV(const wchar_t* format, va_list args);
    void AppendFormat(const wchar_t* format, ...);

    // Loads string resource `id` of this module; false (and empty) when it is missing.
    bool LoadString(UINT id);

    int Compare(const wchar_t* other) const noexcept;
    int CompareNoCase(const wchar_t* other) const noexcept;
    bool operator==(const wchar_t* other) const noexcept { return Compare(other) == 0; }
    bool operator!=(const wchar_t* other) const noexcept { return Compare(other) != 0; }
    bool operator==(const CString& other) const noexcept { return Compare(other) == 0; }
    bool operator!=(const CString& other) const noexcept { return Compare(other) != 0; }

    // -1 when not found.
    int Find(wchar_t ch, int start = 0) const noexcept;
    int Find(const wchar_t* sub, int start = 0) const noexcept;
    int ReverseFind(wchar_t ch) const noexcept;
    CString Left(int count) const;
    CString Mid(int first) const;
    CString Mid(int first, int count) const;
    CString Right(int count) const;
    CString& MakeUpper();
    CString& MakeLower();
    CString& Trim();
    int Replace(const wchar_t* oldText, const wchar_t* newText);

    // Direct access for APIs that fill a buffer: GetBuffer(n) gives room for n characters plus the
    // terminator; ReleaseBuffer(-1) takes the length from the terminator.
    wchar_t* GetBuffer(int minLength);
    void ReleaseBuffer(int newLength = -1);

    // A new BSTR with the text; CHResultException(E_OUTOFMEMORY) when it cannot be allocated.
    BSTR AllocSysString() const;

private:
    struct Data;
    static Data* Allocate(int capacity);
    Data* GetData() const noexcept;
    void Attach(Data* data) noexcept;
    void Detach() noexcept;
    void PrepareWrite(int length);  // makes the buffer unshared with room for `length`
    // MakeUpper and MakeLower: CharUpperBuffW or CharLowerBuffW over the text, in place.
    CString& ChangeCase(DWORD(WINAPI* change)(LPWSTR, DWORD));
    void SetLength(int length) noexcept;

    wchar_t* m_text;
};

CString operator+(const CString& left, const wchar_t* right);
CString operator+(const CString& left, const CString& right);

// The module (DLL or program) that contains this code: where string resources are loaded from.
HINSTANCE GetResourceInstance() noexcept;

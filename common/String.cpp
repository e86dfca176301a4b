#include "common/String.h"

#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include "common/HResultException.h"

// Buffer layout: the header, then capacity + 1 characters. m_text points at the characters.
struct CString::Data
{
    LONG refs;
    int length;
    int capacity;
    wchar_t* Text() noexcept { return reinterpret_cast<wchar_t*>(this + 1); }
};

namespace
{
// The shared empty string: never freed, never written.
struct EmptyData
{
    LONG refs = 2;
    int length = 0;
    int capacity = 0;
    wchar_t text[1] = {0};
};
EmptyData g_empty;

}  // namespace

CString::Data* CString::Allocate(int capacity)
{
    if (capacity < 0 || static_cast<size_t>(capacity) > (0x7FFFFFF0u / sizeof(wchar_t)))
        ThrowHResult(E_OUTOFMEMORY);
    void* block = std::malloc(sizeof(LONG) + 2 * sizeof(int) + (static_cast<size_t>(capacity) + 1) * sizeof(wchar_t));
    if (!block)
        ThrowHResult(E_OUTOFMEMORY);
    return static_cast<Data*>(block);
}

CString::Data* CString::GetData() const noexcept
{
    return reinterpret_cast<Data*>(m_text) - 1;
}

CString::CString() noexcept : m_text(g_empty.text)
{
}

CString::CString(const wchar_t* text) : CString()
{
    if (text && IS_INTRESOURCE(text))
        LoadString(static_cast<UINT>(reinterpret_cast<ULONG_PTR>(text)));
    else if (text)
        Append(text, static_cast<int>(wcslen(text)));
}

CString::CString(const wchar_t* text, int length) : CString()
{
    if (text && length > 0)
        Append(text, length);
}

CString::CString(UINT resourceId) : CString()
{
    LoadString(resourceId);
}

CString::CString(const CString& other) noexcept : CString()
{
    Attach(other.GetData());
}

CString::CString(CString&& other) noexcept : m_text(other.m_text)
{
    other.m_text = g_empty.text;
}

CString::~CString()
{
    Detach();
}

// Self-assignment shares one buffer, which the comparison below catches.
CString& CString::operator=(const CString& other) noexcept  // NOLINT(bugprone-unhandled-self-assignment)
{
    if (m_text != other.m_text)
    {
        Data* data = other.GetData();
        Detach();
        Attach(data);
    }
    return *this;
}

CString& CString::operator=(CString&& other) noexcept
{
    if (this != &other)
    {
        Detach();
        m_text = other.m_text;
        other.m_text = g_empty.text;
    }
    return *this;
}

CString& CString::operator=(const wchar_t* text)
{
    CString copy(text);
    return *this = static_cast<CString&&>(copy);
}

void CString::Attach(Data* data) noexcept
{
    if (data != reinterpret_cast<Data*>(&g_empty))
        InterlockedIncrement(&data->refs);
    m_text = data->Text();
}

void CString::Detach() noexcept
{
    Data* data = GetData();
    if (data != reinterpret_cast<Data*>(&g_empty) && InterlockedDecrement(&data->refs) == 0)
        std::free(data);
    m_text = g_empty.text;
}

int CString::GetLength() const noexcept
{
    return GetData()->length;
}

wchar_t CString::GetAt(int index) const
{
    if (index < 0 || index >= GetLength())
        RaiseArrayBoundsExceeded();
    return m_text[index];
}

void CString::PrepareWrite(int length)
{
    Data* data = GetData();
    const bool shared = data == reinterpret_cast<Data*>(&g_empty) || data->refs > 1;
    if (!shared && data->capacity >= length)
        return;
    int capacity = length;
    if (!shared && length > data->capacity)
        capacity = length + length / 2 < length ? length : length + length / 2;  // amortised growth
    Data* fresh = Allocate(capacity);
    fresh->refs = 1;
    fresh->capacity = capacity;
    fresh->length = data->length < length ? data->length : length;
    std::wmemcpy(fresh->Text(), m_text, fresh->length);
    fresh->Text()[fresh->length] = 0;
    Detach();
    m_text = fresh->Text();
}

void CString::SetLength(int length) noexcept
{
    if (GetData() == reinterpret_cast<Data*>(&g_empty))
        return;
    GetData()->length = length;
    m_text[length] = 0;
}

void CString::Empty() noexcept
{
    Detach();
}

CString& CString::Append(const wchar_t* text, int length)
{
    if (!text || length <= 0)
        return *this;
    const int old = GetLength();
    if (length > 0x3FFFFFFF - old)
        ThrowHResult(E_OUTOFMEMORY);
    // `text` may point into this string's own buffer: a second reference keeps that buffer alive
    // (and makes PrepareWrite copy) until the characters are appended.
    CString keep;
    if (text >= m_text && text <= m_text + old)
        keep = *this;
    PrepareWrite(old + length);
    std::wmemcpy(m_text + old, text, length);
    SetLength(old + length);
    return *this;
}

CString& CString::operator+=(const wchar_t* text)
{
    return text ? Append(text, static_cast<int>(wcslen(text))) : *this;
}

CString& CString::operator+=(const CString& text)
{
    CString keep(text);
    return Append(keep.m_text, keep.GetLength());
}

CString& CString::operator+=(wchar_t ch)
{
    return Append(&ch, 1);
}

void CString::FormatV(const wchar_t* format, va_list args)
{
    if (!format)
        ThrowHResult(E_INVALIDARG);
    int capacity = 128;
    for (;;)
    {
        va_list copy;
        va_copy(copy, args);
        CString out;
        wchar_t* buffer = out.GetBuffer(capacity);
        const int written = _vsnwprintf(buffer, static_cast<size_t>(capacity) + 1, format, copy);
        va_end(copy);
        if (written >= 0 && written <= capacity)
        {
            out.ReleaseBuffer(written);
            *this = static_cast<CString&&>(out);
            return;
        }
        if (capacity >= 0x1000000)
            ThrowHResult(E_INVALIDARG);
        capacity *= 4;
    }
}

void CString::Format(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    FormatV(format, args);
    va_end(args);
}

void CString::AppendFormat(const wchar_t* format, ...)
{
    CString more;
    va_list args;
    va_start(args, format);
    more.FormatV(format, args);
    va_end(args);
    *this += more;
}

bool CString::LoadString(UINT id)
{
    Empty();
    const wchar_t* resource = nullptr;
    // With a zero buffer size LoadStringW hands out a read-only pointer to the resource itself.
    const int length = ::LoadStringW(GetResourceInstance(), id, reinterpret_cast<LPWSTR>(&resource), 0);
    if (length <= 0 || !resource)
        return false;
    Append(resource, length);
    return true;
}

int CString::Compare(const wchar_t* other) const noexcept
{
    return wcscmp(m_text, other ? other : L"");
}

int CString::CompareNoCase(const wchar_t* other) const noexcept
{
    return _wcsicmp(m_text, other ? other : L"");
}

int CString::Find(wchar_t ch, int start) const noexcept
{
    if (start < 0 || start >= GetLength())
        return -1;
    const wchar_t* hit = wcschr(m_text + start, ch);
    return hit && ch != 0 ? static_cast<int>(hit - m_text) : -1;
}

int CString::Find(const wchar_t* sub, int start) const noexcept
{
    if (!sub || start < 0 || start > GetLength())
        return -1;
    const wchar_t* hit = wcsstr(m_text + start, sub);
    return hit ? static_cast<int>(hit - m_text) : -1;
}

int CString::ReverseFind(wchar_t ch) const noexcept
{
    const wchar_t* hit = wcsrchr(m_text, ch);
    return hit && ch != 0 ? static_cast<int>(hit - m_text) : -1;
}

CString CString::Left(int count) const
{
    if (count < 0)
        count = 0;
    if (count >= GetLength())
        return *this;
    return CString(m_text, count);
}

CString CString::Mid(int first) const
{
    return Mid(first, GetLength());
}

CString CString::Mid(int first, int count) const
{
    if (first < 0)
        first = 0;
    if (first >= GetLength() || count <= 0)
        return CString();
    if (count > GetLength() - first)
        count = GetLength() - first;
    if (first == 0 && count == GetLength())
        return *this;
    return CString(m_text + first, count);
}

CString CString::Right(int count) const
{
    if (count <= 0)
        return CString();
    if (count >= GetLength())
        return *this;
    return CString(m_text + GetLength() - count, count);
}

CString& CString::MakeUpper()
{
    return ChangeCase(&CharUpperBuffW);
}

CString& CString::MakeLower()
{
    return ChangeCase(&CharLowerBuffW);
}

CString& CString::ChangeCase(DWORD(WINAPI* change)(LPWSTR, DWORD))
{
    const int length = GetLength();
    if (length > 0)
    {
        PrepareWrite(length);
        change(m_text, static_cast<DWORD>(length));
    }
    return *this;
}

CString& CString::Trim()
{
    int first = 0;
    int last = GetLength();
    while (first < last && iswspace(m_text[first]))
        ++first;
    while (last > first && iswspace(m_text[last - 1]))
        --last;
    if (first > 0 || last < GetLength())
        *this = Mid(first, last - first);
    return *this;
}

int CString::Replace(const wchar_t* oldText, const wchar_t* newText)
{
    if (!oldText || !*oldText)
        return 0;
    const int oldLength = static_cast<int>(wcslen(oldText));
    const int newLength = newText ? static_cast<int>(wcslen(newText)) : 0;
    CString out;
    int count = 0;
    int from = 0;
    for (int hit = Find(oldText, 0); hit >= 0; hit = Find(oldText, from))
    {
        out.Append(m_text + from, hit - from);
        out.Append(newText, newLength);
        from = hit + oldLength;
        ++count;
    }
    if (count > 0)
    {
        out.Append(m_text + from, GetLength() - from);
        *this = static_cast<CString&&>(out);
    }
    return count;
}

wchar_t* CString::GetBuffer(int minLength)
{
    if (minLength < GetLength())
        minLength = GetLength();
    PrepareWrite(minLength);
    if (GetData() == reinterpret_cast<Data*>(&g_empty))
    {
        // PrepareWrite(0) on the shared empty buffer: give the caller a private one.
        Data* fresh = Allocate(0);
        fresh->refs = 1;
        fresh->capacity = 0;
        fresh->length = 0;
        fresh->Text()[0] = 0;
        m_text = fresh->Text();
    }
    return m_text;
}

void CString::ReleaseBuffer(int newLength)
{
    Data* data = GetData();
    if (data == reinterpret_cast<Data*>(&g_empty))
        return;
    if (newLength < 0)
        newLength = static_cast<int>(wcsnlen(m_text, static_cast<size_t>(data->capacity) + 1));
    if (newLength > data->capacity)
        newLength = data->capacity;
    SetLength(newLength);
}

BSTR CString::AllocSysString() const
{
    BSTR result = SysAllocStringLen(m_text, static_cast<UINT>(GetLength()));
    if (!result)
        ThrowHResult(E_OUTOFMEMORY);
    return result;
}

CString operator+(const CString& left, const wchar_t* right)
{
    CString result(left);
    result += right;
    return result;
}

CString operator+(const CString& left, const CString& right)
{
    CString result(left);
    result += right;
    return result;
}

HINSTANCE GetResourceInstance() noexcept
{
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&GetResourceInstance), &module);
    return module;
}

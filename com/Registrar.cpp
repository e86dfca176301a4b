#include "com/Registrar.h"

#include <cerrno>
#include <cwchar>
#include <cwctype>
#include "common/ComCall.h"
#include "common/HResult.h"
#include "common/RegKey.h"

namespace
{
// Deep enough for any real script; bounds the recursion on malformed input.
constexpr int kMaxDepth = 32;

struct Token
{
    CString text;
    bool quoted = false;  // a quoted text is never a keyword
    bool end = false;

    bool Is(const wchar_t* keyword) const { return !quoted && !end && text.CompareNoCase(keyword) == 0; }
    // A name or data: anything but the end and the three marks.
    bool IsText() const { return quoted || (!end && !Is(L"{") && !Is(L"}") && !Is(L"=")); }
};

struct Value
{
    DWORD type = REG_SZ;
    CString text;
    DWORD number = 0;
};

HKEY RootKey(const Token& name) noexcept
{
    if (name.Is(L"HKCR"))
        return HKEY_CLASSES_ROOT;
    if (name.Is(L"HKCU"))
        return HKEY_CURRENT_USER;
    return name.Is(L"HKLM") ? HKEY_LOCAL_MACHINE : nullptr;
}

// Decimal digits only: no sign, no space, nothing past 32 bits.
bool ParseNumber(const wchar_t* text, DWORD& number) noexcept
{
    wchar_t* end = nullptr;
    errno = 0;
    const unsigned long long value = wcstoull(text, &end, 10);
    number = static_cast<DWORD>(value);
    return iswdigit(text[0]) && *end == 0 && errno == 0 && value <= 0xFFFFFFFFull;
}

HRESULT SetValue(HKEY key, const wchar_t* name, const Value& value) noexcept
{
    const bool number = value.type == REG_DWORD;
    const void* data = number ? static_cast<const void*>(&value.number) : value.text.GetString();
    const size_t bytes = number ? sizeof(value.number) : (value.text.GetLength() + 1) * sizeof(wchar_t);
    return HRESULT_FROM_WIN32(
        RegSetValueExW(key, name, 0, value.type, static_cast<const BYTE*>(data), static_cast<DWORD>(bytes)));
}

// A key that is not there is no error: not for removing it, nor for opening it to remove what
// is inside.
HRESULT MissingIsNoError(LONG result) noexcept
{
    return result == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(result);
}

// One walk over the script, acting on each entry as it is read. A walk that does not apply
// (null keys throughout) only checks the syntax; the script is checked that way before it is
// applied, so that a broken one neither writes nor removes anything.
class CScriptWalk
{
public:
    CScriptWalk(const wchar_t* script, const wchar_t* modulePath, bool doRegister, bool apply)
        : m_text(script), m_length(wcslen(script)), m_modulePath(modulePath), m_register(doRegister),
          m_apply(apply)
    {
    }

    HRESULT Run()
    {
        for (;;)
        {
            Token root;
            if (!Next(root))
                return kHrRegistryScriptSyntax;
            if (root.end)
                return m_firstFailure;
            const HKEY key = RootKey(root);
            if (!key || !Take(L"{"))
                return kHrRegistryScriptSyntax;
            const HRESULT hr = Body(m_apply ? key : nullptr, false, 1);
            if (FAILED(hr))
                return hr;
        }
    }

private:
    // Entries up to the closing brace; `key` is null where nothing is to be done.
    HRESULT Body(HKEY key, bool takesValues, int depth)
    {
        if (depth > kMaxDepth)
            return kHrRegistryScriptSyntax;
        for (;;)
        {
            Token token;
            if (!Next(token) || token.end)
                return kHrRegistryScriptSyntax;
            if (token.Is(L"}"))
                return S_OK;
            HRESULT hr = kHrRegistryScriptSyntax;
            if (!token.Is(L"val"))
                hr = Key(key, token, depth);
            else if (takesValues)
                hr = Val(key);
            if (FAILED(hr))
                return hr;
        }
    }

    // [NoRemove | ForceRemove] name [= type data] [{ body }]
    HRESULT Key(HKEY parent, Token name, int depth)
    {
        // NoRemove says what is true of every key but a ForceRemove one.
        const bool forceRemove = name.Is(L"ForceRemove");
        if ((forceRemove || name.Is(L"NoRemove")) && !Next(name))
            return kHrRegistryScriptSyntax;
        if (!name.IsText() || name.text.IsEmpty())
            return kHrRegistryScriptSyntax;
        Value defaultValue;
        const bool hasDefault = Take(L"=");
        if (hasDefault && !ReadValue(defaultValue))
            return kHrRegistryScriptSyntax;
        const bool hasBody = Take(L"{");

        CRegKey key;  // stays closed where nothing is to be done inside
        if (parent && forceRemove)
        {
            const HRESULT hr = MissingIsNoError(RegDeleteTreeW(parent, name.text));
            if (FAILED(hr) && m_register)
                return hr;
            Note(hr);
        }
        if (parent && m_register)
        {
            HRESULT hr = HRESULT_FROM_WIN32(key.Create(parent, name.text));
            if (SUCCEEDED(hr) && hasDefault)
                hr = SetValue(key, nullptr, defaultValue);
            if (FAILED(hr))
                return hr;
        }
        else if (parent && !forceRemove)
        {
            // Opened only to find the ForceRemove keys inside.
            Note(MissingIsNoError(key.Open(parent, name.text)));
        }
        return hasBody ? Body(key, true, depth + 1) : S_OK;
    }

    // val name = type data
    HRESULT Val(HKEY key)
    {
        Token name;
        Value value;
        if (!Next(name) || !name.IsText() || !Take(L"=") || !ReadValue(value))
            return kHrRegistryScriptSyntax;
        return key && m_register ? SetValue(key, name.text, value) : S_OK;
    }

    // "type data" after the equals sign.
    bool ReadValue(Value& value)
    {
        Token type;
        Token data;
        if (!Next(type) || !Next(data) || !data.IsText())
            return false;
        if (type.Is(L"d"))
        {
            value.type = REG_DWORD;
            return ParseNumber(data.text, value.number);
        }
        value.type = type.Is(L"e") ? REG_EXPAND_SZ : REG_SZ;
        value.text = data.text;
        value.text.Replace(L"%MODULE%", m_modulePath);
        return type.Is(L"s") || type.Is(L"e");
    }

    // Takes the next word when it is `mark`; anything else is left for the next read.
    bool Take(const wchar_t* mark)
    {
        const size_t start = m_pos;
        Token token;
        if (Next(token) && token.Is(mark))
            return true;
        m_pos = start;
        return false;
    }

    // False on an unterminated quoted text.
    bool Next(Token& token)
    {
        token = Token();
        while (m_pos < m_length && iswspace(m_text[m_pos]))
            ++m_pos;
        if (m_pos >= m_length)
        {
            token.end = true;
            return true;
        }
        if (m_text[m_pos] == L'\'')
        {
            token.quoted = true;
            for (++m_pos; m_pos < m_length; ++m_pos)
            {
                // '' is one quote; the text ends at a single one.
                if (m_text[m_pos] == L'\'' && m_text[++m_pos] != L'\'')
                    return true;
                token.text += m_text[m_pos];
            }
            return false;
        }
        const size_t start = m_pos;
        while (m_pos < m_length && !iswspace(m_text[m_pos]))
            ++m_pos;
        token.text = CString(m_text + start, static_cast<int>(m_pos - start));
        return true;
    }

    // Unregistration goes on past a failure and answers the first.
    void Note(HRESULT hr) noexcept
    {
        if (FAILED(hr) && SUCCEEDED(m_firstFailure))
            m_firstFailure = hr;
    }

    const wchar_t* const m_text;
    const size_t m_length;
    const wchar_t* const m_modulePath;
    const bool m_register;
    const bool m_apply;
    size_t m_pos = 0;
    HRESULT m_firstFailure = S_OK;
};
}  // namespace

HRESULT ApplyRegistryScript(const wchar_t* script, const wchar_t* modulePath, bool doRegister) noexcept
{
    if (!script || !modulePath)
        return E_INVALIDARG;
    return CatchAsHResult([&] {
        const HRESULT checked = CScriptWalk(script, modulePath, doRegister, false).Run();
        return FAILED(checked) ? checked : CScriptWalk(script, modulePath, doRegister, true).Run();
    });
}

HRESULT ApplyRegistryResource(HINSTANCE module, UINT resourceId, const wchar_t* modulePath, bool doRegister) noexcept
{
    const HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(resourceId), L"REGISTRY");
    const HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
    const char* bytes = loaded ? static_cast<const char*>(LockResource(loaded)) : nullptr;
    if (!bytes)
        return HResultFromLastError();
    const int size = static_cast<int>(SizeofResource(module, found));
    return CatchAsHResult([&] {
        // No code page makes more UTF-16 units than it had bytes.
        CString script;
        const int written =
            size > 0 ? MultiByteToWideChar(CP_THREAD_ACP, 0, bytes, size, script.GetBuffer(size), size) : 0;
        script.ReleaseBuffer(written > 0 ? written : 0);
        if (size > 0 && written <= 0)
            return HResultFromLastError();
        // A resource may be padded with NULs; the script ends at the first.
        return ApplyRegistryScript(script, modulePath, doRegister);
    });
}

#include "com/Registrar.h"

#include <cwchar>
#include "common/ComCall.h"
#include "common/HResult.h"
#include "common/RegKey.h"

namespace
{
enum class KeyFlag
{
    None,
    NoRemove,
    ForceRemove,
};

struct ValueEntry
{
    CString name;  // empty: the key's default value
    DWORD type = REG_SZ;
    CString text;
    DWORD number = 0;
};

struct KeyNode
{
    CString name;
    KeyFlag flag = KeyFlag::None;
    bool hasDefault = false;
    ValueEntry defaultValue;
    std::vector<ValueEntry> values;
    std::vector<KeyNode> children;
};

struct RootNode
{
    HKEY root = nullptr;
    std::vector<KeyNode> keys;
};

// Deep enough for any real script; bounds the recursion on malformed input.
constexpr int kMaxDepth = 32;

struct Token
{
    enum Kind
    {
        End,
        Word,    // bare
        Quoted,  // in single quotes; never a keyword
        OpenBrace,
        CloseBrace,
        Equals,
    };
    Kind kind = End;
    CString text;
};

bool IsSpace(wchar_t ch) noexcept
{
    return ch == L' ' || ch == L'\t' || ch == L'\r' || ch == L'\n';
}

// Reads the expanded script into a tree; false on any syntax error. The registry is not touched.
class CScriptParser
{
public:
    explicit CScriptParser(const CString& text) : m_text(text), m_length(text.GetLength()) {}

    bool Parse(std::vector<RootNode>& roots)
    {
        for (;;)
        {
            Token token;
            if (!Next(token))
                return false;
            if (token.kind == Token::End)
                return true;
            RootNode root;
            if (token.kind != Token::Word || !RootFromName(token.text, root.root))
                return false;
            if (!Next(token) || token.kind != Token::OpenBrace)
                return false;
            if (!ParseBody(root.keys, nullptr, 1))
                return false;
            roots.push_back(std::move(root));
        }
    }

private:
    // Keys (and `val` entries when `values` is not null) up to the closing brace.
    bool ParseBody(std::vector<KeyNode>& keys, std::vector<ValueEntry>* values, int depth)
    {
        if (depth > kMaxDepth)
            return false;
        for (;;)
        {
            Token token;
            if (!Next(token))
                return false;
            if (token.kind == Token::CloseBrace)
                return true;
            if (token.kind != Token::Word && token.kind != Token::Quoted)
                return false;

            if (token.kind == Token::Word && token.text.CompareNoCase(L"val") == 0)
            {
                if (!values)
                    return false;  // a root key takes no values
                ValueEntry value;
                if (!Next(token) || (token.kind != Token::Word && token.kind != Token::Quoted))
                    return false;
                value.name = token.text;
                if (!Next(token) || token.kind != Token::Equals || !ParseValue(value))
                    return false;
                values->push_back(std::move(value));
                continue;
            }

            KeyNode key;
            if (token.kind == Token::Word && token.text.CompareNoCase(L"NoRemove") == 0)
                key.flag = KeyFlag::NoRemove;
            else if (token.kind == Token::Word && token.text.CompareNoCase(L"ForceRemove") == 0)
                key.flag = KeyFlag::ForceRemove;
            if (key.flag != KeyFlag::None && !Next(token))
                return false;
            if ((token.kind != Token::Word && token.kind != Token::Quoted) || token.text.IsEmpty())
                return false;
            key.name = token.text;

            // Optional "= type data", then an optional body.
            size_t mark = m_pos;
            if (!Next(token))
                return false;
            if (token.kind == Token::Equals)
            {
                if (!ParseValue(key.defaultValue))
                    return false;
                key.hasDefault = true;
                mark = m_pos;
                if (!Next(token))
                    return false;
            }
            if (token.kind == Token::OpenBrace)
            {
                if (!ParseBody(key.children, &key.values, depth + 1))
                    return false;
            }
            else
            {
                m_pos = mark;  // the token belongs to the next entry
            }
            keys.push_back(std::move(key));
        }
    }

    // "type data" after the equals sign.
    bool ParseValue(ValueEntry& value)
    {
        Token type;
        Token data;
        if (!Next(type) || type.kind != Token::Word || !Next(data) ||
            (data.kind != Token::Word && data.kind != Token::Quoted))
            return false;
        if (type.text.CompareNoCase(L"s") == 0 || type.text.CompareNoCase(L"e") == 0)
        {
            value.type = type.text.CompareNoCase(L"e") == 0 ? REG_EXPAND_SZ : REG_SZ;
            value.text = data.text;
            return true;
        }
        if (type.text.CompareNoCase(L"d") == 0)
        {
            value.type = REG_DWORD;
            return ParseNumber(data.text, value.number);
        }
        return false;
    }

    static bool ParseNumber(const CString& text, DWORD& number)
    {
        const wchar_t* digits = text.GetString();
        int base = 10;
        if (digits[0] == L'0' && (digits[1] == L'x' || digits[1] == L'X'))
        {
            base = 16;
            digits += 2;
        }
        if (!*digits)
            return false;
        unsigned long long value = 0;
        for (; *digits; ++digits)
        {
            int digit;
            if (*digits >= L'0' && *digits <= L'9')
                digit = *digits - L'0';
            else if (base == 16 && *digits >= L'a' && *digits <= L'f')
                digit = *digits - L'a' + 10;
            else if (base == 16 && *digits >= L'A' && *digits <= L'F')
                digit = *digits - L'A' + 10;
            else
                return false;
            value = value * base + digit;
            if (value > 0xFFFFFFFFull)
                return false;
        }
        number = static_cast<DWORD>(value);
        return true;
    }

    static bool RootFromName(const CString& name, HKEY& root)
    {
        static const struct
        {
            const wchar_t* shortName;
            const wchar_t* longName;
            HKEY key;
        } kRoots[] = {
            {L"HKCR", L"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
            {L"HKCU", L"HKEY_CURRENT_USER", HKEY_CURRENT_USER},
            {L"HKLM", L"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
            {L"HKU", L"HKEY_USERS", HKEY_USERS},
        };
        for (const auto& entry : kRoots)
        {
            if (name.CompareNoCase(entry.shortName) == 0 || name.CompareNoCase(entry.longName) == 0)
            {
                root = entry.key;
                return true;
            }
        }
        return false;
    }

    // False on an unterminated quoted string or a NUL character.
    bool Next(Token& token)
    {
        const wchar_t* text = m_text.GetString();
        while (m_pos < m_length && IsSpace(text[m_pos]))
            ++m_pos;
        token.text.Empty();
        if (m_pos >= m_length)
        {
            token.kind = Token::End;
            return true;
        }
        if (text[m_pos] == L'\'')
        {
            token.kind = Token::Quoted;
            ++m_pos;
            for (;;)
            {
                if (m_pos >= m_length || text[m_pos] == 0)
                    return false;
                if (text[m_pos] == L'\'')
                {
                    if (m_pos + 1 < m_length && text[m_pos + 1] == L'\'')
                    {
                        token.text += L'\'';
                        m_pos += 2;
                        continue;
                    }
                    ++m_pos;
                    return true;
                }
                token.text += text[m_pos++];
            }
        }
        const size_t start = m_pos;
        while (m_pos < m_length && !IsSpace(text[m_pos]))
        {
            if (text[m_pos] == 0)
                return false;
            ++m_pos;
        }
        token.text = CString(text + start, static_cast<int>(m_pos - start));
        if (token.text == L"{")
            token.kind = Token::OpenBrace;
        else if (token.text == L"}")
            token.kind = Token::CloseBrace;
        else if (token.text == L"=")
            token.kind = Token::Equals;
        else
            token.kind = Token::Word;
        return true;
    }

    const CString& m_text;
    const size_t m_length;
    size_t m_pos = 0;
};

HRESULT SetValue(HKEY key, const ValueEntry& value)
{
    const wchar_t* name = value.name.IsEmpty() ? nullptr : value.name.GetString();
    LONG result;
    if (value.type == REG_DWORD)
    {
        result = RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value.number),
                                sizeof(value.number));
    }
    else
    {
        const DWORD bytes = static_cast<DWORD>((value.text.GetLength() + 1) * sizeof(wchar_t));
        result = RegSetValueExW(key, name, 0, value.type, reinterpret_cast<const BYTE*>(value.text.GetString()), bytes);
    }
    return HResultFromWin32(static_cast<DWORD>(result));
}

// Deletes parent\name with its whole subtree; a missing key is no error.
HRESULT DeleteTree(HKEY parent, const wchar_t* name)
{
    CRegKey parentKey;
    parentKey.Attach(parent);
    const LONG result = parentKey.RecurseDeleteKey(name);
    parentKey.Detach();
    return result == ERROR_FILE_NOT_FOUND ? S_OK : HResultFromWin32(static_cast<DWORD>(result));
}

HRESULT RegisterKey(HKEY parent, const KeyNode& node)
{
    if (node.flag == KeyFlag::ForceRemove)
    {
        const HRESULT hr = DeleteTree(parent, node.name);
        if (FAILED(hr))
            return hr;
    }
    CRegKey key;
    const LONG result = key.Create(parent, node.name, KEY_READ | KEY_WRITE);
    if (result != ERROR_SUCCESS)
        return HResultFromWin32(static_cast<DWORD>(result));
    if (node.hasDefault)
    {
        const HRESULT hr = SetValue(key, node.defaultValue);
        if (FAILED(hr))
            return hr;
    }
    for (const ValueEntry& value : node.values)
    {
        const HRESULT hr = SetValue(key, value);
        if (FAILED(hr))
            return hr;
    }
    for (const KeyNode& child : node.children)
    {
        const HRESULT hr = RegisterKey(key, child);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

// Removes as much as it can; the first failure is the result.
HRESULT UnregisterKey(HKEY parent, const KeyNode& node)
{
    if (node.flag == KeyFlag::ForceRemove)
        return DeleteTree(parent, node.name);

    CRegKey key;
    LONG result = key.Open(parent, node.name, KEY_READ | KEY_WRITE);
    if (result == ERROR_FILE_NOT_FOUND)
        return S_OK;
    if (result != ERROR_SUCCESS)
        return HResultFromWin32(static_cast<DWORD>(result));

    HRESULT first = S_OK;
    for (const KeyNode& child : node.children)
    {
        const HRESULT hr = UnregisterKey(key, child);
        if (FAILED(hr) && SUCCEEDED(first))
            first = hr;
    }
    for (const ValueEntry& value : node.values)
    {
        result = key.DeleteValue(value.name);
        if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND && SUCCEEDED(first))
            first = HResultFromWin32(static_cast<DWORD>(result));
    }
    if (node.flag == KeyFlag::NoRemove)
        return first;

    DWORD subkeys = 0;
    DWORD values = 0;
    result = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values, nullptr, nullptr,
                              nullptr, nullptr);
    if (result != ERROR_SUCCESS)
        return SUCCEEDED(first) ? HResultFromWin32(static_cast<DWORD>(result)) : first;
    bool empty = subkeys == 0 && values == 0;
    if (subkeys == 0 && values == 1 && node.hasDefault)
        empty = RegQueryValueExW(key, nullptr, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
    if (!empty)
        return first;
    key.Close();
    result = RegDeleteKeyW(parent, node.name);
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND && SUCCEEDED(first))
        first = HResultFromWin32(static_cast<DWORD>(result));
    return first;
}
}  // namespace

HRESULT CRegistrar::AddReplacement(const wchar_t* name, const wchar_t* value) noexcept
{
    if (!name || !*name)
        return E_INVALIDARG;
    return ComCall([&] {
        for (Replacement& entry : m_replacements)
        {
            if (entry.name.CompareNoCase(name) == 0)
            {
                entry.value = value;
                return S_OK;
            }
        }
        m_replacements.push_back(Replacement{CString(name), CString(value)});
        return S_OK;
    });
}

void CRegistrar::ClearReplacements() noexcept
{
    m_replacements.clear();
}

HRESULT CRegistrar::Expand(const wchar_t* script, CString& out) const
{
    out.Empty();
    const wchar_t* run = script;
    for (const wchar_t* p = script; *p; ++p)
    {
        if (*p != L'%')
            continue;
        out.Append(run, static_cast<int>(p - run));
        const wchar_t* end = wcschr(p + 1, L'%');
        if (!end)
            return kHrRegistryScriptSyntax;
        if (end == p + 1)
        {
            out += L'%';
        }
        else
        {
            const CString name(p + 1, static_cast<int>(end - p - 1));
            const Replacement* found = nullptr;
            for (const Replacement& entry : m_replacements)
            {
                if (entry.name.CompareNoCase(name) == 0)
                    found = &entry;
            }
            if (!found)
                return kHrRegistryScriptSyntax;
            CString value(found->value);
            value.Replace(L"'", L"''");
            out += value;
        }
        p = end;
        run = end + 1;
    }
    out += run;
    return S_OK;
}

HRESULT CRegistrar::Apply(const wchar_t* script, bool doRegister)
{
    if (!script)
        return E_INVALIDARG;
    CString text;
    HRESULT hr = Expand(script, text);
    if (FAILED(hr))
        return hr;
    std::vector<RootNode> roots;
    CScriptParser parser(text);
    if (!parser.Parse(roots))
        return kHrRegistryScriptSyntax;

    HRESULT first = S_OK;
    for (const RootNode& root : roots)
    {
        for (const KeyNode& key : root.keys)
        {
            hr = doRegister ? RegisterKey(root.root, key) : UnregisterKey(root.root, key);
            if (FAILED(hr))
            {
                if (doRegister)
                    return hr;
                if (SUCCEEDED(first))
                    first = hr;
            }
        }
    }
    return first;
}

HRESULT CRegistrar::ApplyResource(HINSTANCE module, UINT resourceId, const wchar_t* type, bool doRegister)
{
    if (!type)
        return E_INVALIDARG;
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(resourceId), type);
    if (!found)
        return HResultFromLastError();
    HGLOBAL loaded = LoadResource(module, found);
    const DWORD size = SizeofResource(module, found);
    const BYTE* bytes = loaded ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
    if (!bytes)
        return HResultFromLastError();

    CString script;
    if (size >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE)
    {
        script = CString(reinterpret_cast<const wchar_t*>(bytes + 2), static_cast<int>((size - 2) / sizeof(wchar_t)));
    }
    else if (size > 0)
    {
        // The text is ANSI in the thread's code page unless it says it is UTF-8.
        UINT codePage = CP_THREAD_ACP;
        const char* text = reinterpret_cast<const char*>(bytes);
        int length = static_cast<int>(size);
        if (size >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF)
        {
            codePage = CP_UTF8;
            text += 3;
            length -= 3;
        }
        if (length > 0)
        {
            const int needed = MultiByteToWideChar(codePage, 0, text, length, nullptr, 0);
            if (needed <= 0)
                return HResultFromLastError();
            wchar_t* buffer = script.GetBuffer(needed);
            const int written = MultiByteToWideChar(codePage, 0, text, length, buffer, needed);
            script.ReleaseBuffer(written > 0 ? written : 0);
        }
    }
    // A resource may be padded with NULs at its end; a NUL inside the text is a syntax error.
    int length = script.GetLength();
    while (length > 0 && script.GetString()[length - 1] == 0)
        --length;
    if (length < script.GetLength())
        script = script.Left(length);
    if (static_cast<int>(wcslen(script.GetString())) != script.GetLength())
        return kHrRegistryScriptSyntax;
    return Apply(script, doRegister);
}

HRESULT CRegistrar::ResourceRegister(HINSTANCE module, UINT resourceId, const wchar_t* type) noexcept
{
    return ComCall([&] { return ApplyResource(module, resourceId, type, true); });
}

HRESULT CRegistrar::ResourceUnregister(HINSTANCE module, UINT resourceId, const wchar_t* type) noexcept
{
    return ComCall([&] { return ApplyResource(module, resourceId, type, false); });
}

HRESULT CRegistrar::StringRegister(const wchar_t* script) noexcept
{
    return ComCall([&] { return Apply(script, true); });
}

HRESULT CRegistrar::StringUnregister(const wchar_t* script) noexcept
{
    return ComCall([&] { return Apply(script, false); });
}

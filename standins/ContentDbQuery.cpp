#include "standins/ContentDbQuery.h"
#include <cwctype>
#include <new>

struct CContentDbQuery::Node
{
    enum class Kind
    {
        Or,
        And,
        Equals,
        Exists,
        MaskEquals,
        Contains
    };

    Kind kind = Kind::Equals;
    LONG propId = 0;
    std::wstring text;  // Equals, Contains
    LONG mask = 0;      // MaskEquals
    LONG value = 0;     // MaskEquals
    bool exists = true; // Exists
    std::vector<std::unique_ptr<Node>> children;  // Or, And

    bool Matches(const CContentDbItem& item) const;
};

namespace
{
using Node = CContentDbQuery::Node;

// Deeper nesting is refused rather than risking the stack on a hostile text.
constexpr int kMaxDepth = 200;

// A 32-bit integer written in decimal, optionally signed. Values up to 2^32 - 1 are accepted and
// wrap, so a state word written unsigned reads the same as written signed.
bool ParseInt32(const wchar_t* text, size_t length, LONG& value)
{
    size_t i = 0;
    bool negative = false;
    if (i < length && (text[i] == L'-' || text[i] == L'+'))
        negative = text[i++] == L'-';
    if (i == length)
        return false;
    unsigned long long magnitude = 0;
    for (; i < length; ++i)
    {
        if (text[i] < L'0' || text[i] > L'9')
            return false;
        magnitude = magnitude * 10 + static_cast<unsigned>(text[i] - L'0');
        if (magnitude > 0xFFFFFFFFull)
            return false;
    }
    if (negative && magnitude > 0x80000000ull)
        return false;
    const unsigned long bits = static_cast<unsigned long>(negative ? (0ull - magnitude) : magnitude) & 0xFFFFFFFFul;
    value = static_cast<LONG>(bits);
    return true;
}

bool ReadValue(const CContentDbItem& item, LONG propId, std::wstring& scratch, const std::wstring*& value)
{
    if (propId == CContentDbItem::kPropId || propId == CContentDbItem::kPropClass)
    {
        item.GetText(propId, scratch);
        value = &scratch;
        return true;
    }
    value = item.FindProperty(propId);
    return value != nullptr;
}

struct SyntaxError
{
    size_t offset;
};

enum class TokenKind
{
    End,
    LParen,
    RParen,
    Equals,
    Amp,
    String,
    Number,
    Word
};

class CQueryParser
{
public:
    explicit CQueryParser(const wchar_t* text) : m_text(text) { Advance(); }

    std::unique_ptr<Node> ParseQuery()
    {
        std::unique_ptr<Node> root = ParseOr(0);
        if (m_kind != TokenKind::End)
            Fail();
        return root;
    }

private:
    [[noreturn]] void Fail() const { throw SyntaxError{m_start}; }

    bool IsWord(const wchar_t* keyword) const
    {
        return m_kind == TokenKind::Word &&
               CompareStringOrdinal(m_token.c_str(), static_cast<int>(m_token.size()), keyword, -1, TRUE) == CSTR_EQUAL;
    }

    void Expect(TokenKind kind) const
    {
        if (m_kind != kind)
            Fail();
    }

    void Advance()
    {
        while (m_text[m_pos] == L' ' || m_text[m_pos] == L'\t' || m_text[m_pos] == L'\r' || m_text[m_pos] == L'\n')
            ++m_pos;
        m_start = m_pos;
        m_token.clear();
        const wchar_t ch = m_text[m_pos];
        if (ch == 0)
        {
            m_kind = TokenKind::End;
            return;
        }
        if (ch == L'(' || ch == L')' || ch == L'=' || ch == L'&')
        {
            m_kind = ch == L'(' ? TokenKind::LParen : ch == L')' ? TokenKind::RParen
                                                   : ch == L'=' ? TokenKind::Equals
                                                                : TokenKind::Amp;
            ++m_pos;
            return;
        }
        if (ch == L'"')
        {
            ++m_pos;
            for (;;)
            {
                const wchar_t c = m_text[m_pos];
                if (c == 0)
                    Fail();  // unterminated text
                ++m_pos;
                if (c == L'"')
                    break;
                if (c == L'\\' && m_text[m_pos] == L'\\')
                    ++m_pos;  // a doubled backslash stands for one
                m_token += c;
            }
            m_kind = TokenKind::String;
            return;
        }
        if (ch == L'-' || (ch >= L'0' && ch <= L'9'))
        {
            ++m_pos;
            while (m_text[m_pos] >= L'0' && m_text[m_pos] <= L'9')
                ++m_pos;
            m_token.assign(m_text + m_start, m_pos - m_start);
            if (!ParseInt32(m_token.c_str(), m_token.size(), m_number) ||
                (m_token[0] != L'-' && static_cast<ULONG>(m_number) > 0x7FFFFFFFul) ||
                (m_token[0] == L'-' && m_number > 0))
                Fail();  // property numbers are signed 32-bit
            m_kind = TokenKind::Number;
            return;
        }
        if (std::iswalpha(ch))
        {
            while (std::iswalpha(m_text[m_pos]))
                ++m_pos;
            m_token.assign(m_text + m_start, m_pos - m_start);
            m_kind = TokenKind::Word;
            return;
        }
        Fail();
    }

    std::unique_ptr<Node> Combine(Node::Kind kind, std::unique_ptr<Node> first, int depth)
    {
        const wchar_t* keyword = kind == Node::Kind::Or ? L"or" : L"and";
        if (!IsWord(keyword))
            return first;
        auto group = std::make_unique<Node>();
        group->kind = kind;
        group->children.push_back(std::move(first));
        while (IsWord(keyword))
        {
            Advance();
            group->children.push_back(kind == Node::Kind::Or ? ParseAnd(depth) : ParsePrimary(depth));
        }
        return group;
    }

    std::unique_ptr<Node> ParseOr(int depth) { return Combine(Node::Kind::Or, ParseAnd(depth), depth); }
    std::unique_ptr<Node> ParseAnd(int depth) { return Combine(Node::Kind::And, ParsePrimary(depth), depth); }

    std::unique_ptr<Node> ParsePrimary(int depth)
    {
        if (m_kind == TokenKind::LParen)
        {
            if (depth >= kMaxDepth)
                Fail();
            Advance();
            std::unique_ptr<Node> inner = ParseOr(depth + 1);
            Expect(TokenKind::RParen);
            Advance();
            return inner;
        }
        return ParseCondition();
    }

    std::unique_ptr<Node> ParseCondition()
    {
        Expect(TokenKind::Number);
        auto node = std::make_unique<Node>();
        node->propId = m_number;
        Advance();
        if (m_kind == TokenKind::Equals)
        {
            Advance();
            Expect(TokenKind::String);
            node->kind = Node::Kind::Equals;
            node->text = m_token;
            Advance();
        }
        else if (IsWord(L"exists"))
        {
            Advance();
            if (IsWord(L"true"))
                node->exists = true;
            else if (IsWord(L"false"))
                node->exists = false;
            else
                Fail();
            node->kind = Node::Kind::Exists;
            Advance();
        }
        else if (m_kind == TokenKind::Amp)
        {
            Advance();
            node->kind = Node::Kind::MaskEquals;
            node->mask = ReadQuotedInteger();
            Expect(TokenKind::Equals);
            Advance();
            node->value = ReadQuotedInteger();
        }
        else if (IsWord(L"contains"))
        {
            Advance();
            Expect(TokenKind::String);
            node->kind = Node::Kind::Contains;
            node->text = m_token;
            Advance();
        }
        else
        {
            Fail();
        }
        return node;
    }

    LONG ReadQuotedInteger()
    {
        Expect(TokenKind::String);
        LONG value = 0;
        if (!ParseInt32(m_token.c_str(), m_token.size(), value))
            Fail();
        Advance();
        return value;
    }

    const wchar_t* m_text;
    size_t m_pos = 0;
    size_t m_start = 0;
    TokenKind m_kind = TokenKind::End;
    std::wstring m_token;
    LONG m_number = 0;
};
}  // namespace

bool CContentDbQuery::Node::Matches(const CContentDbItem& item) const
{
    switch (kind)
    {
    case Kind::Or:
        for (const auto& child : children)
            if (child->Matches(item))
                return true;
        return false;
    case Kind::And:
        for (const auto& child : children)
            if (!child->Matches(item))
                return false;
        return true;
    default:
        break;
    }

    std::wstring scratch;
    const std::wstring* value = nullptr;
    const bool present = ReadValue(item, propId, scratch, value);
    switch (kind)
    {
    case Kind::Equals:
        return present && *value == text;
    case Kind::Exists:
        return present == exists;
    case Kind::Contains:
        return present && value->find(text) != std::wstring::npos;
    case Kind::MaskEquals:
    {
        LONG number = 0;
        return present && ParseInt32(value->c_str(), value->size(), number) && (number & mask) == this->value;
    }
    default:
        return false;
    }
}

CContentDbQuery::CContentDbQuery() = default;
CContentDbQuery::~CContentDbQuery() = default;
CContentDbQuery::CContentDbQuery(CContentDbQuery&&) noexcept = default;
CContentDbQuery& CContentDbQuery::operator=(CContentDbQuery&&) noexcept = default;

HRESULT CContentDbQuery::Parse(const wchar_t* text, size_t* errorOffset) noexcept
{
    m_root.reset();
    if (errorOffset)
        *errorOffset = 0;
    try
    {
        CQueryParser parser(text ? text : L"");
        m_root = parser.ParseQuery();
        return S_OK;
    }
    catch (const SyntaxError& error)
    {
        if (errorOffset)
            *errorOffset = error.offset;
        return kHrCdbQuerySyntax;
    }
    catch (const std::bad_alloc&)
    {
        return E_OUTOFMEMORY;
    }
}

bool CContentDbQuery::Matches(const CContentDbItem& item) const
{
    return m_root && m_root->Matches(item);
}

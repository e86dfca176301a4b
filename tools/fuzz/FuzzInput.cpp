#include "tools/fuzz/FuzzInput.h"

namespace
{
// Text() length classes: a length byte below kShortLimit is the length itself; below
// kMediumLimit it adds to 255; above, the text is huge.
constexpr uint8_t kShortLimit = 200;
constexpr uint8_t kMediumLimit = 240;
constexpr size_t kMediumBase = 255;
}  // namespace

uint8_t CFuzzInput::Byte() noexcept
{
    return m_position < m_bytes.size() ? m_bytes[m_position++] : 0;
}

uint16_t CFuzzInput::Word() noexcept
{
    const uint16_t low = Byte();
    return static_cast<uint16_t>(low | (Byte() << 8));
}

uint32_t CFuzzInput::Dword() noexcept
{
    const uint32_t low = Word();
    return low | (static_cast<uint32_t>(Word()) << 16);
}

uint64_t CFuzzInput::Qword() noexcept
{
    const uint64_t low = Dword();
    return low | (static_cast<uint64_t>(Dword()) << 32);
}

uint32_t CFuzzInput::Below(uint32_t bound) noexcept
{
    if (bound == 0)
        return 0;
    const uint32_t value = bound <= 256 ? Byte() : bound <= 65536 ? Word() : Dword();
    return value % bound;
}

const std::wstring& CFuzzInput::Pick(const std::vector<std::wstring>& words) noexcept
{
    static const std::wstring empty;
    return words.empty() ? empty : words[Below(static_cast<uint32_t>(words.size()))];
}

std::wstring CFuzzInput::Text(size_t maxLength)
{
    const uint8_t lengthByte = Byte();
    size_t length;
    if (lengthByte < kShortLimit)
        length = lengthByte;
    else if (lengthByte < kMediumLimit)
        length = kMediumBase + Byte() + (lengthByte - kShortLimit) * 8u;
    else
        length = maxLength - Below(64);
    if (length > maxLength)
        length = maxLength;

    std::wstring text;
    if (lengthByte < kMediumLimit)
    {
        for (size_t i = 0; i < length && !AtEnd(); ++i)
            text.push_back(static_cast<wchar_t>(Word()));
        return text;
    }
    // Huge: a piece of up to 16 units repeated.
    std::wstring piece;
    const size_t pieceLength = 1 + Below(16);
    for (size_t i = 0; i < pieceLength; ++i)
        piece.push_back(static_cast<wchar_t>(Word()));
    text.reserve(length);
    while (text.size() < length)
        text.append(piece, 0, std::min(piece.size(), length - text.size()));
    return text;
}

std::wstring CFuzzInput::RestAsText()
{
    std::wstring text;
    while (m_position + 1 < m_bytes.size())
        text.push_back(static_cast<wchar_t>(Word()));
    m_position = m_bytes.size();
    return text;
}

void CFuzzInputWriter::Word(uint16_t value)
{
    Byte(static_cast<uint8_t>(value));
    Byte(static_cast<uint8_t>(value >> 8));
}

void CFuzzInputWriter::Dword(uint32_t value)
{
    Word(static_cast<uint16_t>(value));
    Word(static_cast<uint16_t>(value >> 16));
}

void CFuzzInputWriter::Text(const std::wstring& text)
{
    const size_t length = std::min<size_t>(text.size(), kShortLimit - 1);
    Byte(static_cast<uint8_t>(length));
    Raw(text.substr(0, length));
}

void CFuzzInputWriter::Raw(const std::wstring& text)
{
    for (wchar_t ch : text)
        Word(static_cast<uint16_t>(ch));
}

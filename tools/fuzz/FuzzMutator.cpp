#include "tools/fuzz/FuzzMutator.h"

#include <algorithm>

namespace
{
// Bytes and UTF-16 units that mark edges: zero, sign bits, separators, line ends, surrogates.
const uint8_t kSpecialBytes[] = {0x00, 0x01, 0x7F, 0x80, 0xFF, 0xFE, '\t', '\r', '\n', '\\', ':', '.', '0', 'x', '-'};
const uint16_t kSpecialUnits[] = {0x0000, 0xFEFF, 0xFFFE, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0x0009, 0x000D,
                                  0x000A, 0x005C, 0x003A, 0x002E, 0xFFFF, 0x0085, 0x2028};

enum Change : uint32_t
{
    kFlipBit,
    kSpecialByte,
    kSpecialUnit,
    kInsertRandom,
    kErase,
    kTruncate,
    kDuplicate,
    kSplice,
    kChangeCount
};
}  // namespace

size_t CFuzzMutator::Position(const FuzzBytes& bytes, bool end)
{
    return m_random.Below(static_cast<uint32_t>(bytes.size() + (end ? 1 : 0)));
}

void CFuzzMutator::MutateOnce(FuzzBytes& bytes, const FuzzBytes& other)
{
    const uint32_t change = m_random.Below(kChangeCount);
    if (bytes.empty() && change != kInsertRandom && change != kSplice)
    {
        bytes.push_back(static_cast<uint8_t>(m_random.Next()));
        return;
    }
    switch (change)
    {
    case kFlipBit:
        bytes[Position(bytes, false)] ^= static_cast<uint8_t>(1u << m_random.Below(8));
        break;
    case kSpecialByte:
        bytes[Position(bytes, false)] = kSpecialBytes[m_random.Below(sizeof(kSpecialBytes))];
        break;
    case kSpecialUnit:
    {
        // At an even offset most of the time, so that UTF-16 text sees the unit whole.
        size_t at = Position(bytes, true);
        if (m_random.Percent(80))
            at &= ~static_cast<size_t>(1);
        const uint16_t unit = kSpecialUnits[m_random.Below(sizeof(kSpecialUnits) / sizeof(kSpecialUnits[0]))];
        const uint8_t pair[2] = {static_cast<uint8_t>(unit), static_cast<uint8_t>(unit >> 8)};
        bytes.insert(bytes.begin() + static_cast<ptrdiff_t>(at), pair, pair + 2);
        break;
    }
    case kInsertRandom:
    {
        const size_t at = Position(bytes, true);
        const size_t count = 1 + m_random.Below(m_random.Percent(90) ? 8 : 512);
        FuzzBytes insert(count);
        for (uint8_t& byte : insert)
            byte = static_cast<uint8_t>(m_random.Next());
        bytes.insert(bytes.begin() + static_cast<ptrdiff_t>(at), insert.begin(), insert.end());
        break;
    }
    case kErase:
    {
        const size_t at = Position(bytes, false);
        const size_t count = std::min(bytes.size() - at, static_cast<size_t>(1 + m_random.Below(16)));
        bytes.erase(bytes.begin() + static_cast<ptrdiff_t>(at), bytes.begin() + static_cast<ptrdiff_t>(at + count));
        break;
    }
    case kTruncate:
        bytes.resize(Position(bytes, false));
        break;
    case kDuplicate:
    {
        const size_t at = Position(bytes, false);
        const size_t count = std::min(bytes.size() - at, static_cast<size_t>(1 + m_random.Below(64)));
        const FuzzBytes piece(bytes.begin() + static_cast<ptrdiff_t>(at), bytes.begin() + static_cast<ptrdiff_t>(at + count));
        const size_t times = 1 + m_random.Below(m_random.Percent(90) ? 4 : 2000);
        const size_t to = Position(bytes, true);
        for (size_t i = 0; i < times && bytes.size() + piece.size() <= m_maxSize; ++i)
            bytes.insert(bytes.begin() + static_cast<ptrdiff_t>(to), piece.begin(), piece.end());
        break;
    }
    case kSplice:
    {
        // This input's head, the other's tail.
        const size_t cut = Position(bytes, true);
        const size_t from = other.empty() ? 0 : m_random.Below(static_cast<uint32_t>(other.size()));
        bytes.resize(cut);
        bytes.insert(bytes.end(), other.begin() + static_cast<ptrdiff_t>(from), other.end());
        break;
    }
    default:
        break;
    }
}

FuzzBytes CFuzzMutator::Mutate(const FuzzBytes& input, const FuzzBytes& other)
{
    FuzzBytes bytes = input;
    const uint32_t changes = 1 + m_random.Below(4);
    for (uint32_t i = 0; i < changes; ++i)
        MutateOnce(bytes, other);
    if (bytes.size() > m_maxSize)
        bytes.resize(m_maxSize);
    return bytes;
}

FuzzBytes CFuzzMutator::RandomBytes()
{
    const size_t size = m_random.Percent(90) ? m_random.Below(128) : m_random.Below(static_cast<uint32_t>(std::min<size_t>(m_maxSize, 65536)));
    FuzzBytes bytes(size);
    for (uint8_t& byte : bytes)
        byte = static_cast<uint8_t>(m_random.Next());
    return bytes;
}

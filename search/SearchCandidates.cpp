#include "search/SearchCandidates.h"
#include <cstring>
#include <utility>
#include "search/AnalysisState.h"

size_t CSearchCandidates::GroupOf(LONG state) noexcept
{
    switch (static_cast<ULONG>(state) & kStateFieldMask)
    {
    case 0:
        return 0;
    case kStateInterrupted:
        return 1;
    case kStateFileMissing:
        return 2;
    case kStateRepeat:
        return 3;
    case 6:
        return 4;
    default:
        return 5;
    }
}

const wchar_t* CSearchCandidates::StoreText(const wchar_t* text, size_t length)
{
    const size_t needed = length + 1;
    wchar_t* target = nullptr;
    if (needed > kTextBlockChars / 4)
    {
        // A long text gets a block of its own, so that the current block's rest is not wasted.
        m_textBlocks.push_back(std::unique_ptr<wchar_t[]>(new wchar_t[needed]));
        target = m_textBlocks.back().get();
        if (m_textBlocks.size() > 1)
            std::swap(m_textBlocks.back(), m_textBlocks[m_textBlocks.size() - 2]);
    }
    else
    {
        if (kTextBlockChars - m_blockUsed < needed)
        {
            std::unique_ptr<wchar_t[]> block(new wchar_t[kTextBlockChars]);
            m_textBlocks.push_back(std::move(block));
            m_blockUsed = 0;
        }
        target = m_textBlocks.back().get() + m_blockUsed;
        m_blockUsed += needed;
    }
    std::memcpy(target, text, length * sizeof(wchar_t));
    target[length] = L'\0';
    return target;
}

void CSearchCandidates::Add(LONG state, ULONG category, const wchar_t* location, size_t locationLength,
                            const wchar_t* itemId, size_t itemIdLength)
{
    Entry entry{state, category, StoreText(location, locationLength), StoreText(itemId, itemIdLength)};
    m_groups[GroupOf(state)].push_back(entry);
}

size_t CSearchCandidates::Count() const noexcept
{
    size_t count = 0;
    for (const std::deque<Entry>& group : m_groups)
        count += group.size();
    return count;
}

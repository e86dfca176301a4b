#pragma once
#include <windows.h>
#include <deque>
#include <memory>
#include <vector>

// The rows a search-and-queue pass keeps. They are all held until the walk is over, and handed
// out in the order of their overall state (the low four bits of the state word): 0, 7, 5, 10, 6,
// then any other; rows of one group keep the order they were added in.
//
// A pass may hold every row of a large catalogue, so an entry stays small: the texts go into
// shared blocks instead of an allocation each, and the groups grow in chunks without copying.
class CSearchCandidates
{
public:
    struct Entry
    {
        LONG state;
        ULONG category;
        const wchar_t* location;  // valid while the list lives
        const wchar_t* itemId;
    };

    CSearchCandidates() = default;
    CSearchCandidates(const CSearchCandidates&) = delete;
    CSearchCandidates& operator=(const CSearchCandidates&) = delete;

    // Copies the texts. Raises std::bad_alloc when memory runs out.
    void Add(LONG state, ULONG category, const wchar_t* location, size_t locationLength, const wchar_t* itemId,
             size_t itemIdLength);
    size_t Count() const noexcept;

    // Calls visit(entry) for every entry in hand-out order until it answers false.
    template <typename Visitor>
    void Visit(Visitor visit) const
    {
        for (const std::deque<Entry>& group : m_groups)
        {
            for (const Entry& entry : group)
            {
                if (!visit(entry))
                    return;
            }
        }
    }

private:
    static constexpr size_t kGroupCount = 6;
    static constexpr size_t kTextBlockChars = 32768;

    static size_t GroupOf(LONG state) noexcept;
    const wchar_t* StoreText(const wchar_t* text, size_t length);

    std::deque<Entry> m_groups[kGroupCount];
    std::vector<std::unique_ptr<wchar_t[]>> m_textBlocks;
    size_t m_blockUsed = kTextBlockChars;  // no block yet
};

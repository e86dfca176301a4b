#include "common/ComCall.h"
#include "common/TraceWriter.h"
#include "contentdb/ContentConstants.h"
#include "search/AnalysisState.h"
#include "search/PluginDbSearchThread.h"
#include "search/SearchQuerySet.h"

namespace
{
// Fetched for every row: the id, then the four state words in word order.
const LONG kResetColumns[] = {kPropItemId, kPropAnalysisState0, kPropAnalysisState1, kPropAnalysisState2,
                              kPropAnalysisState3};
constexpr ULONG kResetColumnCount = sizeof(kResetColumns) / sizeof(kResetColumns[0]);

struct ChangedItem
{
    CString itemId;
    LONG words[kStateWordCount];
    bool dirty[kStateWordCount];
};

// The overall state an item gets when engine fields are set to `to`. The overall state moves only
// towards what the engines' fields now say: a finished or never-started item stays as it is, and
// states 13 and 14 are never reached this way.
ULONG OverallAfterReset(ULONG current, ULONG to) noexcept
{
    const bool toClosing = to == 13 || to == 14;
    const bool toRunning = to == 4 || to == 6;
    const bool toWaiting = to == 1 || to == kStateFileMissing;
    switch (current)
    {
    case 1:
    case 2:
    case 3:
    case kStateFileMissing:
    case 6:
        return toClosing || toRunning ? current : to;
    case 4:
    case 13:
    case 14:
        return toClosing ? current : to;
    case kStateInterrupted:
    case 8:
    case 9:
    case kStateRepeat:
        return toClosing || toRunning || toWaiting ? current : to;
    default:  // 0, 11, 12, 15
        return current;
    }
}

// "c1" for one clause; "( c1 ) or (c2) or (c3)..." for more.
CString JoinEngineClauses(const std::vector<ULONG>& engineIndexes, ULONG fromValue)
{
    CString joined;
    for (size_t i = 0; i < engineIndexes.size(); ++i)
    {
        const CString clause = BuildEngineStateClause(engineIndexes[i], fromValue);
        if (i == 0)
        {
            joined = clause;
            continue;
        }
        if (i == 1)
            joined = L"( " + joined + L" )";
        joined += L" or (";
        joined += clause;
        joined += L")";
    }
    return joined;
}

// Applies the reset to one row's words; true when any word changed.
bool ResetFields(ChangedItem& item, const std::vector<ULONG>& engineIndexes, ULONG fromValue, ULONG to)
{
    bool changed = false;
    bool overallGiven = false;
    for (const ULONG index : engineIndexes)
    {
        if (index == 1)
            overallGiven = true;
        ULONG word = 0;
        ULONG shift = 0;
        if (!LocateStateField(index, &word, &shift))
            continue;
        const ULONG before = static_cast<ULONG>(item.words[word]);
        if (((before >> shift) & kStateFieldMask) != fromValue)
            continue;
        const ULONG after = (before & ~(kStateFieldMask << shift)) | (to << shift);
        if (after != before)
        {
            item.words[word] = static_cast<LONG>(after);
            item.dirty[word] = true;
            changed = true;
        }
    }
    // Index 1 among the engines means the caller handles the overall field itself.
    if (changed && !overallGiven)
    {
        const ULONG before = static_cast<ULONG>(item.words[0]);
        const ULONG overall = OverallAfterReset(before & kStateFieldMask, to);
        const ULONG after = (before & ~kStateFieldMask) | overall;
        if (after != before)
        {
            item.words[0] = static_cast<LONG>(after);
            item.dirty[0] = true;
        }
    }
    return changed;
}

void WriteChangedItem(CKdCdbMgr& connection, const ChangedItem& item)
{
    std::vector<LONG> propIds;
    std::vector<CScopedBstr> texts;
    for (ULONG j = 0; j < kStateWordCount; ++j)
    {
        if (!item.dirty[j])
            continue;
        CString text;
        text.Format(L"%d", item.words[j]);
        propIds.push_back(kPropAnalysisState0 + static_cast<LONG>(j));
        texts.emplace_back(text.AllocSysString());
    }
    if (propIds.empty())
        return;
    std::vector<BSTR> values;
    values.reserve(texts.size());
    for (const CScopedBstr& text : texts)
        values.push_back(text.Get());
    connection.SetValueList(item.itemId, propIds, &values);
}
}  // namespace

HRESULT CPluginDbSearchThread::ResetEngineStates(CKdCdbMgr& connection, LPCWSTR categoryClause,
                                                 const std::vector<ULONG>& engineIndexes, ULONG fromValue,
                                                 ULONG toValue)
{
    if (!categoryClause)
        return E_POINTER;
    // A stop already requested still lets the search run; the walk then takes no row.
    bool stopped = IsStopRequested(0);
    const ULONG to = toValue & kStateFieldMask;
    std::vector<ChangedItem> changedItems;

    HRESULT result = CatchAsHResult([&]() -> HRESULT {
        const CString engineClause = JoinEngineClauses(engineIndexes, fromValue);
        if (engineClause.IsEmpty())
            return E_INVALIDARG;
        CString query;
        if (*categoryClause)
            query = CString(categoryClause) + L" and ( " + engineClause + L" )";
        else
            query = engineClause;

        // All rows are read before the first write, so the writes cannot disturb the walk of the
        // same connection's result set.
        return WalkSearchResults(connection, query, kResetColumnCount, kResetColumns, stopped, [&] {
            CScopedBstr itemId;
            if (FAILED(connection.GetValue(kPropItemId, itemId.Receive())) || itemId.Length() == 0)
                return;
            ChangedItem item{CString(itemId.Get()), {}, {}};
            for (ULONG j = 0; j < kStateWordCount; ++j)
            {
                CScopedBstr word;
                connection.GetValue(kResetColumns[1 + j], word.Receive());
                item.words[j] = ReadStateWord(word.Get());
            }
            if (ResetFields(item, engineIndexes, fromValue, to))
                changedItems.push_back(std::move(item));
        });
    });
    if (stopped)
        result = E_ABORT;

    // A pause holds the pass here too, and a stop during it leaves the database untouched.
    if (!WaitForRun(INFINITE))
        return E_ABORT;
    if (SUCCEEDED(result))
    {
        const HRESULT written = CatchAsHResult([&] {
            for (const ChangedItem& item : changedItems)
            {
                WriteChangedItem(connection, item);
                ++m_runCounts.reset;
                if (TraceOn(TraceLevel::Decisions))
                    Trace(TraceSource::Search, TraceDecision::Reset, item.itemId, nullptr, nullptr, S_OK,
                          L"overall state %lu, engine fields to %lu", static_cast<unsigned long>(static_cast<ULONG>(item.words[0]) & kStateFieldMask),
                          static_cast<unsigned long>(to));
            }
            return S_OK;
        });
        if (FAILED(written))
            result = written;
    }
    return result;
}

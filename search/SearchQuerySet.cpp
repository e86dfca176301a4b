#include "search/SearchQuerySet.h"

#include <vector>
#include "contentdb/ContentConstants.h"
#include "contentdb/QueryText.h"

namespace
{
constexpr ULONG kHandedOver = 3;
constexpr ULONG kHandedOverQueued = 2;
constexpr ULONG kNew = 0;
constexpr ULONG kInterrupted = 7;
constexpr ULONG kInterruptedEarly = 1;

constexpr ULONG kFieldMask = 15;
constexpr ULONG kEngineFields = 32;
constexpr ULONG kFieldsPerProperty = 8;

constexpr ULONG kAudioBits = kCategoryAudio | kCategoryAudioMarked;
constexpr ULONG kVideoBits = kCategoryVideoAnalogue | kCategoryVideoDigital | kCategoryVideoPlain;

LONG AsState(ULONG state)
{
    return static_cast<LONG>(state);
}

void AddAudioGroup(std::vector<CString>& groups, ULONG audio)
{
    if (audio == kAudioBits)
        groups.push_back(QueryClassGroup(kItemClassAudio));
    else if (audio == kCategoryAudioMarked)
        groups.push_back(QueryClassGroupWithProperty(kItemClassAudio, kPropMarker, true));
    else if (audio == kCategoryAudio)
        groups.push_back(QueryClassGroupWithProperty(kItemClassAudio, kPropMarker, false));
}

// Video without a broadcast type stands for the plain kind (bit 2). Masks 5 and 6 combine the
// plain kind with the analogue or the digital group, so that every kind the mask names is
// selected; the search pass filters the items by category again, so a wider clause costs only
// reads.
void AddVideoGroups(std::vector<CString>& groups, ULONG video)
{
    if (video == kVideoBits)
    {
        groups.push_back(QueryClassGroup(kItemClassVideo));
        return;
    }
    if (video & kCategoryVideoPlain)
        groups.push_back(QueryClassGroupWithProperty(kItemClassVideo, kPropBroadcastType, false));
    switch (video & ~kCategoryVideoPlain)
    {
    case kCategoryVideoAnalogue | kCategoryVideoDigital:
        groups.push_back(QueryClassGroupWithProperty(kItemClassVideo, kPropBroadcastType, true));
        break;
    case kCategoryVideoAnalogue:
        groups.push_back(QueryAnalogueVideoGroup());
        break;
    case kCategoryVideoDigital:
        groups.push_back(QueryDigitalVideoGroup());
        break;
    default:
        break;
    }
}

}  // namespace

CString BuildCategoryClause(ULONG categoryMask)
{
    std::vector<CString> groups;
    AddAudioGroup(groups, categoryMask & kAudioBits);
    if (categoryMask & kCategoryImage)
        groups.push_back(QueryClassGroup(kItemClassImage));
    AddVideoGroups(groups, categoryMask & kVideoBits);
    return JoinAlternatives(groups);
}

CString BuildCategoryPrefix(ULONG categoryMask)
{
    CString clause = BuildCategoryClause(categoryMask);
    if (clause.IsEmpty())
        return clause;
    return JoinQueries(clause, L"");
}

CString BuildEngineStateClause(ULONG engineIndex, ULONG value)
{
    LONG property = kPropAnalysisState0;
    ULONG shift = 0;
    if (engineIndex >= 1 && engineIndex <= kEngineFields)
    {
        property += static_cast<LONG>((engineIndex - 1) / kFieldsPerProperty);
        shift = 4 * ((engineIndex - 1) % kFieldsPerProperty);
    }
    // Formatted as signed numbers: the field of index 8, 16, 24 or 32 gives a negative mask.
    const LONG mask = static_cast<LONG>(kFieldMask << shift);
    const LONG fieldValue = static_cast<LONG>((value & kFieldMask) << shift);
    if ((value & kFieldMask) == 0)
        return QueryMissingOrMaskEquals(property, mask, fieldValue);
    return QueryMaskEquals(property, mask, fieldValue);
}

CString QueryAllHandedOver()
{
    return QueryMediaStateIsEither(AsState(kHandedOver), AsState(kHandedOverQueued));
}

CString QueryAllNew()
{
    return QueryMediaStateMissingOr(AsState(kNew));
}

CString QueryAllInState(ULONG state)
{
    return QueryMediaStateIs(AsState(state));
}

CString QueryHandedOver()
{
    return QueryStateIsEither(AsState(kHandedOver), AsState(kHandedOverQueued));
}

CString QueryPending()
{
    return QueryStateMissingOrAny(AsState(kNew), AsState(kInterrupted), AsState(kInterruptedEarly));
}

CString QueryInState(ULONG state)
{
    return QueryStateIs(AsState(state));
}

CString QueryNewOrInState(ULONG state)
{
    return QueryStateMissingOr(AsState(state));
}

CString QueryNew()
{
    return QueryNewOrInState(kNew);
}

#pragma once
#include <windows.h>
#include "common/String.h"

// The query texts of the search runs. The texts are built by contentdb/QueryText; this file names
// them after what the runs look for. Every function returns a new text and raises
// CHResultException(E_OUTOFMEMORY) only when memory runs out.
//
// The overall analysis state is the low four bits of property 175: 0 or missing means never
// handed over, 2 and 3 handed over, 5 file gone, 7 and 1 interrupted, 10 to be analysed again.

// The category clause: the item classes (and their sub-kinds) of the content categories in
// categoryMask, e.g. ( ( -2 = "200" ) or ( -2 = "300" and 159 exists false ) ) for 0x0C. Bits
// above 0x3F are ignored; no category bit gives the empty text. Parenthesised as a whole, so it
// can be followed by " and " and another condition.
CString BuildCategoryClause(ULONG categoryMask);

// The category clause followed by " and ", or the empty text when the clause is empty: what the
// category-restricted queries below are written after.
CString BuildCategoryPrefix(ULONG categoryMask);

// The test of an engine's 4-bit state field: engineIndex 1 to 32 selects the field (1 is the
// overall state), any other index the overall state. A value of 0 also matches a missing
// property. No parentheses of its own, e.g. 175 & "240" = "64" for index 2 and value 4.
CString BuildEngineStateClause(ULONG engineIndex, ULONG value);

// ---- Queries with their own class test (video, image or audio), used without a category clause

// State 3 or 2: handed over to the manager and not finished.
CString QueryAllHandedOver();
// State 0 or missing: never handed over.
CString QueryAllNew();
// State `state`.
CString QueryAllInState(ULONG state);

// ---- Queries written after a category prefix -------------------------------------------------

// State 3 or 2.
CString QueryHandedOver();
// Missing, 0, 7 or 1: never handed over or interrupted.
CString QueryPending();
// State `state`.
CString QueryInState(ULONG state);
// Missing or state `state`; QueryNew is state 0.
CString QueryNewOrInState(ULONG state);
CString QueryNew();

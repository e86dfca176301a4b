#pragma once
#include <vector>
#include "common/String.h"

// A container and the ids of items that belong to it.
struct CKdCdbItemGroup
{
    CString containerId;
    std::vector<CString> memberIds;
};

#pragma once
#include <windows.h>
#include "common/Scoped.h"

// Who may change the product's data folder and whose delay-queue file the plug-in believes.
//
// The folder lies under the all-users application-data folder, where ordinary users may create
// files and folders. A request in the delay-queue file becomes a path the service hands to the
// manager, so the folder is created with rights of its own (nothing inherited from that parent),
// and a queue file that someone else owns is not read at all.

// The security the plug-in asks for when it creates the data folder (and any missing parent):
// SYSTEM and Administrators full control, Users read, each for the folder, its sub-folders and
// files; protected, so that no entry of the parent (such as its create-files right for Users) is
// inherited.
class CDataFolderSecurity
{
public:
    CDataFolderSecurity() noexcept;
    ~CDataFolderSecurity();
    CDataFolderSecurity(const CDataFolderSecurity&) = delete;
    CDataFolderSecurity& operator=(const CDataFolderSecurity&) = delete;

    // Null when the descriptor could not be built; the folder is then created with the rights it
    // inherits, as before.
    SECURITY_ATTRIBUTES* Attributes() noexcept { return m_descriptor ? &m_attributes : nullptr; }
    PSECURITY_DESCRIPTOR Descriptor() const noexcept { return m_descriptor; }

private:
    PSECURITY_DESCRIPTOR m_descriptor = nullptr;  // LocalFree
    SECURITY_ATTRIBUTES m_attributes = {};
};

// Whether a delay-queue file owned by `owner` is believed: SYSTEM, the Administrators group or
// the account the process runs as. A null owner is not.
bool IsTrustedQueueFileOwner(PSID owner);

// The owner of the open file; the check above applied to it. False when it cannot be read.
using QueueFileOwnerCheck = bool (*)(HANDLE file);
bool HasTrustedOwner(HANDLE file);

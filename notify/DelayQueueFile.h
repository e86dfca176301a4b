#pragma once
#include <windows.h>
#include <functional>
#include <vector>
#include "common/String.h"
#include "notify/DataFolderSecurity.h"

// The delay-queue file: the change-notification worker's waiting requests, kept across restarts.
//
// Folder: the all-users application-data folder + "Tessaly Corporation\LUM Siftwell\". Files:
//   DbWexDelayQueue.dat      the current queue
//   DbWexDelayQueue.dat.new  being written; renamed to .dat only once complete
//   DbWexDelayQueue.dat.bak  the previous .dat
//   DbWexDelayQueue.dat.untrusted  a .dat whose owner was not believed, moved aside unread
// At any moment the newest complete queue is .dat or, between the two renames of a save, .bak.
//
// Format: UTF-16LE with byte-order mark, one line "%s\t%d\t%s\r\n" per request (item id, item
// class, path), head of the queue first; no header, count or checksum.
//
// Every operation creates the folder (and its parents) first, with the data folder's own rights
// (DataFolderSecurity.h). Results: E_ACCESSDENIED when the
// folder is empty, the Win32 error of the failing call as HRESULT otherwise.

// The current queue's file name, in the folder.
constexpr wchar_t kDelayQueueFileName[] = L"DbWexDelayQueue.dat";

struct CDelayQueueRecord
{
    CString path;    // empty for a request whose file is not known yet; such lines do not load
    CString itemId;
    LONG itemClass = 0;
};

// Receives each valid line of the file. A failure ends the walk after that line and becomes the
// load's result.
using DelayQueueLineHandler =
    std::function<HRESULT(const CString& itemId, LONG itemClass, const CString& path)>;

// The folder the product uses, ending with "\" (the current directory when the shell cannot give
// the special folder).
CString GetDelayQueueFolder();

// What makes the written .new durable before it is renamed; FlushFileBuffers unless a test
// stands in for it. FALSE, with the last error set, fails the save.
using DelayQueueFlush = BOOL(WINAPI*)(HANDLE file);

// Writes the records to .new, flushes it and rotates it in (.dat -> .bak, .new -> .dat). With no
// record no file is written: an existing .dat becomes .bak and the answer is S_FALSE. A failed
// write or flush leaves .dat as it was.
HRESULT SaveDelayQueueFile(const std::vector<CDelayQueueRecord>& records);
HRESULT SaveDelayQueueFile(const CString& folder, const std::vector<CDelayQueueRecord>& records,
                           DelayQueueFlush flush = nullptr);

// Hands each valid line of .dat to onLine, in file order. A line is valid when its id is not empty,
// its class reads (wcstol base 0) as non-zero, its path names an existing file, not a folder, and
// it holds no NUL; other lines are skipped. A missing file (or folder) answers S_FALSE. A file whose
// owner the check (HasTrustedOwner unless a test stands in for it) does not believe is moved to
// .untrusted, replacing an older one, and nothing is loaded: S_FALSE.
HRESULT LoadDelayQueueFile(const DelayQueueLineHandler& onLine);
HRESULT LoadDelayQueueFile(const CString& folder, const DelayQueueLineHandler& onLine,
                           QueueFileOwnerCheck ownerCheck = nullptr);

// Moves .dat to .bak (replacing it): S_OK; S_FALSE when there is no .dat or the move failed.
HRESULT BackUpDelayQueueFile();
HRESULT BackUpDelayQueueFile(const CString& folder);

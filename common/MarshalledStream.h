#pragma once
#include <windows.h>
#include <objbase.h>

// An interface pointer marshalled into a stream for another thread of the process: made on the
// sending thread, unmarshalled once on the receiving one. A stream that is never unmarshalled (its
// work item was refused or discarded) has its marshal data released with it, or the object it
// holds a reference on would be kept alive for good. Copying is deleted; moving passes it on.
class CMarshalledStream
{
public:
    CMarshalledStream() noexcept = default;
    ~CMarshalledStream() { Reset(); }
    CMarshalledStream(const CMarshalledStream&) = delete;
    CMarshalledStream& operator=(const CMarshalledStream&) = delete;
    CMarshalledStream(CMarshalledStream&& other) noexcept;
    CMarshalledStream& operator=(CMarshalledStream&& other) noexcept;

    // Marshals `object` as `iid`, from the object's identity (its IUnknown), so that any object
    // that implements `iid` can be passed. Replaces what is held; on failure nothing is held.
    // E_POINTER for a null object.
    HRESULT Marshal(REFIID iid, IUnknown* object) noexcept;
    // Unmarshals the interface into *out. The stream is used up whether this succeeds or not.
    // E_POINTER when no stream is held.
    HRESULT Unmarshal(REFIID iid, void** out) noexcept;

    bool IsEmpty() const noexcept { return m_stream == nullptr; }
    // Releases the marshal data and the stream.
    void Reset() noexcept;

private:
    IStream* m_stream = nullptr;
};

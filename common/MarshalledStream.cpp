#include "common/MarshalledStream.h"
#include <utility>
#include "common/ComPtr.h"

CMarshalledStream::CMarshalledStream(CMarshalledStream&& other) noexcept
    : m_stream(std::exchange(other.m_stream, nullptr))
{
}

CMarshalledStream& CMarshalledStream::operator=(CMarshalledStream&& other) noexcept
{
    if (this != &other)
    {
        Reset();
        m_stream = std::exchange(other.m_stream, nullptr);
    }
    return *this;
}

HRESULT CMarshalledStream::Marshal(REFIID iid, IUnknown* object) noexcept
{
    Reset();
    if (!object)
        return E_POINTER;
    CComPtr<IUnknown> identity;
    HRESULT hr = object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity));
    if (SUCCEEDED(hr) && !identity)
        hr = E_NOINTERFACE;
    if (FAILED(hr))
        return hr;
    IStream* stream = nullptr;
    hr = CoMarshalInterThreadInterfaceInStream(iid, identity, &stream);
    if (SUCCEEDED(hr))
        m_stream = stream;
    return hr;
}

HRESULT CMarshalledStream::Unmarshal(REFIID iid, void** out) noexcept
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    // CoGetInterfaceAndReleaseStream consumes the stream, success or not.
    IStream* stream = std::exchange(m_stream, nullptr);
    if (!stream)
        return E_POINTER;
    return CoGetInterfaceAndReleaseStream(stream, iid, out);
}

void CMarshalledStream::Reset() noexcept
{
    IStream* stream = std::exchange(m_stream, nullptr);
    if (stream)
    {
        CoReleaseMarshalData(stream);
        stream->Release();
    }
}

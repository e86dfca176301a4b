#include "common/MarshalledStream.h"

#include <gtest/gtest.h>
#include "common/ComPtr.h"

namespace
{
// An object of this apartment that counts its references, so the test sees what a stream holds.
class CCountedObject : public IUnknown
{
public:
    LONG refs = 1;
    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        *out = IsEqualIID(iid, IID_IUnknown) ? this : nullptr;
        if (!*out)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&refs)); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(InterlockedDecrement(&refs)); }
};

class MarshalledStream : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
    void TearDown() override { CoUninitialize(); }
};
}  // namespace

// A stream never unmarshalled gives back what it held on the object, whether it is reset, replaced,
// moved from or destroyed; one unmarshalled is used up.
TEST_F(MarshalledStream, HoldsTheObjectUntilUnmarshalledOrGone)
{
    CCountedObject object;
    {
        CMarshalledStream stream;
        ASSERT_EQ(S_OK, stream.Marshal(IID_IUnknown, &object));
        EXPECT_GT(object.refs, 1);
        CMarshalledStream moved(std::move(stream));
        EXPECT_TRUE(stream.IsEmpty());
        ASSERT_EQ(S_OK, moved.Marshal(IID_IUnknown, &object)) << "replaces the first";
    }
    EXPECT_EQ(1, object.refs) << "destroyed unused";

    CMarshalledStream stream;
    ASSERT_EQ(S_OK, stream.Marshal(IID_IUnknown, &object));
    CComPtr<IUnknown> back;
    ASSERT_EQ(S_OK, stream.Unmarshal(IID_IUnknown, reinterpret_cast<void**>(&back)));
    EXPECT_EQ(static_cast<IUnknown*>(&object), back.Get());
    EXPECT_TRUE(stream.IsEmpty());
    EXPECT_EQ(E_POINTER, stream.Unmarshal(IID_IUnknown, reinterpret_cast<void**>(&back)));
    EXPECT_EQ(nullptr, back.Get());
    EXPECT_EQ(1, object.refs);

    EXPECT_EQ(E_POINTER, stream.Marshal(IID_IUnknown, nullptr));
    EXPECT_TRUE(stream.IsEmpty());
}

#include "common/ComPtr.h"

#include <gtest/gtest.h>

namespace
{
// Counts references so the tests can see every AddRef and Release the pointer makes.
class CountedUnknown : public IUnknown
{
public:
    ULONG refs = 1;
    STDMETHODIMP QueryInterface(REFIID, void** ppv) override
    {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override { return --refs; }
};
} // namespace

TEST(ComPtrTest, CopyAndMoveKeepTheCountExact)
{
    CountedUnknown a;
    {
        CComPtr<IUnknown> first(&a);
        EXPECT_EQ(2u, a.refs);
        CComPtr<IUnknown> copy(first);
        EXPECT_EQ(3u, a.refs);
        CComPtr<IUnknown> moved(std::move(copy));
        EXPECT_EQ(3u, a.refs);
        EXPECT_EQ(nullptr, copy.Get());

        CComPtr<IUnknown> target;
        target = std::move(moved);
        EXPECT_EQ(3u, a.refs);
        EXPECT_EQ(&a, target.Get());
        EXPECT_EQ(nullptr, moved.Get());

        // Through a reference, as a self-move happens in real code (and unseen by -Wself-move).
        CComPtr<IUnknown>& alias = target;
        target = std::move(alias);
        EXPECT_EQ(3u, a.refs);
        EXPECT_EQ(&a, target.Get());
    }
    EXPECT_EQ(1u, a.refs);
}

TEST(ComPtrTest, AddressOfReleasesTheOldReferenceAndAttachTakesOwnership)
{
    CountedUnknown a, b;
    CComPtr<IUnknown> p(&a);
    IUnknown** slot = &p;
    EXPECT_EQ(1u, a.refs);
    EXPECT_EQ(nullptr, p.Get());

    b.AddRef(); // the reference an out-parameter hands over
    *slot = &b;
    p.Attach(&a); // takes a's reference as it stands, gives b's back
    EXPECT_EQ(1u, b.refs);
    EXPECT_EQ(1u, a.refs);
    EXPECT_EQ(&a, p.Detach());
    EXPECT_EQ(1u, a.refs);
    EXPECT_EQ(nullptr, p.Get());
}

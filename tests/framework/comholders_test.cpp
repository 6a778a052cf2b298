// The COM reference and BSTR holders: what they hold is released exactly once, whether the
// holder is destroyed, refilled through Out() or emptied, and never once it is detached.
#include "comholders.h"

#include <gtest/gtest.h>

namespace {

// Counts its references; Release past zero would show as a huge count.
class CountedObject : public IUnknown {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_references; }
    ULONG STDMETHODCALLTYPE Release() override { return --m_references; }
    ULONG m_references = 1;
};

TEST(ComHoldersTest, APointerHolderReleasesItsReferenceOnceOnEveryPath) {
    using Step = void (*)(CComPointer<IUnknown>&);
    // What is done to a holder of one reference, and the references left afterwards (the
    // holder itself is destroyed after the step).
    const std::pair<Step, ULONG> cases[] = {
        {[](CComPointer<IUnknown>&) {}, 0},
        {[](CComPointer<IUnknown>& holder) { holder.Release(); }, 0},
        {[](CComPointer<IUnknown>& holder) { holder.Out(); }, 0},
        {[](CComPointer<IUnknown>& holder) { holder.Detach(); }, 1},
    };
    for (const auto& [step, left] : cases) {
        CountedObject object;
        {
            CComPointer<IUnknown> holder;
            *holder.Out() = &object;
            EXPECT_EQ(holder.Get(), &object);
            step(holder);
            holder.Release(); // a second release of an emptied holder does nothing
        }
        EXPECT_EQ(object.m_references, left);
    }
    CComPointer<IUnknown> empty;
    EXPECT_EQ(empty.Get(), nullptr);
    EXPECT_EQ(*empty.Out(), nullptr);
}

TEST(ComHoldersTest, AStringHolderFreesWhatItHoldsAndHandsOverOnDetach) {
    // The sanitizer build reports a string freed twice or never.
    CBstrHolder holder;
    *holder.Out() = SysAllocString(u"first");
    *holder.Out() = SysAllocString(u"second"); // frees "first"
    EXPECT_EQ(std::u16string(holder.Get()), u"second");
    BSTR detached = holder.Detach();
    EXPECT_EQ(holder.Get(), nullptr);
    holder.Free();
    EXPECT_EQ(SysStringLen(detached), 6u);
    SysFreeString(detached);
}

} // namespace

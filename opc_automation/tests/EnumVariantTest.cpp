// The IEnumVARIANT of every _NewEnum: Next, Skip, Reset and Clone over a snapshot.
#include <gtest/gtest.h>

#include "EnumVariant.h"
#include "common/ComObject.h"
#include "common/ComPtr.h"

#include <vector>

namespace veltrane {
namespace {

using common::ComPtr;
using common::Variant;

struct ComInit {
  ComInit() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
  ~ComInit() { CoUninitialize(); }
};

ComPtr<IEnumVARIANT> Make(std::vector<Variant> items) {
  ComPtr<IEnumVARIANT> e;
  EXPECT_EQ(S_OK, CreateEnumVariant(std::move(items), e.GetAddressOf()));
  return e;
}

std::vector<Variant> ThreeItems() { return {Variant(1), Variant(L"two"), Variant(3.0)}; }

TEST(EnumVariant, NextHandsOutCopiesAndSaysWhenFewerRemained) {
  ComInit com;
  auto e = Make(ThreeItems());
  Variant out[3];
  V_VT(&out[2]) = VT_I2;  // a marker Next must not touch
  V_I2(&out[2]) = 77;
  ULONG fetched = 99;
  ASSERT_EQ(S_OK, e->Next(2, out, &fetched));
  EXPECT_EQ(2u, fetched);
  EXPECT_EQ(1, V_I4(&out[0]));
  EXPECT_STREQ(L"two", V_BSTR(&out[1]));
  out[1].Clear();  // the caller's copy: freeing it leaves the enumerator's alone
  ASSERT_EQ(S_FALSE, e->Next(2, out, &fetched));
  EXPECT_EQ(1u, fetched);
  EXPECT_EQ(3.0, V_R8(&out[0]));
  EXPECT_EQ(VT_EMPTY, out[1].Type());  // the slot past the end stays as it was (cleared above)
  EXPECT_EQ(77, V_I2(&out[2]));
  ASSERT_EQ(S_FALSE, e->Next(1, out, nullptr));  // one at a time needs no count
  ASSERT_EQ(S_OK, e->Reset());
  ASSERT_EQ(S_OK, e->Next(1, out[0].ReleaseAndGetAddressOf(), nullptr));
  EXPECT_EQ(1, V_I4(&out[0]));
  ASSERT_EQ(S_OK, e->Next(1, out[0].ReleaseAndGetAddressOf(), nullptr));
  EXPECT_STREQ(L"two", V_BSTR(&out[0]));  // unaffected by the copy freed above
  ASSERT_EQ(S_OK, e->Next(0, out, &fetched));
  EXPECT_EQ(0u, fetched);
}

TEST(EnumVariant, NullArgumentsAreRefusedWithoutMoving) {
  ComInit com;
  auto e = Make(ThreeItems());
  Variant out[2];
  ULONG fetched = 5;
  EXPECT_EQ(E_POINTER, e->Next(1, nullptr, &fetched));
  EXPECT_EQ(E_POINTER, e->Next(2, out, nullptr));
  EXPECT_EQ(E_POINTER, e->Next(0, out, nullptr));
  EXPECT_EQ(E_POINTER, e->Clone(nullptr));
  ASSERT_EQ(S_OK, e->Next(1, out, nullptr));
  EXPECT_EQ(1, V_I4(&out[0]));  // still at the start
}

TEST(EnumVariant, SkipStopsAtTheEnd) {
  ComInit com;
  auto e = Make(ThreeItems());
  Variant out;
  ULONG fetched = 0;
  EXPECT_EQ(S_OK, e->Skip(2));
  ASSERT_EQ(S_OK, e->Next(1, &out, &fetched));
  EXPECT_EQ(3.0, V_R8(&out));
  EXPECT_EQ(S_OK, e->Skip(0));
  ASSERT_EQ(S_OK, e->Reset());
  EXPECT_EQ(S_FALSE, e->Skip(4));
  EXPECT_EQ(S_FALSE, e->Next(1, out.ReleaseAndGetAddressOf(), &fetched));
  EXPECT_EQ(0u, fetched);
  EXPECT_EQ(S_FALSE, e->Skip(1));
  ASSERT_EQ(S_OK, e->Reset());
  EXPECT_EQ(S_OK, e->Skip(3));  // exactly to the end
  EXPECT_EQ(S_FALSE, e->Next(1, &out, &fetched));
}

TEST(EnumVariant, CloneSharesTheSnapshotAtTheSamePositionAndMovesOnItsOwn) {
  ComInit com;
  LONG before = common::Module::Count();
  {
    auto e = Make(ThreeItems());
    EXPECT_EQ(before + 1, common::Module::Count());
    Variant out;
    ASSERT_EQ(S_OK, e->Skip(1));
    ComPtr<IEnumVARIANT> c;
    ASSERT_EQ(S_OK, e->Clone(c.GetAddressOf()));
    EXPECT_EQ(before + 2, common::Module::Count());
    EXPECT_FALSE(common::SameObject(e.Get(), c.Get()));
    ASSERT_EQ(S_OK, c->Next(1, &out, nullptr));
    EXPECT_STREQ(L"two", V_BSTR(&out));
    ASSERT_EQ(S_OK, c->Next(1, out.ReleaseAndGetAddressOf(), nullptr));
    // The original did not move with its clone.
    ASSERT_EQ(S_OK, e->Next(1, out.ReleaseAndGetAddressOf(), nullptr));
    EXPECT_STREQ(L"two", V_BSTR(&out));
    e.Reset();  // the clone keeps the snapshot alive
    ASSERT_EQ(S_OK, c->Reset());
    ASSERT_EQ(S_OK, c->Next(1, out.ReleaseAndGetAddressOf(), nullptr));
    EXPECT_EQ(1, V_I4(&out));
  }
  EXPECT_EQ(before, common::Module::Count());
}

TEST(EnumVariant, AFailedCopyGivesBackWhatWasCopiedAndKeepsThePosition) {
  ComInit com;
  std::vector<Variant> items = ThreeItems();
  Variant bad;
  V_VT(&bad) = 0x7F;  // VariantCopy refuses an unknown type
  items.insert(items.begin() + 2, std::move(bad));
  auto e = Make(std::move(items));
  Variant out[4];
  ULONG fetched = 9;
  HRESULT hr = e->Next(4, out, &fetched);
  EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
  EXPECT_EQ(0u, fetched);
  EXPECT_EQ(VT_EMPTY, out[0].Type());
  EXPECT_EQ(VT_EMPTY, out[1].Type());
  ASSERT_EQ(S_OK, e->Next(2, out, &fetched));  // the good ones are still there to take
  EXPECT_EQ(1, V_I4(&out[0]));
  EXPECT_STREQ(L"two", V_BSTR(&out[1]));
}

TEST(EnumVariant, EmptyAndAsIUnknown) {
  ComInit com;
  ComPtr<IUnknown> unk;
  ASSERT_EQ(S_OK, CreateEnumVariant(std::vector<Variant>{}, unk.GetAddressOf()));
  ComPtr<IEnumVARIANT> e;
  ASSERT_EQ(S_OK, unk.As(&e));
  Variant out;
  ULONG fetched = 3;
  EXPECT_EQ(S_FALSE, e->Next(1, &out, &fetched));
  EXPECT_EQ(0u, fetched);
  EXPECT_EQ(VT_EMPTY, out.Type());
  EXPECT_EQ(E_POINTER, CreateEnumVariant(std::vector<Variant>{}, static_cast<IUnknown**>(nullptr)));
}

}  // namespace
}  // namespace veltrane

// The client type adjustment (scalars and arrays) and server timestamps to local-time DATEs.
#include <gtest/gtest.h>

#include "Conversion.h"
#include "common/SafeArray.h"
#include "common/Variant.h"

#include <cmath>
#include <vector>

namespace veltrane {
namespace {

using common::Variant;

Variant Typed(VARTYPE vt, ULONGLONG bits) {
  Variant v;
  V_VT(&v) = vt;
  V_UI8(&v) = bits;  // the low bytes are the value on this little-endian platform
  return v;
}

TEST(ClientTypes, ScalarsAutomationCannotHoldAreWidened) {
  Variant ui2 = Typed(VT_UI2, 65535);
  ASSERT_EQ(S_OK, AdjustClientType(&ui2));
  EXPECT_EQ(VT_I4, ui2.Type());
  EXPECT_EQ(65535, V_I4(&ui2));

  Variant i1;
  V_VT(&i1) = VT_I1;
  V_I1(&i1) = -1;
  ASSERT_EQ(S_OK, AdjustClientType(&i1));
  EXPECT_EQ(VT_I2, i1.Type());
  EXPECT_EQ(-1, V_I2(&i1));

  Variant ui4 = Typed(VT_UI4, 4294967295u);
  ASSERT_EQ(S_OK, AdjustClientType(&ui4));
  EXPECT_EQ(VT_R8, ui4.Type());
  EXPECT_EQ(4294967295.0, V_R8(&ui4));

  Variant uint = Typed(VT_UINT, 4294967295u);
  ASSERT_EQ(S_OK, AdjustClientType(&uint));
  EXPECT_EQ(VT_R8, uint.Type());
  EXPECT_EQ(4294967295.0, V_R8(&uint));

  Variant i = Typed(VT_INT, 0);
  V_INT(&i) = -5;
  ASSERT_EQ(S_OK, AdjustClientType(&i));
  EXPECT_EQ(VT_R8, i.Type());
  EXPECT_EQ(-5.0, V_R8(&i));
}

TEST(ClientTypes, EverythingElseIsLeftAsItIs) {
  Variant ui1(static_cast<unsigned char>(200));
  Variant flag(true);
  Variant text(L"abc");
  BSTR before = V_BSTR(&text);
  Variant date = Variant::Date(45366.5);
  Variant r4(1.5f);
  Variant i8(static_cast<long long>(-7));
  Variant empty;
  for (Variant* v : {&ui1, &flag, &text, &date, &r4, &i8, &empty}) {
    VARTYPE vt = v->Type();
    EXPECT_EQ(S_OK, AdjustClientType(v));
    EXPECT_EQ(vt, v->Type());
  }
  EXPECT_EQ(200, V_UI1(&ui1));
  EXPECT_EQ(before, V_BSTR(&text));

  // A reference is not followed or changed, even to a type that would be widened.
  USHORT target = 65535;
  VARIANT ref;
  V_VT(&ref) = VT_UI2 | VT_BYREF;
  V_UI2REF(&ref) = &target;
  EXPECT_EQ(S_OK, AdjustClientType(&ref));
  EXPECT_EQ(VT_UI2 | VT_BYREF, V_VT(&ref));
  EXPECT_EQ(&target, V_UI2REF(&ref));

  // An array of a type automation holds keeps its very array.
  common::SafeArray a;
  ASSERT_EQ(S_OK, a.Create(VT_I4, 2, 0));
  Variant arr = a.ToVariant();
  SAFEARRAY* same = V_ARRAY(&arr);
  EXPECT_EQ(S_OK, AdjustClientType(&arr));
  EXPECT_EQ(VT_ARRAY | VT_I4, arr.Type());
  EXPECT_EQ(same, V_ARRAY(&arr));
  EXPECT_EQ(E_POINTER, AdjustClientType(nullptr));
}

// An array of `vt` elements (`size` bytes each, from `values`) with the given lower bound.
template <class T>
Variant ArrayOf(VARTYPE vt, LONG lower, std::vector<T> values) {
  common::SafeArray a;
  EXPECT_EQ(S_OK, a.Create(vt, static_cast<ULONG>(values.size()), lower));
  for (size_t i = 0; i < values.size(); ++i) {
    LONG index = lower + static_cast<LONG>(i);
    EXPECT_EQ(S_OK, SafeArrayPutElement(a.Get(), &index, &values[i]));
  }
  return a.ToVariant();
}

template <class T>
std::vector<T> Elements(const Variant& v, LONG* lower) {
  SAFEARRAY* sa = V_ARRAY(&v);
  EXPECT_EQ(1u, SafeArrayGetDim(sa));
  LONG upper = 0;
  SafeArrayGetLBound(sa, 1, lower);
  SafeArrayGetUBound(sa, 1, &upper);
  std::vector<T> out;
  for (LONG i = *lower; i <= upper; ++i) {
    T x{};
    EXPECT_EQ(S_OK, SafeArrayGetElement(sa, &i, &x));
    out.push_back(x);
  }
  return out;
}

TEST(ClientTypes, ArraysAreRebuiltElementByElementKeepingTheirBounds) {
  LONG lower = 0;
  Variant ui2 = ArrayOf<USHORT>(VT_UI2, 0, {0, 65535, 7});
  ASSERT_EQ(S_OK, AdjustClientType(&ui2));
  EXPECT_EQ(VT_ARRAY | VT_I4, ui2.Type());
  EXPECT_EQ((std::vector<LONG>{0, 65535, 7}), Elements<LONG>(ui2, &lower));
  EXPECT_EQ(0, lower);

  Variant i1 = ArrayOf<CHAR>(VT_I1, 5, {-1, 127, -128});
  ASSERT_EQ(S_OK, AdjustClientType(&i1));
  EXPECT_EQ(VT_ARRAY | VT_I2, i1.Type());
  EXPECT_EQ((std::vector<SHORT>{-1, 127, -128}), Elements<SHORT>(i1, &lower));
  EXPECT_EQ(5, lower);

  Variant ui4 = ArrayOf<ULONG>(VT_UI4, 1, {4294967295u, 1});
  ASSERT_EQ(S_OK, AdjustClientType(&ui4));
  EXPECT_EQ(VT_ARRAY | VT_R8, ui4.Type());
  EXPECT_EQ((std::vector<double>{4294967295.0, 1.0}), Elements<double>(ui4, &lower));
  EXPECT_EQ(1, lower);

  Variant uint = ArrayOf<UINT>(VT_UINT, -2, {4000000000u});
  ASSERT_EQ(S_OK, AdjustClientType(&uint));
  EXPECT_EQ(VT_ARRAY | VT_R8, uint.Type());
  EXPECT_EQ((std::vector<double>{4000000000.0}), Elements<double>(uint, &lower));
  EXPECT_EQ(-2, lower);

  Variant ints = ArrayOf<INT>(VT_INT, 0, {-5, 2147483647});
  ASSERT_EQ(S_OK, AdjustClientType(&ints));
  EXPECT_EQ(VT_ARRAY | VT_R8, ints.Type());
  EXPECT_EQ((std::vector<double>{-5.0, 2147483647.0}), Elements<double>(ints, &lower));

  Variant none = ArrayOf<USHORT>(VT_UI2, 3, {});
  ASSERT_EQ(S_OK, AdjustClientType(&none));
  EXPECT_EQ(VT_ARRAY | VT_I4, none.Type());
  EXPECT_TRUE(Elements<LONG>(none, &lower).empty());
  EXPECT_EQ(3, lower);
}

TEST(ClientTypes, AnArrayThatCannotBeReplacedStaysAsItWas) {
  // The owner still has it locked: the old array cannot be freed, so nothing changes.
  Variant locked = ArrayOf<USHORT>(VT_UI2, 0, {1, 2});
  SAFEARRAY* old = V_ARRAY(&locked);
  ASSERT_EQ(S_OK, SafeArrayLock(old));
  EXPECT_TRUE(FAILED(AdjustClientType(&locked)));
  EXPECT_EQ(VT_ARRAY | VT_UI2, locked.Type());
  EXPECT_EQ(old, V_ARRAY(&locked));
  SafeArrayUnlock(old);

  // The VARIANT says 16-bit elements but the array holds 32-bit ones: not read past.
  Variant mislabelled = ArrayOf<LONG>(VT_I4, 0, {1, 2});
  V_VT(&mislabelled) = VT_ARRAY | VT_UI2;
  old = V_ARRAY(&mislabelled);
  EXPECT_EQ(DISP_E_BADVARTYPE, AdjustClientType(&mislabelled));
  EXPECT_EQ(old, V_ARRAY(&mislabelled));
  V_VT(&mislabelled) = VT_ARRAY | VT_I4;  // let it be freed as what it is
}

TEST(ClientTypes, AdjustedCopyLeavesTheSourceAlone) {
  Variant src = ArrayOf<USHORT>(VT_UI2, 1, {65535});
  Variant copy;
  ASSERT_EQ(S_OK, AdjustedCopy(src, copy.ReleaseAndGetAddressOf()));
  EXPECT_EQ(VT_ARRAY | VT_UI2, src.Type());
  EXPECT_EQ(VT_ARRAY | VT_I4, copy.Type());
  LONG lower = 0;
  EXPECT_EQ((std::vector<LONG>{65535}), Elements<LONG>(copy, &lower));
}

FILETIME Utc(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s, WORD ms) {
  SYSTEMTIME st = {};
  st.wYear = y;
  st.wMonth = mo;
  st.wDay = d;
  st.wHour = h;
  st.wMinute = mi;
  st.wSecond = s;
  st.wMilliseconds = ms;
  FILETIME ft = {};
  EXPECT_TRUE(SystemTimeToFileTime(&st, &ft));
  return ft;
}

// What the platform makes of the same instant in local time, to the second, and its milliseconds.
void PlatformLocal(const FILETIME& utc, DATE* wholeSeconds, WORD* ms) {
  FILETIME local;
  SYSTEMTIME st;
  ASSERT_TRUE(FileTimeToLocalFileTime(&utc, &local));
  ASSERT_TRUE(FileTimeToSystemTime(&local, &st));
  *ms = st.wMilliseconds;
  st.wMilliseconds = 0;
  ASSERT_TRUE(SystemTimeToVariantTime(&st, wholeSeconds));
}

TEST(Timestamps, MillisecondsSurviveTheLocalTimeDate) {
  for (WORD ms : {WORD{250}, WORD{0}, WORD{1}, WORD{999}}) {
    FILETIME utc = Utc(2024, 3, 15, 12, 0, 0, ms);
    DATE date = 0, whole = 0;
    WORD localMs = 0;
    ASSERT_EQ(S_OK, FileTimeToLocalDate(utc, &date));
    PlatformLocal(utc, &whole, &localMs);
    EXPECT_EQ(ms, localMs);
    // Same local second as the platform's conversion, plus exactly the milliseconds.
    EXPECT_NEAR(ms, (date - whole) * 86400000.0, 0.01) << ms;
    EXPECT_EQ(std::floor(whole), std::floor(date));
  }
}

TEST(Timestamps, EarlyDatesAndImpossibleTimes) {
  // Before 1899-12-30 the DATE is negative; the milliseconds must still make it later.
  FILETIME early = Utc(1850, 6, 1, 12, 0, 0, 500);
  DATE date = 0, whole = 0;
  WORD ms = 0;
  ASSERT_EQ(S_OK, FileTimeToLocalDate(early, &date));
  PlatformLocal(early, &whole, &ms);
  ASSERT_LT(whole, 0.0);
  EXPECT_NEAR(500.0, (whole - date) * 86400000.0, 0.01);

  FILETIME impossible = {0xFFFFFFFF, 0xFFFFFFFF};
  date = 123;
  EXPECT_EQ(E_FAIL, FileTimeToLocalDate(impossible, &date));
  EXPECT_EQ(123, date);
  EXPECT_EQ(E_POINTER, FileTimeToLocalDate(early, nullptr));
}

}  // namespace
}  // namespace veltrane

// The automation argument rules (optional arguments, Source, Node, 1-based input arrays) and the
// arrays handed back to callers, in this process.
#include <gtest/gtest.h>

#include "Arguments.h"
#include "common/SafeArray.h"
#include "common/Strings.h"

#include <string>
#include <vector>

namespace veltrane {
namespace {

using common::Variant;

struct ComInit {
  ComInit() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
  ~ComInit() { CoUninitialize(); }
};

// A one-dimensional array of `vt` with the given lower bound and count.
common::SafeArray MakeSa(VARTYPE vt, ULONG count, LONG lower) {
  common::SafeArray a;
  EXPECT_EQ(S_OK, a.Create(vt, count, lower));
  return a;
}

common::SafeArray Longs(std::vector<LONG> values, LONG lower = 1) {
  auto a = MakeSa(VT_I4, static_cast<ULONG>(values.size()), lower);
  for (size_t i = 0; i < values.size(); ++i) EXPECT_EQ(S_OK, a.Put(lower + static_cast<LONG>(i), values[i]));
  return a;
}

void ExpectOneBased(SAFEARRAY* sa, VARTYPE vt, LONG count) {
  ASSERT_NE(nullptr, sa);
  EXPECT_EQ(1u, SafeArrayGetDim(sa));
  LONG lower = -1, upper = -1;
  EXPECT_EQ(S_OK, SafeArrayGetLBound(sa, 1, &lower));
  EXPECT_EQ(S_OK, SafeArrayGetUBound(sa, 1, &upper));
  EXPECT_EQ(1, lower);
  EXPECT_EQ(count, upper);
  VARTYPE got = VT_EMPTY;
  EXPECT_EQ(S_OK, SafeArrayGetVartype(sa, &got));
  EXPECT_EQ(vt, got);
}

TEST(OptionalArguments, OnlyParamNotFoundIsMissingAndSourceIsCacheOrDevice) {
  EXPECT_TRUE(IsMissing(Variant::Missing()));
  EXPECT_FALSE(IsMissing(Variant::Error(E_FAIL)));
  EXPECT_FALSE(IsMissing(Variant()));
  EXPECT_FALSE(IsMissing(Variant::Null()));
  EXPECT_FALSE(IsMissing(Variant(static_cast<int>(DISP_E_PARAMNOTFOUND))));  // the code as a number
  EXPECT_EQ(S_OK, CheckSource(1));
  EXPECT_EQ(S_OK, CheckSource(2));
  for (SHORT bad : {SHORT{0}, SHORT{3}, SHORT{-1}, SHORT{-32768}}) EXPECT_EQ(E_INVALIDARG, CheckSource(bad)) << bad;
}

TEST(NodeArgument, MissingOrNullStringMeansNoNodeAndOtherTypesAreRefused) {
  ComInit com;
  std::optional<std::string> node = "stale";
  EXPECT_EQ(S_OK, ReadNode(Variant::Missing(), &node));
  EXPECT_FALSE(node.has_value());

  Variant nullString;
  V_VT(&nullString) = VT_BSTR;
  V_BSTR(&nullString) = nullptr;
  node = "stale";
  EXPECT_EQ(S_OK, ReadNode(nullString, &node));
  EXPECT_FALSE(node.has_value());

  EXPECT_EQ(S_OK, ReadNode(Variant(L"PLANT-07"), &node));
  EXPECT_EQ("PLANT-07", node.value());
  EXPECT_EQ(S_OK, ReadNode(Variant(L""), &node));
  EXPECT_EQ("", node.value());

  // Not strings: refused, the output left alone.
  node = "kept";
  for (const Variant& bad : {Variant(), Variant::Null(), Variant(5), Variant::Error(E_FAIL), Variant(true)})
    EXPECT_EQ(E_INVALIDARG, ReadNode(bad, &node)) << V_VT(&bad);
  EXPECT_EQ("kept", node.value());
  EXPECT_EQ(E_POINTER, ReadNode(Variant(L"x"), nullptr));
}

TEST(NodeArgument, ConvertedToTheAnsiCodePage) {
  ComInit com;
  const wchar_t wide[] = L"K\x00FC" L"che";
  std::optional<std::string> node;
  ASSERT_EQ(S_OK, ReadNode(Variant(wide), &node));
  EXPECT_EQ(common::WideToAnsi(wide), node.value());
  EXPECT_EQ(5u, node->size());  // one byte per character in a single-byte code page
}

TEST(NodeArgument, ScriptHostReferencesAreFollowed) {
  ComInit com;
  std::optional<std::string> node;
  // VT_BSTR | VT_BYREF, as a host passes a string variable.
  BSTR s = SysAllocString(L"remotepc");
  VARIANT ref;
  V_VT(&ref) = VT_BSTR | VT_BYREF;
  V_BSTRREF(&ref) = &s;
  EXPECT_EQ(S_OK, ReadNode(ref, &node));
  EXPECT_EQ("remotepc", node.value());
  BSTR none = nullptr;
  V_BSTRREF(&ref) = &none;
  EXPECT_EQ(S_OK, ReadNode(ref, &node));
  EXPECT_FALSE(node.has_value());
  V_BSTRREF(&ref) = nullptr;
  EXPECT_EQ(E_INVALIDARG, ReadNode(ref, &node));

  // VT_VARIANT | VT_BYREF, as VBScript passes any variable: the rules apply to its target.
  Variant target(L"\\\\host");
  VARIANT vref;
  V_VT(&vref) = VT_VARIANT | VT_BYREF;
  V_VARIANTREF(&vref) = &target;
  EXPECT_EQ(S_OK, ReadNode(vref, &node));
  EXPECT_EQ("\\\\host", node.value());
  Variant missing = Variant::Missing();
  V_VARIANTREF(&vref) = &missing;
  EXPECT_EQ(S_OK, ReadNode(vref, &node));
  EXPECT_FALSE(node.has_value());
  Variant number(3);
  V_VARIANTREF(&vref) = &number;
  EXPECT_EQ(E_INVALIDARG, ReadNode(vref, &node));
  SysFreeString(s);
}

TEST(InputArrays, MustStartAtOneAndHoldTheCount) {
  ComInit com;
  std::vector<LONG> out{99};
  // Lower bound 0 is refused even though the array holds more than enough.
  auto zeroBased = Longs({10, 20, 30, 40}, 0);
  EXPECT_EQ(E_INVALIDARG, ReadLongArray(zeroBased.Get(), 2, &out));
  EXPECT_TRUE(out.empty());
  auto twoBased = Longs({10, 20, 30}, 2);
  EXPECT_EQ(E_INVALIDARG, ReadLongArray(twoBased.Get(), 1, &out));
  auto shortOne = Longs({10, 20});
  EXPECT_EQ(E_INVALIDARG, ReadLongArray(shortOne.Get(), 3, &out));
  EXPECT_EQ(E_INVALIDARG, ReadLongArray(nullptr, 1, &out));
  EXPECT_EQ(E_INVALIDARG, ReadLongArray(shortOne.Get(), -1, &out));
  EXPECT_EQ(E_INVALIDARG, CheckInputArray(nullptr, 0));

  // Exactly long enough, longer than needed, and a count of 0.
  ASSERT_EQ(S_OK, ReadLongArray(shortOne.Get(), 2, &out));
  EXPECT_EQ((std::vector<LONG>{10, 20}), out);
  ASSERT_EQ(S_OK, ReadLongArray(shortOne.Get(), 1, &out));
  EXPECT_EQ((std::vector<LONG>{10}), out);
  ASSERT_EQ(S_OK, ReadLongArray(shortOne.Get(), 0, &out));
  EXPECT_TRUE(out.empty());
  auto empty = MakeSa(VT_I4, 0, 1);
  EXPECT_EQ(S_OK, ReadLongArray(empty.Get(), 0, &out));
  EXPECT_EQ(E_INVALIDARG, ReadLongArray(empty.Get(), 1, &out));
}

TEST(InputArrays, TwoDimensionsAreRefusedBeforeAnyElementIsRead) {
  ComInit com;
  SAFEARRAYBOUND b[2] = {{3, 1}, {3, 1}};
  SAFEARRAY* sa = SafeArrayCreate(VT_I4, 2, b);
  ASSERT_NE(nullptr, sa);
  std::vector<LONG> out;
  EXPECT_EQ(E_INVALIDARG, ReadLongArray(sa, 2, &out));
  SafeArrayDestroy(sa);
}

TEST(InputArrays, VariantArraysOfScriptHostsAndOtherElementTypesAreConverted) {
  ComInit com;
  auto a = MakeSa(VT_VARIANT, 3, 1);
  ASSERT_EQ(S_OK, a.PutVariant(1, Variant(short{5})));
  ASSERT_EQ(S_OK, a.PutVariant(2, Variant(L"7")));
  ASSERT_EQ(S_OK, a.PutVariant(3, Variant(2.0)));
  std::vector<LONG> longs;
  ASSERT_EQ(S_OK, ReadLongArray(a.Get(), 3, &longs));
  EXPECT_EQ((std::vector<LONG>{5, 7, 2}), longs);
  std::vector<SHORT> shorts;
  ASSERT_EQ(S_OK, ReadShortArray(a.Get(), 3, &shorts));
  EXPECT_EQ((std::vector<SHORT>{5, 7, 2}), shorts);
  std::vector<common::Bstr> strings;
  ASSERT_EQ(S_OK, ReadBstrArray(a.Get(), 2, &strings));
  EXPECT_EQ(common::WString(L"5"), strings[0].ToWide());
  EXPECT_EQ(common::WString(L"7"), strings[1].ToWide());

  // An entry that does not convert ends the read with the conversion's error.
  ASSERT_EQ(S_OK, a.PutVariant(2, Variant(L"seven")));
  EXPECT_EQ(DISP_E_TYPEMISMATCH, ReadLongArray(a.Get(), 3, &longs));
  EXPECT_TRUE(longs.empty());
  ASSERT_EQ(S_OK, ReadLongArray(a.Get(), 1, &longs));  // entries past the count are not read

  // A SHORT array where LONGs are wanted, and VARTYPEs read from VT_I2.
  auto types = MakeSa(VT_I2, 2, 1);
  SHORT r8 = VT_R8, bstr = VT_BSTR;
  ASSERT_EQ(S_OK, types.Put(1, r8));
  ASSERT_EQ(S_OK, types.Put(2, bstr));
  ASSERT_EQ(S_OK, ReadLongArray(types.Get(), 2, &longs));
  EXPECT_EQ((std::vector<LONG>{VT_R8, VT_BSTR}), longs);
  std::vector<VARTYPE> vts;
  ASSERT_EQ(S_OK, ReadVarTypeArray(types.Get(), 2, &vts));
  EXPECT_EQ((std::vector<VARTYPE>{VT_R8, VT_BSTR}), vts);

  // Out of range for the requested type.
  auto big = Longs({70000});
  EXPECT_EQ(DISP_E_OVERFLOW, ReadShortArray(big.Get(), 1, &shorts));
}

TEST(InputArrays, StringsKeepEmbeddedNulsAndNullsAndVariantsAreCopies) {
  ComInit com;
  auto a = MakeSa(VT_BSTR, 2, 1);
  BSTR withNul = SysAllocStringLen(L"a\0b", 3);
  ASSERT_EQ(S_OK, a.Put(1, withNul));  // element 2 stays a null BSTR
  SysFreeString(withNul);
  std::vector<common::Bstr> strings;
  ASSERT_EQ(S_OK, ReadBstrArray(a.Get(), 2, &strings));
  ASSERT_EQ(2u, strings.size());
  EXPECT_EQ(3u, strings[0].Length());
  EXPECT_EQ(nullptr, strings[1].Get());
  EXPECT_STREQ(L"", NonNull(strings[1].Get()));

  auto v = MakeSa(VT_VARIANT, 2, 1);
  ASSERT_EQ(S_OK, v.PutVariant(1, Variant(L"first")));
  ASSERT_EQ(S_OK, v.PutVariant(2, Variant(42)));
  std::vector<Variant> values;
  ASSERT_EQ(S_OK, ReadVariantArray(v.Get(), 2, &values));
  v.Reset();  // the copies outlive the caller's array
  ASSERT_EQ(VT_BSTR, values[0].Type());
  EXPECT_STREQ(L"first", V_BSTR(&values[0]));
  EXPECT_EQ(42, V_I4(&values[1]));
  // A typed array read as VARIANTs keeps its element type.
  auto l = Longs({-3});
  ASSERT_EQ(S_OK, ReadVariantArray(l.Get(), 1, &values));
  EXPECT_EQ(VT_I4, values[0].Type());
  EXPECT_EQ(-3, V_I4(&values[0]));
}

TEST(OutputArrays, OneBasedOfEachTypeWithCopiedContents) {
  ComInit com;
  SAFEARRAY* sa = nullptr;
  const LONG longs[] = {7, -1, 2147483647};
  ASSERT_EQ(S_OK, MakeLongArray(longs, &sa));
  ExpectOneBased(sa, VT_I4, 3);
  LONG index = 3, got = 0;
  SafeArrayGetElement(sa, &index, &got);
  EXPECT_EQ(2147483647, got);
  SafeArrayDestroy(sa);

  const SHORT shorts[] = {192, 0};
  ASSERT_EQ(S_OK, MakeShortArray(shorts, &sa));
  ExpectOneBased(sa, VT_I2, 2);
  SafeArrayDestroy(sa);

  const DATE dates[] = {45366.5};
  ASSERT_EQ(S_OK, MakeDateArray(dates, &sa));
  ExpectOneBased(sa, VT_DATE, 1);
  SafeArrayDestroy(sa);

  ASSERT_EQ(S_OK, MakeLongArray({}, &sa));  // empty: bounds 1..0
  ExpectOneBased(sa, VT_I4, 0);
  SafeArrayDestroy(sa);

  BSTR src[2] = {SysAllocStringLen(L"x\0y", 3), nullptr};
  ASSERT_EQ(S_OK, MakeBstrArray(src, &sa));
  ExpectOneBased(sa, VT_BSTR, 2);
  BSTR b = nullptr;
  index = 1;
  SafeArrayGetElement(sa, &index, &b);
  EXPECT_NE(src[0], b);  // a copy
  EXPECT_EQ(3u, SysStringLen(b));
  SysFreeString(b);
  index = 2;
  SafeArrayGetElement(sa, &index, &b);
  EXPECT_EQ(nullptr, b);
  SysFreeString(src[0]);
  SafeArrayDestroy(sa);

  const LPCWSTR wide[] = {L"Sim.OPCDA.2", nullptr};
  ASSERT_EQ(S_OK, MakeStringArray(wide, &sa));
  ExpectOneBased(sa, VT_BSTR, 2);
  index = 1;
  SafeArrayGetElement(sa, &index, &b);
  EXPECT_STREQ(L"Sim.OPCDA.2", b);
  SysFreeString(b);
  VARIANT wrapped;
  ArrayToVariant(sa, VT_BSTR, &wrapped);
  EXPECT_EQ(VT_ARRAY | VT_BSTR, V_VT(&wrapped));
  EXPECT_EQ(sa, V_ARRAY(&wrapped));
  VariantClear(&wrapped);  // frees the array

  std::vector<Variant> values{Variant(L"text"), Variant(3.5)};
  ASSERT_EQ(S_OK, MakeVariantArray(values, &sa));
  ExpectOneBased(sa, VT_VARIANT, 2);
  Variant first;
  index = 1;
  SafeArrayGetElement(sa, &index, static_cast<VARIANT*>(&first));
  EXPECT_NE(V_BSTR(&values[0]), V_BSTR(&first));
  EXPECT_STREQ(L"text", V_BSTR(&first));
  SafeArrayDestroy(sa);
}

TEST(OutputArrays, AnElementThatCannotBeStoredFailsTheWholeArray) {
  ComInit com;
  std::vector<Variant> values(3);
  values[0] = Variant(1);
  V_VT(&values[1]) = 0x7F;  // no such type: VariantCopy refuses it
  SAFEARRAY* sa = reinterpret_cast<SAFEARRAY*>(1);
  EXPECT_EQ(E_FAIL, MakeVariantArray(values, &sa));
  EXPECT_EQ(nullptr, sa);
  V_VT(&values[1]) = VT_EMPTY;
  EXPECT_EQ(E_POINTER, MakeLongArray({}, nullptr));
}

TEST(ServerStrings, CopiedAndFreedWithTheTaskAllocator) {
  ComInit com;
  auto s = static_cast<LPWSTR>(CoTaskMemAlloc(6 * sizeof(wchar_t)));
  wcscpy(s, L"Hello");
  BSTR b = reinterpret_cast<BSTR>(1);
  ASSERT_EQ(S_OK, TakeServerString(s, &b));
  EXPECT_STREQ(L"Hello", b);
  SysFreeString(b);
  ASSERT_EQ(S_OK, TakeServerString(nullptr, &b));
  EXPECT_EQ(nullptr, b);
}

}  // namespace
}  // namespace veltrane

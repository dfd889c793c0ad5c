// RAII types and text helpers of the kit.
#include <gtest/gtest.h>

#include "common/Kit.h"

using namespace common;

namespace {

TEST(Strings, Utf8RoundTripKeepsNonAsciiAndEmbeddedNul) {
  const std::string utf8("Gr\xC3\xBC\xC3\x9F" "e\0\xE2\x82\xAC", 11);  // Grüße\0€
  WString w = Utf8ToWide(utf8);
  ASSERT_EQ(w.size(), 7u);
  EXPECT_EQ(w[2], WChar(0xFC));
  EXPECT_EQ(w[5], WChar(0));
  EXPECT_EQ(w[6], WChar(0x20AC));
  EXPECT_EQ(WideToUtf8(w), utf8);
  EXPECT_TRUE(Utf8ToWide("").empty());
  // Invalid UTF-8 never throws and never reads past the input.
  WString bad = Utf8ToWide(std::string("\xC3", 1));
  EXPECT_LE(bad.size(), 1u);
}

TEST(Strings, HResultTextAndGuid) {
  EXPECT_EQ(HResultHex(E_FAIL), "0x80004005");
  EXPECT_EQ(HResultToString(E_NOINTERFACE).rfind("0x80004002", 0), 0u);
  EXPECT_EQ(GuidToString(IID_IUnknown), FromOle(L"{00000000-0000-0000-C000-000000000046}"));
}

TEST(Bstr, OwnsCopiesAndCountsEmbeddedNuls) {
  const OLECHAR raw[] = {'a', 0, 'b', 0};
  Bstr b(raw, 3);
  EXPECT_EQ(b.Length(), 3u);
  EXPECT_EQ(SysStringLen(b.Get()), 3u);
  Bstr copy = b;
  EXPECT_NE(copy.Get(), b.Get());
  EXPECT_EQ(copy, b);
  EXPECT_EQ(copy.ToWide().size(), 3u);

  Bstr u = Bstr::FromUtf8("\xC3\xA9t\xC3\xA9");
  EXPECT_EQ(u.Length(), 3u);
  EXPECT_EQ(u.ToUtf8(), "\xC3\xA9t\xC3\xA9");

  BSTR out = nullptr;
  ASSERT_EQ(b.CopyTo(&out), S_OK);
  EXPECT_EQ(SysStringLen(out), 3u);
  Bstr adopted = Bstr::Adopt(out);  // freed by its destructor
  EXPECT_EQ(adopted, b);

  BSTR detached = b.Detach();
  EXPECT_TRUE(b.IsNull());
  EXPECT_EQ(b.Length(), 0u);
  b.Attach(detached);
  EXPECT_EQ(b.Length(), 3u);

  Bstr null;
  EXPECT_TRUE(null.Empty());
  EXPECT_EQ(null.c_str()[0], 0);
  EXPECT_EQ(null.CopyTo(&out), S_OK);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(null.CopyTo(nullptr), E_POINTER);
}

TEST(Variant, HoldsCommonTypesAndConverts) {
  Variant i(42);
  EXPECT_EQ(i.Type(), VT_I4);
  Variant s(L"17");
  EXPECT_EQ(s.Type(), VT_BSTR);
  LONG n = 0;
  EXPECT_EQ(s.ToInt32(&n), S_OK);
  EXPECT_EQ(n, 17);
  EXPECT_EQ(Variant(true).Type(), VT_BOOL);
  EXPECT_EQ(V_BOOL(&Variant(true).Ptr()[0]), VARIANT_TRUE);
  EXPECT_EQ(Variant(2.5).Type(), VT_R8);
  EXPECT_EQ(Variant(static_cast<long long>(1) << 40).Type(), VT_I8);
  EXPECT_TRUE(Variant::Missing().IsMissing());
  EXPECT_EQ(Variant::Null().Type(), VT_NULL);

  // A failed conversion leaves the value as it was.
  Variant text(L"not a number");
  EXPECT_EQ(text.ToInt32(&n), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(n, 17);
  EXPECT_EQ(text.ChangeType(VT_I4), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(text.Type(), VT_BSTR);
  EXPECT_EQ(Variant(3.75).ChangeType(VT_I4), S_OK);

  WString str;
  ASSERT_EQ(Variant(12).ToString(&str), S_OK);
  EXPECT_EQ(str, FromOle(L"12"));
}

TEST(Variant, CopyMoveAttachDetachOwnTheirContents) {
  Variant a(L"hello");
  Variant b = a;  // deep copy
  EXPECT_NE(V_BSTR(&a), V_BSTR(&b));
  Variant c = std::move(a);
  EXPECT_TRUE(a.IsEmpty());
  EXPECT_EQ(SysStringLen(V_BSTR(&c)), 5u);

  VARIANT raw;
  c.Detach(&raw);
  EXPECT_TRUE(c.IsEmpty());
  EXPECT_EQ(V_VT(&raw), VT_BSTR);
  Variant back = Variant::Take(raw);
  EXPECT_EQ(V_VT(&raw), VT_EMPTY);
  EXPECT_EQ(back.Type(), VT_BSTR);

  VARIANT out;
  ASSERT_EQ(back.CopyTo(&out), S_OK);
  EXPECT_NE(V_BSTR(&out), V_BSTR(&back));
  VariantClear(&out);

  // Arrays of Variant stand in for VARIANT arrays.
  Variant arr[2] = {Variant(1), Variant(2)};
  VARIANT* p = arr;
  EXPECT_EQ(V_I4(&p[1]), 2);
}

TEST(SafeArray, OneDimensionalWithLowerBoundOneAndCheckedAccess) {
  SafeArray a;
  ASSERT_EQ(a.Create(VT_I4, 3), S_OK);
  EXPECT_EQ(a.LowerBound(), 1);
  EXPECT_EQ(a.UpperBound(), 3);
  EXPECT_EQ(a.Count(), 3u);
  EXPECT_EQ(a.ElementType(), VT_I4);
  {
    SafeArrayAccess<LONG> d(a);
    d.at(1) = 10;
    d.at(3) = 30;
    EXPECT_THROW(d.at(0), std::out_of_range);
    EXPECT_THROW(d.at(4), std::out_of_range);
    EXPECT_EQ(d[0], 10);
    // Locked: it cannot be destroyed under us.
    EXPECT_EQ(SafeArrayDestroy(a.Get()), DISP_E_ARRAYISLOCKED);
  }
  LONG v = 0;
  EXPECT_EQ(a.GetElement(3, &v), S_OK);
  EXPECT_EQ(v, 30);
  EXPECT_EQ(a.GetElement(4, &v), DISP_E_BADINDEX);
  EXPECT_EQ(a.Put(0, LONG(5)), DISP_E_BADINDEX);
  EXPECT_THROW(SafeArrayAccess<double> wrong(a), ComError);  // element size mismatch

  SafeArray strings;
  ASSERT_EQ(strings.Create(VT_BSTR, 2, 0), S_OK);
  Bstr x(FromOle(L"x"));
  EXPECT_EQ(strings.Put(1, x.Get()), S_OK);  // the array keeps its own copy
  BSTR got = nullptr;
  EXPECT_EQ(strings.GetElement(1, &got), S_OK);
  EXPECT_EQ(Bstr::Adopt(got), x);

  SafeArray variants;
  ASSERT_EQ(variants.Create(VT_VARIANT, 1), S_OK);
  EXPECT_EQ(variants.PutVariant(1, Variant(L"v")), S_OK);
  Variant gv;
  EXPECT_EQ(variants.GetVariant(1, &gv), S_OK);
  EXPECT_EQ(gv.Type(), VT_BSTR);

  Variant wrapped = a.ToVariant();
  EXPECT_FALSE(a);
  EXPECT_EQ(wrapped.Type(), VT_ARRAY | VT_I4);

  SafeArray empty;
  EXPECT_EQ(empty.Count(), 0u);
  EXPECT_EQ(empty.GetElement(1, &v), E_POINTER);
  EXPECT_THROW(SafeArrayAccess<LONG> none(empty), ComError);
}

TEST(Handles, HandleTreatsNullAndInvalidAsNone) {
  Handle none;
  EXPECT_FALSE(none);
  Handle invalid(INVALID_HANDLE_VALUE);
  EXPECT_FALSE(invalid.Valid());
  Handle ev(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(ev);
  HANDLE raw = ev.Get();
  Handle moved = std::move(ev);
  EXPECT_FALSE(ev);
  EXPECT_EQ(moved.Get(), raw);
  moved.Reset();
  // Closed: the handle no longer works.
  EXPECT_FALSE(SetEvent(raw));
}

TEST(Handles, RegKeyWritesReadsAndDeletesTrees) {
  const OLECHAR* path = L"Software\\Tessarel\\KitRegKeyTest";
  ASSERT_EQ(RegKey::DeleteTree(HKEY_CURRENT_USER, path), ERROR_SUCCESS);
  {
    RegKey k;
    ASSERT_EQ(k.Create(HKEY_CURRENT_USER, L"Software\\Tessarel\\KitRegKeyTest\\Inner"),
              ERROR_SUCCESS);
    EXPECT_EQ(k.SetString(nullptr, L"default"), ERROR_SUCCESS);
    EXPECT_EQ(k.SetString(L"Name", FromOle(L"value")), ERROR_SUCCESS);
    EXPECT_EQ(k.SetDword(L"Number", 7), ERROR_SUCCESS);
    EXPECT_EQ(k.GetString(nullptr).value_or(WString()), FromOle(L"default"));
    EXPECT_EQ(k.GetString(L"Name").value_or(WString()), FromOle(L"value"));
    EXPECT_EQ(k.GetDword(L"Number").value_or(0), 7u);
    EXPECT_FALSE(k.GetString(L"Number"));  // wrong type
    EXPECT_FALSE(k.GetString(L"Absent"));
  }
  RegKey parent;
  ASSERT_EQ(parent.Open(HKEY_CURRENT_USER, path), ERROR_SUCCESS);
  EXPECT_EQ(parent.SubKeyNames(), std::vector<WString>{FromOle(L"Inner")});
  parent.Reset();
  EXPECT_EQ(RegKey::DeleteTree(HKEY_CURRENT_USER, path), ERROR_SUCCESS);
  EXPECT_FALSE(RegKey::Exists(HKEY_CURRENT_USER, path));
  EXPECT_EQ(RegKey::DeleteTree(HKEY_CURRENT_USER, path), ERROR_SUCCESS);  // already gone
  // A predefined root held by a RegKey is never closed.
  { RegKey root(HKEY_CURRENT_USER); }
  EXPECT_TRUE(RegKey::Exists(HKEY_CURRENT_USER, L"Software"));
}

TEST(Handles, GlobalMemLocksAndFrees) {
  GlobalMem m;
  ASSERT_TRUE(m.Allocate(16));
  EXPECT_GE(m.Size(), 16u);
  {
    GlobalMem::Lock l(m);
    ASSERT_TRUE(l);
    std::memcpy(l.data(), "abc", 4);
  }
  {
    GlobalMem::Lock l(m);
    EXPECT_STREQ(l.as<char>(), "abc");
  }
  HGLOBAL h = m.Detach();
  EXPECT_FALSE(m);
  GlobalMem again(h);  // frees it
  GlobalMem::Lock none(static_cast<HGLOBAL>(nullptr));
  EXPECT_FALSE(none);
  EXPECT_EQ(none.size(), 0u);
}

TEST(Errors, ExceptionsBecomeHResults) {
  EXPECT_EQ(GuardHResult([] { throw std::bad_alloc(); }), E_OUTOFMEMORY);
  EXPECT_EQ(GuardHResult([] { throw std::runtime_error("x"); }), E_FAIL);
  EXPECT_EQ(GuardHResult([] { throw std::invalid_argument("x"); }), E_INVALIDARG);
  EXPECT_EQ(GuardHResult([] { throw ComError(E_ACCESSDENIED); }), E_ACCESSDENIED);
  EXPECT_EQ(GuardHResult([] { throw ComError(S_FALSE); }), E_FAIL);  // never a success code
  EXPECT_EQ(GuardHResult([] { throw 42; }), E_FAIL);
  EXPECT_EQ(GuardHResult([] {}), S_OK);
  EXPECT_EQ(GuardHResult([] { return S_FALSE; }), S_FALSE);
  EXPECT_THROW(ThrowIfFailed(E_POINTER), ComError);
  EXPECT_EQ(ThrowIfFailed(S_FALSE), S_FALSE);
}

}  // namespace

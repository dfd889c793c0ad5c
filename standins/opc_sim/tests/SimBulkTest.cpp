// SimServer's bulk items in this process: names, values tied to the step and the item's number,
// the step counter, and holding the values still through Bulk.Running as a client writes it.
#include <gtest/gtest.h>

#include <windows.h>

#include "SimBulk.h"
#include "SimServer.h"

#include <string>

using namespace opc_sim;

namespace {

double ValueOf(opc_toolkit::IServedTags& tags, const std::wstring& id, short* quality = nullptr) {
  opc_toolkit::IServedTag* tag = tags.Item(id.c_str());
  if (!tag) return -1;
  VARIANT v;
  VariantInit(&v);
  short q = 0;
  DATE stamp = 0;
  double out = -1;
  if (SUCCEEDED(tag->Read(&v, &q, &stamp)) && SUCCEEDED(VariantChangeType(&v, &v, 0, VT_R8)))
    out = V_R8(&v);
  VariantClear(&v);
  if (quality) *quality = q;
  return out;
}

struct Com {
  Com() { CoInitialize(nullptr); }
  ~Com() { CoUninitialize(); }
};

}  // namespace

TEST(SimBulk, ItemsCarryStepTimesTheirNumberAndHoldStillWhileRunningIsFalse) {
  Com com;
  SimPersonality p(false, 1);
  ASSERT_HRESULT_SUCCEEDED(p.Populate());
  opc_toolkit::IServedTags& tags = p.Toolkit().ServedTags();
  BulkItems bulk(tags, 12345);
  ASSERT_HRESULT_SUCCEEDED(bulk.Populate());
  EXPECT_EQ(BulkItemId(7), L"Bulk.0007");
  EXPECT_EQ(BulkItemId(12345), L"Bulk.12345");
  ASSERT_NE(tags.Item(L"Bulk.0001"), nullptr);
  ASSERT_NE(tags.Item(L"Bulk.12345"), nullptr);
  EXPECT_EQ(tags.Item(L"Bulk.12346"), nullptr);
  EXPECT_EQ(tags.Item(L"Bulk.0001")->DataType(), VT_R8);
  short q = 0;
  EXPECT_EQ(ValueOf(tags, L"Bulk.0500", &q), 0);
  EXPECT_EQ(q, 192);

  EXPECT_TRUE(bulk.Step());
  EXPECT_TRUE(bulk.Step());
  EXPECT_TRUE(bulk.Step());
  EXPECT_EQ(ValueOf(tags, L"Bulk.0001"), 3);
  EXPECT_EQ(ValueOf(tags, L"Bulk.0500"), 1500);
  EXPECT_EQ(ValueOf(tags, L"Bulk.12345"), 3 * 12345.0);
  EXPECT_EQ(ValueOf(tags, L"Bulk.Steps"), 3);

  // A client holds the values (as the server's write path delivers it), then lets them go on.
  const wchar_t* name = L"Bulk.Running";
  VARIANT off;
  VariantInit(&off);
  V_VT(&off) = VT_BOOL;
  V_BOOL(&off) = VARIANT_FALSE;
  long error = -1, result = -1;
  p.WriteItems(1, &name, &off, &error, result);
  ASSERT_EQ(error, 0);
  EXPECT_FALSE(bulk.Step());
  EXPECT_EQ(ValueOf(tags, L"Bulk.0500"), 1500);
  EXPECT_EQ(ValueOf(tags, L"Bulk.Steps"), 3);
  VARIANT on;
  VariantInit(&on);
  V_VT(&on) = VT_BOOL;
  V_BOOL(&on) = VARIANT_TRUE;
  p.WriteItems(1, &name, &on, &error, result);
  ASSERT_EQ(error, 0);
  EXPECT_TRUE(bulk.Step());
  EXPECT_EQ(ValueOf(tags, L"Bulk.0500"), 2000);
  EXPECT_EQ(ValueOf(tags, L"Bulk.Steps"), 4);
}

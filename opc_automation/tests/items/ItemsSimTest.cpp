// OPCItems and OPCItem against SimServer in its own process, both personalities, early bound as
// a compiled client calls them (the custom interfaces cross through OpcProxy.dll, as
// scripts/register registers it).
#include <gtest/gtest.h>

#include "Arguments.h"
#include "ServerObject.h"

#include <string>
#include <vector>

using common::Bstr;
using common::ComPtr;
using common::Variant;

namespace {

struct Array {
  SAFEARRAY* sa = nullptr;
  ~Array() {
    if (sa) SafeArrayDestroy(sa);
  }
  SAFEARRAY** operator&() { return &sa; }
};
void Longs(std::vector<LONG> v, Array& a) { ASSERT_EQ(S_OK, veltrane::MakeLongArray(v, &a.sa)); }
void Strings(std::vector<LPCWSTR> v, Array& a) { ASSERT_EQ(S_OK, veltrane::MakeStringArray(v, &a.sa)); }
std::vector<LONG> Read(SAFEARRAY* sa) {
  std::vector<LONG> v;
  LONG lo = 0, hi = -1;
  SafeArrayGetLBound(sa, 1, &lo);
  SafeArrayGetUBound(sa, 1, &hi);
  EXPECT_EQ(1, lo);
  for (LONG i = lo; i <= hi; ++i) {
    LONG x = 0;
    SafeArrayGetElement(sa, &i, &x);
    v.push_back(x);
  }
  return v;
}

class ItemsSimTest : public ::testing::TestWithParam<const wchar_t*> {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ASSERT_EQ(S_OK, veltrane::CreateServerObject(IID_IOPCAutoServer, server_.PutVoid()));
    ASSERT_EQ(S_OK, server_->Connect(Bstr(GetParam()).Get(), Variant::Missing()));
    ASSERT_EQ(S_OK, server_->get_OPCGroups(groups_.GetAddressOf()));
    ASSERT_EQ(S_OK, groups_->Add(Variant(L"items"), group_.GetAddressOf()));
    ASSERT_EQ(S_OK, group_->get_OPCItems(items_.GetAddressOf()));
  }
  void TearDown() override {
    items_.Reset();
    group_.Reset();
    groups_.Reset();
    if (server_) server_->Disconnect();
    server_.Reset();
    CoUninitialize();
  }
  ComPtr<OPCItem> ItemByHandle(LONG h) {
    ComPtr<OPCItem> item;
    EXPECT_EQ(S_OK, items_->GetOPCItem(h, item.GetAddressOf()));
    return item;
  }
  // Read from the device; the value as the item then holds it.
  Variant ReadValue(OPCItem* item) {
    Variant value, quality, stamp;
    EXPECT_EQ(S_OK, item->Read(OPCDevice, &value, &quality, &stamp));
    EXPECT_EQ(VT_I2, V_VT(&quality));
    EXPECT_EQ(VT_R8, V_VT(&stamp));
    return value;
  }

  ComPtr<IOPCAutoServer> server_;
  ComPtr<IOPCGroups> groups_;
  ComPtr<IOPCGroup> group_;
  ComPtr<OPCItems> items_;
};

TEST_P(ItemsSimTest, AddItemsValidateAndTheClientTypes) {
  Array ids, clients, handles, errors;
  Strings({L"Register.R8", L"Static.UI2", L"Ramp.I4", L"No.Such.Item", L"Static.UI4"}, ids);
  Longs({1, 2, 3, 4, 5}, clients);
  ASSERT_EQ(S_OK, items_->AddItems(5, &ids, &clients, &handles, &errors, Variant::Missing(),
                                   Variant::Missing()));
  auto h = Read(handles.sa);
  auto e = Read(errors.sa);
  ASSERT_EQ(5u, h.size());
  EXPECT_EQ(0, h[3]);
  EXPECT_TRUE(FAILED(e[3])) << "the server's own error for an unknown item ID";
  for (int i : {0, 1, 2, 4}) {
    EXPECT_EQ(S_OK, e[i]);
    EXPECT_NE(0, h[i]);
  }
  LONG count = 0;
  ASSERT_EQ(S_OK, items_->get_Count(&count));
  EXPECT_EQ(4, count);
  ComPtr<OPCItem> first;
  ASSERT_EQ(S_OK, items_->Item(Variant(1), first.GetAddressOf()));
  Bstr id;
  first->get_ItemID(id.ReleaseAndGetAddressOf());
  EXPECT_EQ(Bstr(L"Register.R8"), id);
  VARIANT_BOOL active = 0;
  first->get_IsActive(&active);
  EXPECT_EQ(VARIANT_TRUE, active);
  LONG rights = 0;
  first->get_AccessRights(&rights);
  EXPECT_EQ(OPCReadable | OPCWritable, rights);

  // Unsigned values reach the client in types it can hold.
  auto ui2 = ItemByHandle(h[1]);
  SHORT canonical = 0;
  ui2->get_CanonicalDataType(&canonical);
  EXPECT_EQ(VT_UI2, canonical);
  Variant v = ReadValue(ui2.Get());
  ASSERT_EQ(VT_I4, V_VT(&v));
  EXPECT_EQ(7, V_I4(&v));
  v = ReadValue(ItemByHandle(h[4]).Get());
  ASSERT_EQ(VT_R8, V_VT(&v));
  EXPECT_EQ(7.0, V_R8(&v));
  LONG quality = 0;
  ui2->get_Quality(&quality);
  EXPECT_EQ(OPCQualityGood, quality & OPCQualityMask);
  DATE stamp = 0;
  ui2->get_TimeStamp(&stamp);
  EXPECT_GT(stamp, 40000.0);

  Array validateIds, validateErrors;
  Strings({L"Ramp.R8", L"No.Such.Item"}, validateIds);
  ASSERT_EQ(S_OK, items_->Validate(2, &validateIds, &validateErrors, Variant::Missing(), Variant::Missing()));
  auto ve = Read(validateErrors.sa);
  EXPECT_EQ(S_OK, ve[0]);
  EXPECT_TRUE(FAILED(ve[1]));
  items_->get_Count(&count);
  EXPECT_EQ(4, count);
}

TEST_P(ItemsSimTest, SetDataTypesWriteReadBackSetActiveAndRemove) {
  ComPtr<OPCItem> reg, ramp;
  ASSERT_EQ(S_OK, items_->AddItem(Bstr(L"Register.R8").Get(), 10, reg.GetAddressOf()));
  ASSERT_EQ(S_OK, items_->AddItem(Bstr(L"Static.I2").Get(), 11, ramp.GetAddressOf()));
  LONG regHandle = 0, staticHandle = 0;
  reg->get_ServerHandle(&regHandle);
  ramp->get_ServerHandle(&staticHandle);

  ASSERT_EQ(S_OK, reg->Write(Variant(1234.5)));
  Variant v = ReadValue(reg.Get());
  ASSERT_EQ(VT_R8, V_VT(&v));
  EXPECT_EQ(1234.5, V_R8(&v));

  Array handles, types, errors;
  Longs({staticHandle}, handles);
  Longs({VT_R8}, types);
  ASSERT_EQ(S_OK, items_->SetDataTypes(1, &handles, &types, &errors));
  EXPECT_EQ(std::vector<LONG>{S_OK}, Read(errors.sa));
  SHORT requested = 0;
  ramp->get_RequestedDataType(&requested);
  EXPECT_EQ(VT_R8, requested);
  v = ReadValue(ramp.Get());
  ASSERT_EQ(VT_R8, V_VT(&v)) << "the server now gives the requested type";
  EXPECT_EQ(7.0, V_R8(&v));

  Array activeErrors;
  ASSERT_EQ(S_OK, items_->SetActive(1, &handles, VARIANT_FALSE, &activeErrors));
  EXPECT_EQ(std::vector<LONG>{S_OK}, Read(activeErrors.sa));
  VARIANT_BOOL active = -1;
  ramp->get_IsActive(&active);
  EXPECT_EQ(VARIANT_FALSE, active);

  Array removeHandles, removeErrors;
  Longs({regHandle}, removeHandles);
  ASSERT_EQ(S_OK, items_->Remove(1, &removeHandles, &removeErrors));
  EXPECT_EQ(std::vector<LONG>{S_OK}, Read(removeErrors.sa));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, reg->Read(OPCCache, nullptr, nullptr, nullptr));
  LONG count = 0;
  items_->get_Count(&count);
  EXPECT_EQ(1, count);
}

TEST_P(ItemsSimTest, RemoveAllAndDisconnectDetachTheItems) {
  ComPtr<OPCItem> item;
  ASSERT_EQ(S_OK, items_->AddItem(Bstr(L"Ramp.R8").Get(), 1, item.GetAddressOf()));
  ASSERT_EQ(S_OK, groups_->RemoveAll());
  LONG client = 0;
  EXPECT_EQ(CONNECT_E_NOCONNECTION, item->get_ClientHandle(&client));
  LONG count = -1;
  EXPECT_EQ(S_OK, items_->get_Count(&count));
  EXPECT_EQ(0, count);

  ComPtr<IOPCGroup> second;
  ASSERT_EQ(S_OK, groups_->Add(Variant(L"second"), second.GetAddressOf()));
  ComPtr<OPCItems> secondItems;
  ASSERT_EQ(S_OK, second->get_OPCItems(secondItems.GetAddressOf()));
  ComPtr<OPCItem> other;
  ASSERT_EQ(S_OK, secondItems->AddItem(Bstr(L"Static.BSTR").Get(), 1, other.GetAddressOf()));
  ASSERT_EQ(S_OK, server_->Disconnect());
  EXPECT_EQ(CONNECT_E_NOCONNECTION, other->Write(Variant(L"x")));
}

INSTANTIATE_TEST_SUITE_P(BothPersonalities, ItemsSimTest,
                         ::testing::Values(L"Sim.OPCDA.2", L"Sim.OPCDA.1"),
                         [](const auto& info) { return std::string(info.index == 0 ? "DA20" : "DA10"); });

}  // namespace

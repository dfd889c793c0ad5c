// The OPCGroup object in this process against a fake group of an outside server: what reaches
// the custom interfaces (exactly one state input per property, the revised rate, the I/O
// arguments), what comes back, the data callback sink and the events it raises, and a group
// that was detached. Early bound, through the vtable, as compiled clients call.
#include <gtest/gtest.h>

#include "Conversion.h"
#include "FakeGroup.h"
#include "GroupObject.h"
#include "ServerObject.h"

#include <functional>
#include <string>
#include <vector>

using common::Bstr;
using common::ComPtr;
using common::Variant;

namespace {

class GroupObjectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    server_ = common::Make<veltrane::ServerObject>();
    fake_ = common::Make<fakegroup::Group>();
    object_ = common::Make<veltrane::GroupObject>();
    ASSERT_EQ(S_OK, object_->Initialise(server_.Get(), fake_->Unknown()));
    ASSERT_EQ(S_OK, object_->QueryInterface(IID_IOPCGroup, group_.PutVoid()));
  }
  void TearDown() override {
    if (object_) object_->Detach();
    group_.Reset();
    object_.Reset();
    fake_.Reset();
    server_.Reset();
    CoUninitialize();
  }

  ComPtr<veltrane::ServerObject> server_;
  ComPtr<fakegroup::Group> fake_;
  ComPtr<veltrane::GroupObject> object_;
  ComPtr<IOPCGroup> group_;
};

// ------------------------------------------------------------------------- state members

TEST_F(GroupObjectTest, StateGettersReadTheServerEachTime) {
  fake_->rate = 250;
  fake_->active = FALSE;
  fake_->bias = -60;
  fake_->deadband = 2.5f;
  fake_->lcid = 0x407;
  int before = fake_->getStateCalls;
  LONG rate = 0, bias = 0, lcid = 0;
  FLOAT deadband = 0;
  VARIANT_BOOL active = VARIANT_TRUE;
  EXPECT_EQ(S_OK, group_->get_UpdateRate(&rate));
  EXPECT_EQ(S_OK, group_->get_IsActive(&active));
  EXPECT_EQ(S_OK, group_->get_TimeBias(&bias));
  EXPECT_EQ(S_OK, group_->get_DeadBand(&deadband));
  EXPECT_EQ(S_OK, group_->get_LocaleID(&lcid));
  EXPECT_EQ(5, fake_->getStateCalls - before);
  EXPECT_EQ(250, rate);
  EXPECT_EQ(VARIANT_FALSE, active);
  EXPECT_EQ(-60, bias);
  EXPECT_EQ(2.5f, deadband);
  EXPECT_EQ(0x407, lcid);

  // Any non-zero BOOL from the server is True to the client.
  fake_->active = 7;
  EXPECT_EQ(S_OK, group_->get_IsActive(&active));
  EXPECT_EQ(VARIANT_TRUE, active);

  // A failing GetState is passed on and leaves the output alone.
  fake_->getStateResult = E_FAIL;
  rate = 12345;
  EXPECT_EQ(E_FAIL, group_->get_UpdateRate(&rate));
  EXPECT_EQ(12345, rate);
  // Null outputs never reach the server.
  before = fake_->getStateCalls;
  EXPECT_EQ(E_INVALIDARG, group_->get_UpdateRate(nullptr));
  EXPECT_EQ(E_INVALIDARG, group_->get_IsActive(nullptr));
  EXPECT_EQ(E_INVALIDARG, group_->get_TimeBias(nullptr));
  EXPECT_EQ(E_INVALIDARG, group_->get_DeadBand(nullptr));
  EXPECT_EQ(E_INVALIDARG, group_->get_LocaleID(nullptr));
  EXPECT_EQ(E_INVALIDARG, group_->get_IsSubscribed(nullptr));
  EXPECT_EQ(before, fake_->getStateCalls);
}

TEST_F(GroupObjectTest, EachStateSetterSendsOnlyItsOwnInputWithTheRevisedRateOutput) {
  using Put = std::function<HRESULT()>;
  struct Case {
    const char* what;
    Put put;
    fakegroup::SetStateCall expected;
  };
  const Case cases[] = {
      {"IsActive", [&] { return group_->put_IsActive(VARIANT_FALSE); }, {false, true, true, false, false, false, false}},
      {"TimeBias", [&] { return group_->put_TimeBias(120); }, {false, true, false, true, false, false, false}},
      {"DeadBand", [&] { return group_->put_DeadBand(10.0f); }, {false, true, false, false, true, false, false}},
      {"LocaleID", [&] { return group_->put_LocaleID(0x40C); }, {false, true, false, false, false, true, false}},
      {"UpdateRate", [&] { return group_->put_UpdateRate(500); }, {true, true, false, false, false, false, false}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fake_->setStateCalls.clear();
    EXPECT_EQ(S_OK, c.put());
    ASSERT_EQ(1u, fake_->setStateCalls.size());
    const auto& got = fake_->setStateCalls[0];
    EXPECT_EQ(c.expected.requestedRate, got.requestedRate);
    EXPECT_EQ(c.expected.revisedRate, got.revisedRate);
    EXPECT_EQ(c.expected.active, got.active);
    EXPECT_EQ(c.expected.timeBias, got.timeBias);
    EXPECT_EQ(c.expected.deadband, got.deadband);
    EXPECT_EQ(c.expected.lcid, got.lcid);
    EXPECT_FALSE(got.clientGroup);
  }
  EXPECT_EQ(FALSE, fake_->active);
  EXPECT_EQ(120, fake_->bias);
  EXPECT_EQ(10.0f, fake_->deadband);
  EXPECT_EQ(0x40Cu, fake_->lcid);
  EXPECT_EQ(500u, fake_->rate);

  // Any non-zero VARIANT_BOOL activates (a C caller's 1 as much as True).
  EXPECT_EQ(S_OK, group_->put_IsActive(1));
  EXPECT_EQ(TRUE, fake_->active);

  // A refused setting is passed on and the server keeps its value.
  fake_->setStateResult = E_INVALIDARG;
  EXPECT_EQ(E_INVALIDARG, group_->put_DeadBand(150.0f));
  FLOAT deadband = 0;
  EXPECT_EQ(S_OK, group_->get_DeadBand(&deadband));
  EXPECT_EQ(10.0f, deadband);
}

TEST_F(GroupObjectTest, AnUnsupportedRateIsPassedOnAndTheRevisedRateReadBack) {
  fake_->rateStep = 100;
  EXPECT_EQ(OPC_S_UNSUPPORTEDRATE, group_->put_UpdateRate(250));
  LONG rate = 0;
  EXPECT_EQ(S_OK, group_->get_UpdateRate(&rate));
  EXPECT_EQ(300, rate);
  EXPECT_EQ(S_OK, group_->put_UpdateRate(400));
  EXPECT_EQ(S_OK, group_->get_UpdateRate(&rate));
  EXPECT_EQ(400, rate);
}

TEST_F(GroupObjectTest, ClientHandleAndSubscriptionFlagAreTheLibrarysOwn) {
  int calls = static_cast<int>(fake_->setStateCalls.size()) + fake_->getStateCalls;
  LONG handle = 0;
  EXPECT_EQ(S_OK, group_->put_ClientHandle(-77));
  EXPECT_EQ(S_OK, group_->get_ClientHandle(&handle));
  EXPECT_EQ(-77, handle);
  VARIANT_BOOL subscribed = VARIANT_TRUE;
  EXPECT_EQ(S_OK, group_->get_IsSubscribed(&subscribed));
  EXPECT_EQ(VARIANT_FALSE, subscribed) << "a new group starts unsubscribed";
  EXPECT_EQ(calls, static_cast<int>(fake_->setStateCalls.size()) + fake_->getStateCalls);
  VARIANT_BOOL isPublic = 0;
  EXPECT_EQ(E_NOTIMPL, group_->get_IsPublic(&isPublic));
}

TEST_F(GroupObjectTest, ADetachedGroupAnswersNoConnectionAndCallsNothing) {
  object_->Detach();
  int calls = static_cast<int>(fake_->setStateCalls.size()) + fake_->getStateCalls;
  LONG l = 0;
  FLOAT f = 0;
  VARIANT_BOOL b = 0;
  Bstr name;
  EXPECT_EQ(CONNECT_E_NOCONNECTION, group_->get_Name(name.ReleaseAndGetAddressOf()));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, group_->get_IsActive(&b));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, group_->put_IsActive(VARIANT_TRUE));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, group_->get_IsSubscribed(&b));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, group_->put_IsSubscribed(VARIANT_TRUE));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, group_->get_IsPublic(&b));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, group_->get_ClientHandle(&l));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, group_->put_ClientHandle(1));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, group_->get_LocaleID(&l));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, group_->put_LocaleID(0x409));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, group_->get_TimeBias(&l));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, group_->put_TimeBias(0));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, group_->get_DeadBand(&f));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, group_->put_DeadBand(0));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, group_->get_UpdateRate(&l));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, group_->put_UpdateRate(100));
  // Null outputs too: the connection is checked first.
  EXPECT_EQ(CONNECT_E_NOCONNECTION, group_->get_UpdateRate(nullptr));
  SAFEARRAY* values = nullptr;
  SAFEARRAY* errors = nullptr;
  EXPECT_EQ(CONNECT_E_NOCONNECTION, group_->SyncRead(1, 0, nullptr, &values, &errors, nullptr, nullptr));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, group_->SyncWrite(0, nullptr, nullptr, &errors));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, group_->AsyncRead(0, nullptr, &errors, 1, &l));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, group_->AsyncWrite(0, nullptr, nullptr, &errors, 1, &l));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, group_->AsyncRefresh(1, 1, &l));
  EXPECT_EQ(CONNECT_E_NOCONNECTION, group_->AsyncCancel(1));
  EXPECT_EQ(calls, static_cast<int>(fake_->setStateCalls.size()) + fake_->getStateCalls);
}

}  // namespace

// The two ready-made seam tables.
#include "ddeml_ours/DdemlApi.h"

#define DDEML_TABLE(ns, label)                                                                  \
  {                                                                                             \
    label, ns DdeInitializeA, ns DdeUninitialize, ns DdeGetLastError, ns DdeCreateStringHandleA, \
        ns DdeFreeStringHandle, ns DdeKeepStringHandle, ns DdeQueryStringA,                     \
        ns DdeCmpStringHandles, ns DdeCreateDataHandle, ns DdeAccessData, ns DdeUnaccessData,   \
        ns DdeGetData, ns DdeFreeDataHandle, ns DdeConnect, ns DdeConnectList,                  \
        ns DdeQueryNextServer, ns DdeDisconnectList, ns DdeQueryConvInfo, ns DdeDisconnect,     \
        ns DdeReconnect, ns DdeSetUserHandle, ns DdeClientTransaction, ns DdeAbandonTransaction, \
        ns DdeEnableCallback                                                                    \
  }

const DdemlApi& OurDdeml() {
  static const DdemlApi api = DDEML_TABLE(ourddeml::, "ours");
  return api;
}

const DdemlApi& PlatformDdeml() {
  static const DdemlApi api = DDEML_TABLE(::, "platform");
  return api;
}

// The DDEML functions a DDE client needs, as one table of function pointers, so that a client
// (Corvane) can run on our DDEML (OurDdeml) or on the platform's (PlatformDdeml) unchanged.
//
// ourddeml:: holds our DDEML, implemented over the DDE message protocol. Every function has the
// platform's signature from <ddeml.h>, the same constants, callback contract and DMLERR codes.
// It is a client-side DDEML: DdeInitializeA accepts APPCMD_CLIENTONLY (and APPCLASS_STANDARD,
// which then acts as a client); there is no DdeNameService, no server transactions.
// Everything runs on the thread that called DdeInitializeA: callbacks are delivered from that
// thread's message processing, also re-entrantly inside a synchronous DdeClientTransaction.
#pragma once

#include <windows.h>
#include <ddeml.h>

namespace ourddeml {

UINT WINAPI DdeInitializeA(LPDWORD pidInst, PFNCALLBACK pfnCallback, DWORD afCmd, DWORD ulRes);
WINBOOL WINAPI DdeUninitialize(DWORD idInst);
UINT WINAPI DdeGetLastError(DWORD idInst);

HSZ WINAPI DdeCreateStringHandleA(DWORD idInst, LPCSTR psz, int iCodePage);
WINBOOL WINAPI DdeFreeStringHandle(DWORD idInst, HSZ hsz);
WINBOOL WINAPI DdeKeepStringHandle(DWORD idInst, HSZ hsz);
DWORD WINAPI DdeQueryStringA(DWORD idInst, HSZ hsz, LPSTR psz, DWORD cchMax, int iCodePage);
int WINAPI DdeCmpStringHandles(HSZ hsz1, HSZ hsz2);

HDDEDATA WINAPI DdeCreateDataHandle(DWORD idInst, LPBYTE pSrc, DWORD cb, DWORD cbOff, HSZ hszItem,
                                    UINT wFmt, UINT afCmd);
LPBYTE WINAPI DdeAccessData(HDDEDATA hData, LPDWORD pcbDataSize);
WINBOOL WINAPI DdeUnaccessData(HDDEDATA hData);
DWORD WINAPI DdeGetData(HDDEDATA hData, LPBYTE pDst, DWORD cbMax, DWORD cbOff);
WINBOOL WINAPI DdeFreeDataHandle(HDDEDATA hData);

HCONV WINAPI DdeConnect(DWORD idInst, HSZ hszService, HSZ hszTopic, PCONVCONTEXT pCC);
HCONVLIST WINAPI DdeConnectList(DWORD idInst, HSZ hszService, HSZ hszTopic, HCONVLIST hConvList,
                                PCONVCONTEXT pCC);
HCONV WINAPI DdeQueryNextServer(HCONVLIST hConvList, HCONV hConvPrev);
WINBOOL WINAPI DdeDisconnectList(HCONVLIST hConvList);
UINT WINAPI DdeQueryConvInfo(HCONV hConv, DWORD idTransaction, PCONVINFO pConvInfo);
WINBOOL WINAPI DdeDisconnect(HCONV hConv);
HCONV WINAPI DdeReconnect(HCONV hConv);
WINBOOL WINAPI DdeSetUserHandle(HCONV hConv, DWORD id, DWORD_PTR hUser);

HDDEDATA WINAPI DdeClientTransaction(LPBYTE pData, DWORD cbData, HCONV hConv, HSZ hszItem,
                                     UINT wFmt, UINT wType, DWORD dwTimeout, LPDWORD pdwResult);
WINBOOL WINAPI DdeAbandonTransaction(DWORD idInst, HCONV hConv, DWORD idTransaction);
WINBOOL WINAPI DdeEnableCallback(DWORD idInst, HCONV hConv, UINT wCmd);

// Not part of the platform's DDEML: what one instance holds right now, for leak checks.
struct InstanceCounts {
  long stringHandles;   // references to global atoms the instance holds (app and internal)
  long dataHandles;     // live HDDEDATA objects
  long conversations;   // conversations not yet released (connected or terminated)
  long windows;         // windows the instance owns (its own and the conversations')
  long transactions;    // transactions sent and not yet answered (abandoned ones included)
  long globalBlocks;    // GlobalAlloc blocks posted and not yet released by the protocol
  long cachedNames;     // names whose last handle was freed, kept with their atoms for reuse
};
bool QueryInstanceCounts(DWORD idInst, InstanceCounts* counts);
// Gives back the atoms of the names kept after their last handle was freed (as eviction and
// DdeUninitialize do), so that a test can see every global atom reference released.
bool FlushStringCache(DWORD idInst);

// True when posted DDE data reaches another process as a copy that the sender must free after
// a successful post (Wine); false where the receiver frees it as the protocol says (Windows).
bool PostedDdeDataIsCopied();

}  // namespace ourddeml

// The seam: one pointer per DDEML function a client uses.
struct DdemlApi {
  const char* name;  // "ours" or "platform"
  UINT(WINAPI* DdeInitializeA)(LPDWORD, PFNCALLBACK, DWORD, DWORD);
  WINBOOL(WINAPI* DdeUninitialize)(DWORD);
  UINT(WINAPI* DdeGetLastError)(DWORD);
  HSZ(WINAPI* DdeCreateStringHandleA)(DWORD, LPCSTR, int);
  WINBOOL(WINAPI* DdeFreeStringHandle)(DWORD, HSZ);
  WINBOOL(WINAPI* DdeKeepStringHandle)(DWORD, HSZ);
  DWORD(WINAPI* DdeQueryStringA)(DWORD, HSZ, LPSTR, DWORD, int);
  int(WINAPI* DdeCmpStringHandles)(HSZ, HSZ);
  HDDEDATA(WINAPI* DdeCreateDataHandle)(DWORD, LPBYTE, DWORD, DWORD, HSZ, UINT, UINT);
  LPBYTE(WINAPI* DdeAccessData)(HDDEDATA, LPDWORD);
  WINBOOL(WINAPI* DdeUnaccessData)(HDDEDATA);
  DWORD(WINAPI* DdeGetData)(HDDEDATA, LPBYTE, DWORD, DWORD);
  WINBOOL(WINAPI* DdeFreeDataHandle)(HDDEDATA);
  HCONV(WINAPI* DdeConnect)(DWORD, HSZ, HSZ, PCONVCONTEXT);
  HCONVLIST(WINAPI* DdeConnectList)(DWORD, HSZ, HSZ, HCONVLIST, PCONVCONTEXT);
  HCONV(WINAPI* DdeQueryNextServer)(HCONVLIST, HCONV);
  WINBOOL(WINAPI* DdeDisconnectList)(HCONVLIST);
  UINT(WINAPI* DdeQueryConvInfo)(HCONV, DWORD, PCONVINFO);
  WINBOOL(WINAPI* DdeDisconnect)(HCONV);
  HCONV(WINAPI* DdeReconnect)(HCONV);
  WINBOOL(WINAPI* DdeSetUserHandle)(HCONV, DWORD, DWORD_PTR);
  HDDEDATA(WINAPI* DdeClientTransaction)(LPBYTE, DWORD, HCONV, HSZ, UINT, UINT, DWORD, LPDWORD);
  WINBOOL(WINAPI* DdeAbandonTransaction)(DWORD, HCONV, DWORD);
  WINBOOL(WINAPI* DdeEnableCallback)(DWORD, HCONV, UINT);
};

// Our DDEML (ddeml_ours). Link with ddeml_ours.
const DdemlApi& OurDdeml();
// user32's DDEML.
const DdemlApi& PlatformDdeml();

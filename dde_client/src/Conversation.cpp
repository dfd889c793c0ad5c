// Conversation: its loops and transactions, and every transaction the host sends through it.
#include <limits>

#include "Core.h"

namespace corvane {

namespace {
wstring Failed() { return State().failedReturnString; }
HRESULT OutKey(BSTR* key, const wstring& s) {
  return common::GuardHResult([&] { *key = Bstr(s); });
}
}  // namespace

ComPtr<AdviseLoopObj> ConversationObj::CreateAdviseLoop(HSZ hsz, const wstring& item, LONG format) {
  auto loop = common::Make<AdviseLoopObj>();
  loop->created = loop->lastUpdate = Now();
  loop->hConv = hConv;
  loop->hszItem = hsz;
  loop->item = item;
  loop->format = format;
  std::string key = ItemKey(H32(hsz));
  if (!adviseLoops.Add(Widen(key), loop.Get())) throw common::ComError(kErrDuplicateKey);
  WriteLogW(L"CreateAdviseLoop: Created Advise Loop object " + Widen(key) + L" on item " + item +
                L" (&H" + Widen(HexH(hsz)) + L")", LOG_CMD);
  return loop;
}

ComPtr<RequestLoopObj> ConversationObj::CreateRequestLoop(HSZ hsz, const wstring& item, LONG format) {
  auto loop = common::Make<RequestLoopObj>();
  loop->created = loop->lastNotify = Now();
  loop->hConv = hConv;
  loop->hszItem = hsz;
  loop->item = item;
  loop->format = format;
  std::string key = ItemKey(H32(hsz));
  if (!requestLoops.Add(Widen(key), loop.Get())) throw common::ComError(kErrDuplicateKey);
  WriteLogW(L"CreateRequestLoop: Created Request Loop object " + Widen(key) + L" on item " + item +
                L" (&H" + Widen(HexH(hsz)) + L")", LOG_CMD);
  return loop;
}

wstring ConversationObj::CreateTransaction(LONG id, LONG type, const wstring& item, HSZ hsz) {
  auto t = common::Make<TransactionObj>();
  t->created = Now();
  t->handle = id;
  t->transType = type;
  t->item = item;
  t->hszItem = hsz;
  std::string key = TransKey(id);
  if (!transactions.Add(Widen(key), t.Get())) throw common::ComError(kErrDuplicateKey);
  WriteLog("CreateTransaction: Created Transaction object " + key + "; Type = " + TransTypeName(type) +
               " (&H" + Hex(type) + ")", LOG_CMD);
  return Widen(key);
}

bool ConversationObj::StopAdvise(size_t pos, LONG timeout) {
  ComPtr<AdviseLoopObj> loop(adviseLoops.At(pos));
  bool done = disconnected;
  if (disconnected) {
    if (loop->hszItem) FreeHsz(loop->hszItem);  // nothing will stop it: the handle is ours to free
  } else {
    done = DDE_StopLoop(hConv, loop->hszItem, timeout, loop->format, false, false) != 0;
  }
  if (done) adviseLoops.Remove(Widen(ItemKey(H32(loop->hszItem))));
  return done;
}

bool ConversationObj::StopRequest(size_t pos, LONG timeout) {
  ComPtr<RequestLoopObj> loop(requestLoops.At(pos));
  bool done = disconnected;
  if (disconnected) {
    if (loop->hszItem) FreeHsz(loop->hszItem);
  } else {
    done = DDE_StopLoop(hConv, loop->hszItem, timeout, loop->format, false, true) != 0;
  }
  if (done) requestLoops.Remove(Widen(ItemKey(H32(loop->hszItem))));
  return done;
}

bool ConversationObj::Abandon(size_t pos) {
  ComPtr<TransactionObj> t(transactions.At(pos));
  if (!DDE_AbandonTransaction(hConv, t->handle)) return false;
  // A loop start that will never complete leaves its item handle to no loop: give it back.
  if ((t->transType == 1 || t->transType == 2) && t->hszItem) FreeHsz(t->hszItem);
  transactions.Remove(Widen(TransKey(t->handle)));
  return true;
}

STDMETHODIMP ConversationObj::get_AdviseLoop(VARIANT index, IAdviseLoop** v) {
  return LookupOut(adviseLoops, index, IID_IConversation, v);
}
STDMETHODIMP ConversationObj::get_AdviseLoopCount(LONG* v) {
  if (!v) return E_POINTER;
  *v = static_cast<LONG>(adviseLoops.Count());
  return S_OK;
}
STDMETHODIMP ConversationObj::get_RequestLoop(VARIANT index, IRequestLoop** v) {
  return LookupOut(requestLoops, index, IID_IConversation, v);
}
STDMETHODIMP ConversationObj::get_RequestLoopCount(LONG* v) {
  if (!v) return E_POINTER;
  *v = static_cast<LONG>(requestLoops.Count());
  return S_OK;
}
STDMETHODIMP ConversationObj::get_TransactionCount(LONG* v) {
  if (!v) return E_POINTER;
  *v = static_cast<LONG>(transactions.Count());
  return S_OK;
}
STDMETHODIMP ConversationObj::get_Transaction(VARIANT index, ITransaction** v) {
  return LookupOut(transactions, index, IID_IConversation, v);
}
STDMETHODIMP ConversationObj::AbandonTransaction(VARIANT index, VARIANT_BOOL* ok) {
  if (!ok) return E_POINTER;
  *ok = VARIANT_FALSE;
  return common::GuardHResult([&]() -> HRESULT {
    ptrdiff_t pos = transactions.Locate(index);
    if (pos < 0) return Fail(kErrInvalidArgument, IID_IConversation, L"Invalid procedure call or argument");
    *ok = VB(Abandon(static_cast<size_t>(pos)));
    return S_OK;
  });
}
STDMETHODIMP ConversationObj::get_ConvContext(IConvContext** v) {
  if (!v) return E_POINTER;
  *v = convContext.Get();
  if (*v) (*v)->AddRef();
  return S_OK;
}
STDMETHODIMP ConversationObj::get_Created(DATE* v) {
  if (!v) return E_POINTER;
  *v = created;
  return S_OK;
}
STDMETHODIMP ConversationObj::get_Topic(BSTR* v) {
  if (!v) return E_POINTER;
  return OutKey(v, topic);
}
STDMETHODIMP ConversationObj::get_Service(BSTR* v) {
  if (!v) return E_POINTER;
  return OutKey(v, service);
}
STDMETHODIMP ConversationObj::get_hszTopic(LONG* v) {
  if (!v) return E_POINTER;
  *v = H32(hszTopic);
  return S_OK;
}
STDMETHODIMP ConversationObj::get_hszService(LONG* v) {
  if (!v) return E_POINTER;
  *v = H32(hszService);
  return S_OK;
}
STDMETHODIMP ConversationObj::get_hConv(LONG* v) {
  if (!v) return E_POINTER;
  *v = H32(hConv);
  return S_OK;
}
STDMETHODIMP ConversationObj::get_Disconnected(VARIANT_BOOL* v) {
  if (!v) return E_POINTER;
  *v = VB(disconnected);
  return S_OK;
}

// ---- execute / poke / request ----------------------------------------------------------------
STDMETHODIMP ConversationObj::Execute(BSTR command, LONG timeout, VARIANT_BOOL* ok) {
  if (!ok) return E_POINTER;
  *ok = VARIANT_FALSE;
  ComPtr<ConversationObj> self(this);
  return common::GuardHResult([&] {
    if (!disconnected) *ok = VB(DDE_Execute(hConv, FromBstr(command), timeout, false) != 0);
  });
}
STDMETHODIMP ConversationObj::ExecuteA(BSTR command, BSTR* key) {
  if (!key) return E_POINTER;
  *key = nullptr;
  ComPtr<ConversationObj> self(this);
  return common::GuardHResult([&] {
    wstring r = Failed();
    if (!disconnected) {
      DWORD id = DDE_Execute(hConv, FromBstr(command), 0, true);
      if (id) r = CreateTransaction(static_cast<LONG>(id), 7, L"", nullptr);
    }
    *key = Bstr(r);
  });
}
STDMETHODIMP ConversationObj::PokeString(BSTR item, BSTR data, LONG timeout, VARIANT_BOOL* ok) {
  if (!ok) return E_POINTER;
  *ok = VARIANT_FALSE;
  ComPtr<ConversationObj> self(this);
  return common::GuardHResult([&] {
    if (!disconnected)
      *ok = VB(DDE_PokeStringData(hConv, FromBstr(item), FromBstr(data), timeout, false) != 0);
  });
}
STDMETHODIMP ConversationObj::PokeStringA(BSTR item, BSTR data, BSTR* key) {
  if (!key) return E_POINTER;
  *key = nullptr;
  ComPtr<ConversationObj> self(this);
  return common::GuardHResult([&] {
    wstring r = Failed();
    if (!disconnected) {
      DWORD id = DDE_PokeStringData(hConv, FromBstr(item), FromBstr(data), 0, true);
      if (id) r = CreateTransaction(static_cast<LONG>(id), 5, L"", nullptr);
    }
    *key = Bstr(r);
  });
}

HRESULT ConversationObj::PokeBinary(BSTR item, const void* p, LONG size, LONG fmt, LONG timeout,
                                    bool async, VARIANT_BOOL* ok, BSTR* key) {
  ComPtr<ConversationObj> self(this);
  return common::GuardHResult([&]() -> HRESULT {
    if (size < 0) return Fail(kErrInvalidArgument, IID_IConversation, L"Negative data size");
    if (size > 0 && !p) return Fail(E_POINTER, IID_IConversation, L"No data address");
    if (async) {
      wstring r = Failed();
      if (!disconnected) {
        DWORD id = DDE_PokeBinaryData(hConv, FromBstr(item), p, size, fmt, 0, true);
        if (id) r = CreateTransaction(static_cast<LONG>(id), 5, L"", nullptr);
      }
      *key = Bstr(r);
    } else if (!disconnected) {
      *ok = VB(DDE_PokeBinaryData(hConv, FromBstr(item), p, size, fmt, timeout, false) != 0);
    }
    return S_OK;
  });
}

namespace {
// Count elements of `width` bytes as a byte count; false on overflow of the 32-bit product.
bool ByteCount(LONG count, LONG width, LONG* bytes) {
  long long n = static_cast<long long>(count) * width;
  if (n > std::numeric_limits<LONG>::max() || n < std::numeric_limits<LONG>::min()) return false;
  *bytes = static_cast<LONG>(n);
  return true;
}
}  // namespace

STDMETHODIMP ConversationObj::PokeByAddress(BSTR item, LONGLONG pdata, LONG size, LONG fmt,
                                            LONG timeout, VARIANT_BOOL* ok) {
  if (!ok) return E_POINTER;
  *ok = VARIANT_FALSE;
  return PokeBinary(item, reinterpret_cast<const void*>(static_cast<intptr_t>(pdata)), size, fmt,
                    timeout, false, ok, nullptr);
}
STDMETHODIMP ConversationObj::PokeByte(BSTR item, BYTE* data, LONG size, LONG fmt, LONG timeout,
                                       VARIANT_BOOL* ok) {
  if (!ok) return E_POINTER;
  *ok = VARIANT_FALSE;
  return PokeBinary(item, data, size, fmt, timeout, false, ok, nullptr);
}
STDMETHODIMP ConversationObj::PokeInteger(BSTR item, SHORT* data, LONG count, LONG fmt,
                                          LONG timeout, VARIANT_BOOL* ok) {
  if (!ok) return E_POINTER;
  *ok = VARIANT_FALSE;
  LONG n;
  if (!ByteCount(count, 2, &n)) return Fail(kErrOverflow, IID_IConversation, L"Overflow");
  return PokeBinary(item, data, n, fmt, timeout, false, ok, nullptr);
}
STDMETHODIMP ConversationObj::PokeLong(BSTR item, LONG* data, LONG count, LONG fmt, LONG timeout,
                                       VARIANT_BOOL* ok) {
  if (!ok) return E_POINTER;
  *ok = VARIANT_FALSE;
  LONG n;
  if (!ByteCount(count, 4, &n)) return Fail(kErrOverflow, IID_IConversation, L"Overflow");
  return PokeBinary(item, data, n, fmt, timeout, false, ok, nullptr);
}
STDMETHODIMP ConversationObj::PokeByAddressA(BSTR item, LONGLONG pdata, LONG size, LONG fmt, BSTR* key) {
  if (!key) return E_POINTER;
  *key = nullptr;
  return PokeBinary(item, reinterpret_cast<const void*>(static_cast<intptr_t>(pdata)), size, fmt, 0,
                    true, nullptr, key);
}
STDMETHODIMP ConversationObj::PokeByteA(BSTR item, BYTE* data, LONG size, LONG fmt, BSTR* key) {
  if (!key) return E_POINTER;
  *key = nullptr;
  return PokeBinary(item, data, size, fmt, 0, true, nullptr, key);
}
STDMETHODIMP ConversationObj::PokeIntegerA(BSTR item, SHORT* data, LONG count, LONG fmt, BSTR* key) {
  if (!key) return E_POINTER;
  *key = nullptr;
  LONG n;
  if (!ByteCount(count, 2, &n)) return Fail(kErrOverflow, IID_IConversation, L"Overflow");
  return PokeBinary(item, data, n, fmt, 0, true, nullptr, key);
}
STDMETHODIMP ConversationObj::PokeLongA(BSTR item, LONG* data, LONG count, LONG fmt, BSTR* key) {
  if (!key) return E_POINTER;
  *key = nullptr;
  LONG n;
  if (!ByteCount(count, 4, &n)) return Fail(kErrOverflow, IID_IConversation, L"Overflow");
  return PokeBinary(item, data, n, fmt, 0, true, nullptr, key);
}

STDMETHODIMP ConversationObj::Request(BSTR item, LONG timeout, LONG format, IDDEData** data) {
  if (!data) return E_POINTER;
  *data = nullptr;
  ComPtr<ConversationObj> self(this);
  return common::GuardHResult([&] {
    if (disconnected) return;
    HSZ hsz = nullptr;
    HDDEDATA h = DDE_RequestData(hConv, FromBstr(item), &hsz, timeout, format, false, nullptr);
    if (!h) return;
    ComPtr<DDEDataObj> d;
    bool built = common::GuardNoThrow([&] { d = DDEDataObj::FromHandle(h, static_cast<UINT>(format)); });
    Ddeml().DdeFreeDataHandle(h);
    if (!built) throw std::bad_alloc();
    *data = d.Detach();
  });
}
STDMETHODIMP ConversationObj::RequestA(BSTR item, LONG format, BSTR* key) {
  if (!key) return E_POINTER;
  *key = nullptr;
  ComPtr<ConversationObj> self(this);
  return common::GuardHResult([&] {
    wstring r = Failed();
    if (!disconnected) {
      HSZ hsz = nullptr;
      DWORD id = 0;
      wstring it = FromBstr(item);
      DDE_RequestData(hConv, it, &hsz, 0, format, true, &id);
      if (id) r = CreateTransaction(static_cast<LONG>(id), 6, it, hsz);
    }
    *key = Bstr(r);
  });
}

// ---- loops -----------------------------------------------------------------------------------
HRESULT ConversationObj::StartLoop(BSTR itemArg, LONG timeout, LONG format, VARIANT_BOOL fackReq,
                                   bool request, bool async, BSTR* key) {
  if (!key) return E_POINTER;
  *key = nullptr;
  ComPtr<ConversationObj> self(this);
  return common::GuardHResult([&] {
    wstring r = Failed();
    if (!disconnected) {
      wstring item = FromBstr(itemArg);
      HSZ hsz = nullptr;
      DWORD id = DDE_StartLoop(hConv, item, &hsz, timeout, format, async, fackReq != VARIANT_FALSE,
                               request);
      if (id) {
        if (async) {
          r = CreateTransaction(static_cast<LONG>(id), request ? 2 : 1, item, hsz);
        } else {
          // Adding a loop whose key exists raises the duplicate-key error; the server's loop
          // then runs on the existing object, so the extra handle reference is given back.
          HRESULT hr = common::GuardHResult([&] {
            if (request) CreateRequestLoop(hsz, item, format);
            else CreateAdviseLoop(hsz, item, format);
          });
          if (FAILED(hr)) {
            FreeHsz(hsz);
            throw common::ComError(hr);
          }
          r = Widen(ItemKey(H32(hsz)));
        }
      }
    }
    *key = Bstr(r);
  });
}
STDMETHODIMP ConversationObj::StartAdviseLoop(BSTR item, LONG timeout, LONG format,
                                              VARIANT_BOOL fackReq, BSTR* key) {
  return StartLoop(item, timeout, format, fackReq, false, false, key);
}
STDMETHODIMP ConversationObj::StartAdviseLoopA(BSTR item, LONG format, VARIANT_BOOL fackReq, BSTR* key) {
  return StartLoop(item, 0, format, fackReq, false, true, key);
}
STDMETHODIMP ConversationObj::StartRequestLoop(BSTR item, LONG timeout, LONG format,
                                               VARIANT_BOOL fackReq, BSTR* key) {
  return StartLoop(item, timeout, format, fackReq, true, false, key);
}
STDMETHODIMP ConversationObj::StartRequestLoopA(BSTR item, LONG format, VARIANT_BOOL fackReq,
                                                BSTR* key) {
  return StartLoop(item, 0, format, fackReq, true, true, key);
}

STDMETHODIMP ConversationObj::StopRequestLoop(VARIANT index, LONG timeout, VARIANT_BOOL* ok) {
  if (!ok) return E_POINTER;
  *ok = VARIANT_FALSE;
  ComPtr<ConversationObj> self(this);
  return common::GuardHResult([&]() -> HRESULT {
    ptrdiff_t pos = requestLoops.Locate(index);
    if (pos < 0) return Fail(kErrInvalidArgument, IID_IConversation, L"Invalid procedure call or argument");
    *ok = VB(StopRequest(static_cast<size_t>(pos), timeout));
    return S_OK;
  });
}
STDMETHODIMP ConversationObj::StopAdviseLoop(VARIANT index, LONG timeout, VARIANT_BOOL* ok) {
  if (!ok) return E_POINTER;
  *ok = VARIANT_FALSE;
  ComPtr<ConversationObj> self(this);
  return common::GuardHResult([&]() -> HRESULT {
    ptrdiff_t pos = adviseLoops.Locate(index);
    if (pos < 0) return Fail(kErrInvalidArgument, IID_IConversation, L"Invalid procedure call or argument");
    *ok = VB(StopAdvise(static_cast<size_t>(pos), timeout));
    return S_OK;
  });
}
HRESULT ConversationObj::StopLoopA(VARIANT index, bool request, BSTR* key) {
  if (!key) return E_POINTER;
  *key = nullptr;
  ComPtr<ConversationObj> self(this);
  return common::GuardHResult([&]() -> HRESULT {
    wstring r = Failed();
    if (!disconnected) {
      ptrdiff_t pos = request ? requestLoops.Locate(index) : adviseLoops.Locate(index);
      if (pos < 0) return Fail(kErrInvalidArgument, IID_IConversation, L"Invalid procedure call or argument");
      HSZ hsz;
      LONG fmt;
      wstring item;
      if (request) {
        auto* l = requestLoops.At(static_cast<size_t>(pos));
        hsz = l->hszItem, fmt = l->format, item = l->item;
      } else {
        auto* l = adviseLoops.At(static_cast<size_t>(pos));
        hsz = l->hszItem, fmt = l->format, item = l->item;
      }
      DWORD id = DDE_StopLoop(hConv, hsz, 0, fmt, true, request);
      if (id) r = CreateTransaction(static_cast<LONG>(id), request ? 4 : 3, item, hsz);
    }
    *key = Bstr(r);
    return S_OK;
  });
}
STDMETHODIMP ConversationObj::StopAdviseLoopA(VARIANT index, BSTR* key) { return StopLoopA(index, false, key); }
STDMETHODIMP ConversationObj::StopRequestLoopA(VARIANT index, BSTR* key) { return StopLoopA(index, true, key); }

}  // namespace corvane

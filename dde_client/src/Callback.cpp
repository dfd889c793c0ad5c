// DdeCallback: every DDEML notification of the client instance becomes a change of the object
// model and an event on the owning control, followed by one trace line.
#include "Core.h"

namespace corvane {

namespace {

using common::Variant;

Variant Obj(IDispatch* d) { return Variant(d); }
Variant Str(const std::string& s) { return Variant(Widen(s).c_str()); }
Variant StrW(const wstring& s) { return Variant(s.c_str()); }

// Completion of an asynchronous transaction. False when the step could not run.
bool ProcessTransaction(CorvexControl& ctl, const std::string& transKey, TransactionObj* trans,
                        const std::string& convKey, ConversationObj* conv, HDDEDATA hData, UINT fmt) {
  ComPtr<TransactionObj> keepT(trans);
  ComPtr<ConversationObj> keepC(conv);
  trans->completed = true;
  const Variant tk = Str(transKey), ck = Str(convKey);
  // A loop start for an item that has its loop already: as when started synchronously, the
  // server's loop runs on the existing object, the extra handle reference is given back and the
  // start counts as failed.
  bool duplicateLoop = false;
  if (hData && (trans->transType == 1 || trans->transType == 2)) {
    wstring itemKey = Widen(ItemKey(H32(trans->hszItem)));
    duplicateLoop = trans->transType == 2 ? conv->requestLoops.Find(itemKey) != nullptr
                                          : conv->adviseLoops.Find(itemKey) != nullptr;
  }
  if (duplicateLoop) {
    if (trans->hszItem) FreeHsz(trans->hszItem);
    ctl.Fire(13, {tk, Obj(trans), ck, Obj(conv)});
    WriteLog("Event: TransactionFailed(" + transKey + ", " + convKey + ")", LOG_EV);
    if (State().logActive)
      WriteLogW(L"ProcessTransaction: Transaction &H" + Widen(Hex(trans->handle)) +
                    L" failed: item '" + trans->item + L"' has a loop already", LOG_ERR);
  } else if (!hData) {
    // A refused loop start leaves its item handle to no loop: give it back.
    if ((trans->transType == 1 || trans->transType == 2) && trans->hszItem) FreeHsz(trans->hszItem);
    ctl.Fire(13, {tk, Obj(trans), ck, Obj(conv)});
    WriteLog("Event: TransactionFailed(" + transKey + ", " + convKey + ")", LOG_EV);
    if (State().logActive)
      WriteLog("ProcessTransaction: Transaction &H" + Hex(trans->handle) + " failed", LOG_ERR, true);
  } else {
    switch (trans->transType) {
      case 1:
      case 2: {
        bool request = trans->transType == 2;
        std::string itemKey = ItemKey(H32(trans->hszItem));
        if (request)
          conv->CreateRequestLoop(trans->hszItem, trans->item, static_cast<LONG>(fmt));
        else
          conv->CreateAdviseLoop(trans->hszItem, trans->item, static_cast<LONG>(fmt));
        ctl.Fire(request ? 7 : 6, {tk, Obj(trans), ck, Obj(conv), Str(itemKey)});
        WriteLog(std::string("Event: ") +
                     (request ? "TransactionRequestLoopStarted(" : "TransactionAdviseLoopStarted(") +
                     transKey + ", " + convKey + ", " + itemKey + ")", LOG_EV);
        break;
      }
      case 3:
      case 4: {
        bool request = trans->transType == 4;
        std::string itemKey = ItemKey(H32(trans->hszItem));
        wstring wkey = Widen(itemKey);
        if (request) {
          if (auto* loop = conv->requestLoops.Find(wkey)) loop->closed = true;
        } else if (auto* loop = conv->adviseLoops.Find(wkey)) {
          loop->closed = true;
        }
        ctl.Fire(request ? 9 : 8, {tk, Obj(trans), ck, Obj(conv), Str(itemKey)});
        WriteLog(std::string("Event: ") +
                     (request ? "TransactionRequestLoopStopped(" : "TransactionAdviseLoopStopped(") +
                     transKey + ", " + convKey + ", " + itemKey + ")", LOG_EV);
        bool removed = request ? conv->requestLoops.Remove(wkey) : conv->adviseLoops.Remove(wkey);
        if (removed && trans->hszItem) FreeHsz(trans->hszItem);
        break;
      }
      case 5:
        ctl.Fire(10, {tk, Obj(trans), ck, Obj(conv)});
        WriteLog("Event: TransactionPokeCompleted(" + transKey + ", " + convKey + ")", LOG_EV);
        break;
      case 6: {
        ComPtr<DDEDataObj> data = DDEDataObj::FromHandle(hData, fmt);
        ctl.Fire(11, {tk, Obj(trans), ck, Obj(conv), StrW(trans->item), Obj(data.Get())});
        WriteLog("Event: TransactionRequestCompleted(" + transKey + ", " + convKey + ", " +
                     Ansi(trans->item) + ")", LOG_EV);
        break;
      }
      case 7:
        ctl.Fire(12, {tk, Obj(trans), ck, Obj(conv)});
        WriteLog("Event: TransactionExecuteCompleted(" + transKey + ", " + convKey + ")", LOG_EV);
        break;
      default:
        break;
    }
    if (State().logActive)
      WriteLog("ProcessTransaction: Transaction &H" + Hex(trans->handle) + " completed", LOG_CMD);
  }
  conv->transactions.Remove(Widen(transKey));
  return true;
}

struct Trace {
  std::string typeName, returnName;
};

HDDEDATA AdvData(CorvexControl& ctl, HCONV hConv, HSZ hszItem, HDDEDATA hData, UINT fmt, Trace& tr) {
  ModuleState& m = State();
  std::string convKey = ConvKey(H32(hConv)), itemKey = ItemKey(H32(hszItem));
  std::string where = " in Conversation &H" + HexH(hConv);
  ComPtr<ConversationObj> conv(ctl.FindConversation(hConv));
  tr.typeName.clear();
  if (!conv) {
    WriteLog("Callback: Unknown Conversation &H" + HexH(hConv), LOG_ERR);
    tr.returnName = "DDE_FNOTPROCESSED";
    return DDE_FNOTPROCESSED;
  }
  if (!hData) {
    ComPtr<RequestLoopObj> loop(conv->requestLoops.Find(Widen(itemKey)));
    if (!loop) {
      WriteLog("Callback: Unknown Request loop &H" + HexH(hszItem) + where, LOG_ERR);
      tr.returnName = "DDE_FNOTPROCESSED";
      return DDE_FNOTPROCESSED;
    }
    loop->lastNotify = Now();
    ctl.Fire(2, {Str(convKey), Obj(conv.Get()), Str(itemKey), Obj(loop.Get())});
    WriteLog("Event: DDENotify(" + convKey + ", " + itemKey + ")", LOG_EV);
  } else {
    ComPtr<AdviseLoopObj> loop(conv->adviseLoops.Find(Widen(itemKey)));
    if (!loop) {
      if (m.handleEarlyAdvises && m.haveEarly) {
        wstring key = Widen(itemKey);
        ComPtr<AdviseLoopObj> entry(m.early.Find(key));
        DATE now = Now();
        if (entry) {
          entry->lastUpdate = now;
        } else {
          entry = common::Make<AdviseLoopObj>();
          entry->created = entry->lastUpdate = now;
          entry->hConv = hConv;
          entry->hszItem = hszItem;
          entry->item = QueryHsz(hszItem);
          entry->format = static_cast<LONG>(fmt);
          m.early.Add(key, entry.Get());
        }
        // The conversation of the latest data wins: the key is the item handle only.
        entry->hConv = hConv;
        entry->data = DDEDataObj::FromHandle(hData, fmt);
        WriteLog("Callback: Processed Early Advise loop &H" + HexH(hszItem) + where, LOG_CMD);
        tr.returnName = "DDE_FACK";
        return reinterpret_cast<HDDEDATA>(static_cast<ULONG_PTR>(DDE_FACK));
      }
      WriteLog("Callback: Unknown Advise loop &H" + HexH(hszItem) + where, LOG_ERR);
      tr.returnName = "DDE_FNOTPROCESSED";
      return DDE_FNOTPROCESSED;
    }
    loop->data = DDEDataObj::FromHandle(hData, fmt);
    loop->lastUpdate = Now();
    ComPtr<DDEDataObj> data = loop->data;
    ctl.Fire(1, {Str(convKey), Obj(conv.Get()), Str(itemKey), Obj(loop.Get()), Obj(data.Get())});
    loop->data.Reset();
    WriteLog("Event: DDEAdvise(" + convKey + ", " + itemKey + ")", LOG_EV);
  }
  tr.typeName = "XTYP_ADVDATA";
  tr.returnName = "DDE_FACK";
  return reinterpret_cast<HDDEDATA>(static_cast<ULONG_PTR>(DDE_FACK));
}

void XactComplete(CorvexControl& ctl, HCONV hConv, ULONG_PTR id, HDDEDATA hData, UINT fmt, Trace& tr) {
  std::string convKey = ConvKey(H32(hConv)), transKey = TransKey(static_cast<LONG>(id));
  ComPtr<ConversationObj> conv(ctl.FindConversation(hConv));
  TransactionObj* trans = conv ? conv->transactions.Find(Widen(transKey)) : nullptr;
  bool ok = false;
  if (trans && !common::GuardNoThrow([&] {
        ok = ProcessTransaction(ctl, transKey, trans, convKey, conv.Get(), hData, fmt);
      }))
    ok = false;
  if (!ok) {
    WriteLog("Callback: Unknown Transaction &H" + Hex(static_cast<LONG>(id)) + " in Conversation &H" +
                 HexH(hConv), LOG_ERR);
    tr.typeName.clear();
    tr.returnName = "-";
    return;
  }
  tr.typeName = "XTYP_XACT_COMPLETE (Notification; Conversation = &H" + HexH(hConv) +
                ", Transction = &H" + Hex(static_cast<LONG>(id)) + ")";
  tr.returnName = "-";
}

void ServerDisconnect(CorvexControl& ctl, HCONV hConv) {
  std::string convKey = ConvKey(H32(hConv));
  ComPtr<ConversationObj> conv(ctl.FindConversation(hConv));
  if (!conv) return;
  conv->disconnected = true;
  ctl.Fire(3, {Str(convKey), Obj(conv.Get())});
  WriteLog("Event: DDEDisconnect(" + convKey + ")", LOG_EV);
  if (conv->disconnected) {
    if (conv->hszService) FreeHsz(conv->hszService);
    if (conv->hszTopic) FreeHsz(conv->hszTopic);
    conv->hszService = conv->hszTopic = nullptr;
    // Loops and transactions go with the conversation: their item handles too.
    for (size_t i = 0; i < conv->adviseLoops.Count(); ++i)
      if (conv->adviseLoops.At(i)->hszItem) FreeHsz(conv->adviseLoops.At(i)->hszItem);
    for (size_t i = 0; i < conv->requestLoops.Count(); ++i)
      if (conv->requestLoops.At(i)->hszItem) FreeHsz(conv->requestLoops.At(i)->hszItem);
    for (size_t i = 0; i < conv->transactions.Count(); ++i) {
      TransactionObj* t = conv->transactions.At(i);
      if ((t->transType == 1 || t->transType == 2) && t->hszItem) FreeHsz(t->hszItem);
    }
    // A host that still holds the object must not reach handles given back here.
    conv->adviseLoops.Clear();
    conv->requestLoops.Clear();
    conv->transactions.Clear();
    if (ctl.conversations) ctl.conversations->items.Remove(Widen(convKey));
    // DDEML keeps a conversation its server ended, with its string handles, until it is given
    // back; the object the host may still hold stays, marked Disconnected.
    if (!conv->released && State().idInst) {
      conv->released = true;
      Ddeml().DdeDisconnect(conv->hConv);
    }
  }
}

}  // namespace

HDDEDATA CALLBACK DdeCallback(UINT uType, UINT uFmt, HCONV hConv, HSZ hsz1, HSZ hsz2,
                              HDDEDATA hData, ULONG_PTR dwData1, ULONG_PTR) {
  HDDEDATA result = nullptr;
  common::GuardNoThrow([&] {
    ModuleState& m = State();
    if (!m.idInst) return;
    ComPtr<CorvexControl> ctl(m.owner);
    CallbackKind kind = ClassifyCallback(uType);
    Trace tr{kind.typeName, kind.returnName};
    result = reinterpret_cast<HDDEDATA>(static_cast<ULONG_PTR>(kind.returnValue));
    if (ctl && kind.handled) {
      switch (uType) {
        case XTYP_ADVDATA:
          result = AdvData(*ctl, hConv, hsz2, hData, uFmt, tr);
          break;
        case XTYP_XACT_COMPLETE:
          result = nullptr;
          XactComplete(*ctl, hConv, dwData1, hData, uFmt, tr);
          break;
        case XTYP_DISCONNECT:
          common::GuardNoThrow([&] { ServerDisconnect(*ctl, hConv); });
          break;
        case XTYP_REGISTER: {
          wstring key = ctl->AddRegisteredService(hsz1, hsz2);
          tr.typeName = "XTYP_REGISTER (Notification) [" + Ansi(key) + ", " + "]";
          ctl->Fire(4, {common::Variant(key.c_str())});
          WriteLogW(L"Event: DDERegister(" + key + L")", LOG_EV);
          break;
        }
        case XTYP_UNREGISTER: {
          std::string key = ServiceKey(H32(hsz2));
          tr.typeName = "XTYP_UNREGISTER (Notification) [" + key + "]";
          // Held for the whole step: the handler may uninitialise or replace Channels.
          ComPtr<ChannelsObj> channels(ctl->channels);
          if (channels) {
            const wstring wkey = Widen(key);
            ComPtr<ChannelObj> ch(channels->items.Find(wkey));
            if (ch) {
              const DWORD inst = m.idInst;
              ctl->Fire(5, {Str(key)});
              WriteLog("Event: DDEUnregister(" + key + ")", LOG_EV);
              // Unless the handler already took it out; and a handler that uninitialised took
              // the instance's handles with it.
              if (channels->items.Find(wkey) == ch.Get()) {
                if (ch->hszService && m.idInst && m.idInst == inst) FreeHsz(ch->hszService);
                channels->items.Remove(wkey);
              }
            }
          }
          break;
        }
      }
    } else if (!ctl && kind.handled) {
      result = uType == XTYP_ADVDATA ? reinterpret_cast<HDDEDATA>(DDE_FNOTPROCESSED) : nullptr;
      tr.typeName.clear();
    }
    WriteLog("Callback: hConv = &H" + HexH(hConv) + ", luType = " + tr.typeName + ", Return = " +
                 tr.returnName, LOG_CB);
  });
  return result;
}

}  // namespace corvane

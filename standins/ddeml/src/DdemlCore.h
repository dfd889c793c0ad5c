// Internal objects of our DDEML: instances, conversations, transactions, data objects.
// One Instance per DdeInitializeA; it owns a hidden top-level window (service announcements,
// the liveness timer), its string-handle references, its data objects and its conversations.
// Each conversation has a client window (conversations from one DdeConnectList share theirs).
#pragma once

#include <windows.h>
#include <ddeml.h>

#include <deque>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ourddeml::detail {

struct Instance;

struct DataObject {
  DWORD idInst = 0;
  UINT fmt = 0;
  HSZ hszItem = nullptr;  // recorded, not referenced
  std::vector<BYTE> bytes;
  bool appOwned = false;  // HDATA_APPOWNED: a transaction does not take it over
};

// What the client sent and what it waits for. Stays in the conversation's queue until the
// server's reply arrives, also after a time-out or an abandon, so that a late reply is taken
// by the transaction it belongs to and never by a later one.
struct Transaction {
  DWORD id = 0;
  UINT type = 0;      // XTYP_* with its XTYPF_* flags
  UINT fmt = 0;
  HSZ hszItem = nullptr;  // instance reference held until the transaction ends
  ATOM atom = 0;          // the item atom as posted
  HGLOBAL hMem = nullptr; // memory we still own (execute commands; poke/advise until acked)
  bool async = false;
  bool internal = false;  // re-established advise loop after a reconnect: no callback
  bool abandoned = false; // timed out or abandoned: absorb the reply, report nothing
  bool done = false;
  bool ok = false;
  WORD status = 0;        // the acknowledgement's status word
  UINT error = DMLERR_NO_ERROR;
  std::vector<BYTE> data; // a request's answer
  UINT dataFmt = 0;

  UINT BaseType() const { return type & ~(XTYPF_NOBLOCK | XTYPF_NODATA | XTYPF_ACKREQ); }
};

struct AdviseLink {
  HSZ hszItem;  // instance reference
  UINT fmt;
  UINT type;    // XTYP_ADVSTART with flags
};

enum class ConvState { Connected, Terminating, Terminated };

struct Conversation {
  HCONV handle = nullptr;
  DWORD idInst = 0;
  HWND client = nullptr;
  HWND server = nullptr;
  bool copies = false;  // posted data reaches the partner as a copy (Wine, other process)
  HSZ hszServiceReq = nullptr;  // instance references, released with the conversation
  HSZ hszSvcPartner = nullptr;
  HSZ hszTopic = nullptr;
  CONVCONTEXT context{};
  DWORD_PTR hUser = 0;
  HCONVLIST list = nullptr;
  ConvState state = ConvState::Connected;
  UINT lastError = 0;
  std::deque<std::shared_ptr<Transaction>> pending;
  std::vector<AdviseLink> links;
  std::shared_ptr<Transaction> syncXact;  // the synchronous transaction being waited for
};

struct ConvList {
  HCONVLIST handle = nullptr;
  DWORD idInst = 0;
  std::vector<HCONV> convs;
};

// A server window that answered an initiate.
struct InitiateAnswer {
  HWND server;
  ATOM app;
  ATOM topic;
};

struct Instance {
  DWORD id = 0;
  DWORD thread = 0;
  PFNCALLBACK callback = nullptr;
  DWORD afCmd = 0;
  UINT lastError = DMLERR_NO_ERROR;
  HWND window = nullptr;
  bool dead = false;
  int syncDepth = 0;
  DWORD nextXactId = 0;
  long globalBlocks = 0;
  // String handles: per atom one global reference while the application (or we) hold any,
  // counted here, plus spare references received in messages and reused for the next message
  // naming the same item, which saves the atom calls of a round trip.
  // A name whose last handle was freed keeps its entry and global references in a bounded
  // cache (refs 0, oldest first in `cachedAtoms`): creating it again takes no atom call. To the
  // application such a handle is freed; the atoms go back at eviction or DdeUninitialize.
  struct AtomEntry {
    std::string name;
    long refs = 0;
    long spares = 0;
    std::list<ATOM>::iterator cached;  // valid while refs is 0
  };
  std::map<ATOM, AtomEntry> atoms;
  std::map<std::string, ATOM> atomsByName;  // upper-cased name
  std::list<ATOM> cachedAtoms;
  std::vector<std::shared_ptr<Conversation>> convs;
  std::map<HWND, int> clientWindows;  // client window -> conversations using it
  // Set while an initiate broadcast is being answered.
  HWND initiatingWindow = nullptr;
  std::vector<InitiateAnswer> answers;
};

}  // namespace ourddeml::detail

// The DDE service "Excel", spoken as bare DDE messages (no DDEML): one conversation window per
// client conversation, topics = worksheet names (any case, or "[Book.xlsx]Sheet") and "System",
// items = R1C1 cell names, clipboard format CF_TEXT.
//
// Memory and atoms follow the DDE protocol: a receiver frees fRelease data it acknowledges
// positively, the sender frees what is refused. Under Wine posted data is copied into the
// receiving process and the sender's handle is never freed by anyone, so there (and only there)
// we free our own data right after a successful post.
#pragma once
#include <windows.h>

#include <list>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "WorkbookSet.h"

namespace wbs {

struct DdeStats {
  long initiates = 0, requests = 0, pokes = 0, advises = 0, unadvises = 0, executes = 0,
       terminates = 0, dataPosted = 0, negativeAcks = 0, postFailures = 0, allocFailures = 0;
};

class DdeServer : public WorkbookObserver {
 public:
  explicit DdeServer(WorkbookSet& books);
  ~DdeServer() override;
  DdeServer(const DdeServer&) = delete;
  DdeServer& operator=(const DdeServer&) = delete;

  // Creates the service window and announces the service. False when the window cannot be made.
  bool Start();
  // Ends every conversation and withdraws the service.
  void Stop();
  HWND Window() const { return main_; }
  const DdeStats& Stats() const { return stats_; }
  size_t ConversationCount() const { return convs_.size(); }
  size_t LinkCount() const { return links_.size(); }

  // WorkbookObserver
  void CellsChanged(Workbook& wb, const std::vector<CellChange>& cells) override;
  void WorkbookClosing(Workbook& wb) override;

  // EXECUTE commands ("[CALCULATE.NOW()][RUN(\"Macro\")]"): false for an unknown or failing one.
  bool Execute(const std::string& commands, std::string& error);

 private:
  struct Conv {
    HWND hwnd = nullptr, client = nullptr;
    Workbook* wb = nullptr;  // null for the System topic
    int sheet = -1;
    bool terminating = false;
  };
  struct Link {
    Conv* conv;
    CellPos pos;
    std::string item;  // as the client named it
    bool defer, ackReq;
    bool awaitingAck = false, resend = false;
    HGLOBAL unacked = nullptr;  // our data the client has not acknowledged (not under Wine)
    ATOM postedAtom = 0;        // the item's atom in the last data message
    ATOM spareAtom = 0;         // a reference to it that an acknowledgement gave back
    std::string lastText;
  };
  using LinkKey = std::tuple<const Workbook*, int, int, int>;

  static LRESULT CALLBACK MainProc(HWND, UINT, WPARAM, LPARAM);
  static LRESULT CALLBACK ConvProc(HWND, UINT, WPARAM, LPARAM);
  LRESULT OnInitiate(HWND client, ATOM app, ATOM topic);
  void OnConvMessage(Conv& c, UINT msg, LPARAM lp);
  void OnRequest(Conv& c, LPARAM lp);
  void OnPoke(Conv& c, LPARAM lp);
  void OnAdvise(Conv& c, LPARAM lp);
  void OnUnadvise(Conv& c, LPARAM lp);
  void OnExecute(Conv& c, LPARAM lp);
  void OnDataAck(Conv& c, LPARAM lp);
  void OnTerminate(Conv& c);

  Conv* FindConv(HWND h);
  Conv* NewConv(HWND client, Workbook* wb, int sheet, const std::string& topic);
  void Terminate(Conv& c);
  void DestroyConv(Conv* c);
  void RemoveLinks(Conv& c, const std::string* item);
  using LinkMap = std::multimap<LinkKey, std::list<Link>::iterator>;
  using LinkRange = std::pair<LinkMap::iterator, LinkMap::iterator>;
  // The links on the cell an item names in the conversation's sheet (maybe of other
  // conversations or other spellings); empty when the item names no cell.
  LinkRange LinksOf(const Conv& c, const std::string& item);
  void Ack(Conv& c, bool positive, UINT_PTR hi, UINT origin);
  HGLOBAL MakeData(const std::string& text, bool response, bool ackReq);
  bool PostData(Conv& c, HGLOBAL data, const std::string& item, bool keepForAck, HGLOBAL* kept,
                ATOM* posted = nullptr, ATOM reference = 0);
  void SendAdvise(Link& l);
  std::string SystemItem(const std::string& item, bool& ok) const;
  std::string TopicList() const;
  void Announce(bool registering);
  void ReleasePosted(HGLOBAL h);
  void FlushHeld();

  WorkbookSet& books_;
  HWND main_ = nullptr;
  bool freeAfterPost_ = false;
  std::vector<Conv*> convs_;
  std::list<Link> links_;
  LinkMap byCell_;
  // The links whose last update waits for its acknowledgement, by conversation and the atom
  // that update carried.
  std::map<std::pair<const Conv*, ATOM>, Link*> awaiting_;
  DdeStats stats_;
  bool holding_ = false;      // inside a poke or execute: hot links wait for its ACK
  std::vector<Link*> held_;
};

}  // namespace wbs

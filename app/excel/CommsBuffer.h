// The advise queue between the DDE control's events and the one-second update tick: a ring of
// (conversation key, item key, data) entries. A cell that changes again before the tick keeps
// one entry holding its latest text, so a cell's newest value is never lost and a busy cell
// never crowds out the others; should distinct cells ever outnumber the ring, it grows.
#pragma once
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

class CommsBuffer {
 public:
  static constexpr long kDefaultSize = 1000;

  CommsBuffer() { Allocate(kDefaultSize); }

  long BufferSize() const { return size_; }
  // A value below 1 is ignored; a valid one reallocates the ring (empty).
  void SetBufferSize(long size);

  // Queues an entry, or replaces the data of the waiting entry of the same cell.
  void Queue(const std::string& convKey, const std::string& itemKey, const std::string& data);
  // Takes the oldest entry; false (and three empty texts) when the queue is empty.
  bool DeQueue(std::string& convKey, std::string& itemKey, std::string& data);

  long Count() const { return count_; }
  long Coalesced() const { return coalesced_; }  // entries that replaced a waiting one
  long Grown() const { return grown_; }          // times the ring had to grow

  std::function<void()> QueueFull;  // raised when the ring was full (and then grew)

 private:
  struct Entry {
    std::string conv, item, data;
  };
  void Allocate(long size);
  void Grow();

  std::vector<Entry> ring_;
  std::unordered_map<std::string, long> waiting_;  // conv + "\x1f" + item -> ring slot
  long size_ = 0, write_ = 0, read_ = 0, count_ = 0;
  long coalesced_ = 0, grown_ = 0;
};

#include "CommsBuffer.h"

namespace {
std::string Key(const std::string& conv, const std::string& item) { return conv + '\x1f' + item; }
}  // namespace

void CommsBuffer::Allocate(long size) {
  ring_.assign(static_cast<std::size_t>(size), Entry{});
  waiting_.clear();
  size_ = size;
  write_ = read_ = count_ = 0;
}

void CommsBuffer::SetBufferSize(long size) {
  if (size < 1) return;
  Allocate(size);
}

void CommsBuffer::Grow() {
  // Unroll the ring into a larger one, oldest first.
  std::vector<Entry> bigger(static_cast<std::size_t>(size_) * 2);
  waiting_.clear();
  for (long i = 0; i < count_; ++i) {
    Entry& e = ring_[static_cast<std::size_t>((read_ + i) % size_)];
    waiting_[Key(e.conv, e.item)] = i;
    bigger[static_cast<std::size_t>(i)] = std::move(e);
  }
  ring_.swap(bigger);
  read_ = 0;
  write_ = count_;
  size_ *= 2;
  ++grown_;
}

void CommsBuffer::Queue(const std::string& convKey, const std::string& itemKey,
                        const std::string& data) {
  std::string key = Key(convKey, itemKey);
  auto it = waiting_.find(key);
  if (it != waiting_.end()) {
    ring_[static_cast<std::size_t>(it->second)].data = data;  // the newest text wins
    ++coalesced_;
    return;
  }
  if (count_ >= size_) {
    if (QueueFull) QueueFull();
    Grow();
  }
  ring_[static_cast<std::size_t>(write_)] = Entry{convKey, itemKey, data};
  waiting_.emplace(std::move(key), write_);
  write_ = (write_ + 1) % size_;
  ++count_;
}

bool CommsBuffer::DeQueue(std::string& convKey, std::string& itemKey, std::string& data) {
  if (count_ < 1) {
    convKey.clear();
    itemKey.clear();
    data.clear();
    return false;
  }
  Entry& e = ring_[static_cast<std::size_t>(read_)];
  waiting_.erase(Key(e.conv, e.item));
  convKey = std::move(e.conv);
  itemKey = std::move(e.item);
  data = std::move(e.data);
  e = Entry{};
  read_ = (read_ + 1) % size_;
  --count_;
  return true;
}

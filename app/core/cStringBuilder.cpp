#include "cStringBuilder.h"

#include <cstring>

void cStringBuilder::Reserve(std::size_t needed) {
  if (needed <= buf_.size()) return;
  // Grow by whole chunks, all at once, so that a long append costs one allocation.
  std::size_t missing = needed - buf_.size();
  std::size_t chunks = (missing + chunk_ - 1) / chunk_;
  buf_.resize(buf_.size() + chunks * chunk_);
}

void cStringBuilder::Append(std::string_view text) {
  if (text.empty()) return;
  Reserve(used_ + text.size());
  std::memcpy(buf_.data() + used_, text.data(), text.size());
  used_ += text.size();
}

void cStringBuilder::Clear() {
  std::string().swap(buf_);
  used_ = 0;
}

bool cStringBuilder::Insert(std::size_t pos, std::string_view text) {
  if (pos > used_) return false;
  if (text.empty()) return true;
  Reserve(used_ + text.size());
  std::memmove(buf_.data() + pos + text.size(), buf_.data() + pos, used_ - pos);
  std::memcpy(buf_.data() + pos, text.data(), text.size());
  used_ += text.size();
  return true;
}

bool cStringBuilder::Remove(std::size_t pos, std::size_t count) {
  if (pos > used_ || count > used_ - pos) return false;
  std::memmove(buf_.data() + pos, buf_.data() + pos + count, used_ - pos - count);
  used_ -= count;
  return true;
}

std::size_t cStringBuilder::Find(std::string_view text, std::size_t from) const {
  return std::string_view(buf_.data(), used_).find(text, from);
}

void cStringBuilder::Shrink() {
  // Keep whole chunks: the capacity stays a multiple of the chunk size.
  std::size_t chunks = (used_ + chunk_ - 1) / chunk_;
  buf_.resize(chunks * chunk_);
  buf_.shrink_to_fit();
}

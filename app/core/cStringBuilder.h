// A growable text buffer that grows by whole chunks. The event log keeps the run's messages in
// one of these; appends are amortised so thousands of log lines cost little.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

class cStringBuilder {
 public:
  static constexpr std::size_t kDefaultChunkSize = 8192;

  cStringBuilder() = default;

  // Chunk size in characters; a value below 1 is taken as 1.
  std::size_t ChunkSize() const { return chunk_; }
  void SetChunkSize(std::size_t chars) { chunk_ = chars < 1 ? 1 : chars; }

  std::size_t Length() const { return used_; }
  std::size_t Capacity() const { return buf_.size(); }

  void Append(std::string_view text);
  // The used part as text (empty when nothing was added).
  std::string ToString() const { return std::string(buf_.data(), used_); }
  // Empties the builder and releases its buffer.
  void Clear();

  // Text operations the log does not use but callers of the class may.
  bool Insert(std::size_t pos, std::string_view text);
  bool Remove(std::size_t pos, std::size_t count);
  // Position of the first occurrence at or after `from`, or npos.
  std::size_t Find(std::string_view text, std::size_t from = 0) const;
  // Releases the unused part of the buffer.
  void Shrink();

 private:
  void Reserve(std::size_t needed);

  std::string buf_;  // buf_.size() is the allocated capacity; only [0, used_) is text
  std::size_t used_ = 0;
  std::size_t chunk_ = kDefaultChunkSize;
};

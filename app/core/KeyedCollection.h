// An ordered collection of shared records looked up by a key that compares without regard to
// case. Adding under a key already present fails and leaves the collection unchanged.
#pragma once
#include <cctype>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

template <class T>
class KeyedCollection {
 public:
  bool Add(std::string_view key, std::shared_ptr<T> item) {
    auto [it, inserted] = index_.emplace(Fold(key), items_.size());
    if (!inserted) return false;
    items_.push_back(std::move(item));
    return true;
  }
  std::shared_ptr<T> Find(std::string_view key) const {
    auto it = index_.find(Fold(key));
    return it == index_.end() ? nullptr : items_[it->second];
  }
  bool Contains(std::string_view key) const { return index_.count(Fold(key)) > 0; }
  std::size_t Count() const { return items_.size(); }
  // In the order added.
  const std::vector<std::shared_ptr<T>>& Items() const { return items_; }
  void Clear() {
    items_.clear();
    index_.clear();
  }

  static std::string Fold(std::string_view key) {
    std::string k(key);
    for (char& c : k) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return k;
  }

 private:
  std::vector<std::shared_ptr<T>> items_;
  std::unordered_map<std::string, std::size_t> index_;
};

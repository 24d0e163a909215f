// OrderedMap: insertion-ordered map keyed by raw name bytes; replacing a value keeps its position.
#pragma once

#include <cstddef>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace pw {

template <class V>
class OrderedMap {
 public:
  using Entry = std::pair<std::string, V>;

  // Inserts or replaces; returns the entry's position.
  std::size_t insert_or_assign(const std::string& key, V value) {
    auto [it, inserted] = index_.try_emplace(key, entries_.size());
    if (inserted) {
      entries_.emplace_back(key, std::move(value));
    } else {
      entries_[it->second].second = std::move(value);
    }
    return it->second;
  }

  const V* find(const std::string& key) const {
    auto it = index_.find(key);
    return it == index_.end() ? nullptr : &entries_[it->second].second;
  }
  V* find(const std::string& key) {
    auto it = index_.find(key);
    return it == index_.end() ? nullptr : &entries_[it->second].second;
  }

  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }
  const Entry& at(std::size_t i) const { return entries_[i]; }
  Entry& at(std::size_t i) { return entries_[i]; }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }
  auto begin() { return entries_.begin(); }
  auto end() { return entries_.end(); }

 private:
  std::vector<Entry> entries_;
  std::unordered_map<std::string, std::size_t> index_;
};

}  // namespace pw

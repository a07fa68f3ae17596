// Counting how often names occur, in bounded memory. Counts are exact while
// the distinct names fit a byte budget; past it, the Space-Saving method
// (Metwally, Agrawal, El Abbadi, 2005) keeps the names that may be frequent:
// a new name takes the place of the least counted one and inherits its count
// as a bound on how much its own may be too high.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace refwarden {

class TopCounter {
 public:
  struct Entry {
    std::string name;
    std::uint64_t count = 0;
    std::uint64_t overcount = 0;  // the true count lies in [count - overcount, count]
  };

  // `budgetBytes` bounds the memory the names and their records take.
  explicit TopCounter(std::size_t budgetBytes);
  TopCounter(const TopCounter&) = delete;
  TopCounter& operator=(const TopCounter&) = delete;
  // Moving keeps the slots where they are, so the views into them stay good.
  TopCounter(TopCounter&&) = default;
  TopCounter& operator=(TopCounter&&) = default;

  // Counts one occurrence of `name`.
  void Add(std::string_view name);

  // True while every name seen is held with its exact count.
  bool exact() const { return exact_; }
  // The memory accounted to the names held; at most the budget.
  std::size_t bytes() const { return bytes_; }

  // Returns up to `n` names, highest count first, ties in byte order. When
  // exact(), every count is exact and overcount 0. Otherwise each count may
  // be too high by its overcount, and every name that occurred more often
  // than the smallest count held is among the names held.
  std::vector<Entry> Top(std::size_t n) const;

  // The number of names held whose count is `count`; so that a list cut by
  // Top can say how many more share its last count.
  std::size_t WithCount(std::uint64_t count) const;

 private:
  struct Slot {
    std::string name;
    std::uint64_t count = 0;
    std::uint64_t overcount = 0;
    std::size_t heapIndex = 0;
  };

  static std::size_t Cost(std::string_view name);
  void BuildHeap();
  void SiftUp(std::size_t i);
  void SiftDown(std::size_t i);
  void Place(std::size_t i, Slot* slot);
  Slot* EvictLeast();

  std::size_t budget_;
  std::size_t bytes_ = 0;
  bool exact_ = true;
  std::deque<Slot> slots_;  // stable addresses: index_ and heap_ point here
  std::vector<Slot*> spare_;
  std::unordered_map<std::string_view, Slot*> index_;  // views of Slot::name
  std::vector<Slot*> heap_;  // least count on top; kept only once not exact
};

}  // namespace refwarden

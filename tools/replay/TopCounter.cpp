#include "tools/replay/TopCounter.h"

#include <algorithm>

namespace refwarden {

namespace {

// What one held name costs beside its bytes: its slot, its index node and
// bucket, its heap place, and the allocator's headers.
constexpr std::size_t kRecordCost = 160;

}  // namespace

TopCounter::TopCounter(std::size_t budgetBytes) : budget_(budgetBytes) {}

std::size_t TopCounter::Cost(std::string_view name) { return name.size() + kRecordCost; }

void TopCounter::Place(std::size_t i, Slot* slot) {
  heap_[i] = slot;
  slot->heapIndex = i;
}

void TopCounter::SiftUp(std::size_t i) {
  Slot* slot = heap_[i];
  while (i > 0) {
    const std::size_t parent = (i - 1) / 2;
    if (heap_[parent]->count <= slot->count) break;
    Place(i, heap_[parent]);
    i = parent;
  }
  Place(i, slot);
}

void TopCounter::SiftDown(std::size_t i) {
  Slot* slot = heap_[i];
  const std::size_t n = heap_.size();
  for (;;) {
    std::size_t child = 2 * i + 1;
    if (child >= n) break;
    if (child + 1 < n && heap_[child + 1]->count < heap_[child]->count) ++child;
    if (heap_[child]->count >= slot->count) break;
    Place(i, heap_[child]);
    i = child;
  }
  Place(i, slot);
}

void TopCounter::BuildHeap() {
  heap_.clear();
  heap_.reserve(index_.size());
  for (const auto& entry : index_) {
    entry.second->heapIndex = heap_.size();
    heap_.push_back(entry.second);
  }
  for (std::size_t i = heap_.size() / 2; i-- > 0;) SiftDown(i);
}

// Removes the least counted name and returns its emptied slot.
TopCounter::Slot* TopCounter::EvictLeast() {
  Slot* least = heap_.front();
  index_.erase(least->name);
  bytes_ -= Cost(least->name);
  std::string().swap(least->name);  // give its memory back
  Slot* last = heap_.back();
  heap_.pop_back();
  if (!heap_.empty() && last != least) {
    Place(0, last);
    SiftDown(0);
  }
  return least;
}

void TopCounter::Add(std::string_view name) {
  const auto found = index_.find(name);
  if (found != index_.end()) {
    Slot* slot = found->second;
    ++slot->count;
    if (!exact_) SiftDown(slot->heapIndex);
    return;
  }

  const std::size_t cost = Cost(name);
  std::uint64_t floor = 0;
  if (bytes_ + cost > budget_) {
    if (exact_) {
      exact_ = false;
      BuildHeap();
    }
    while (bytes_ + cost > budget_ && !heap_.empty()) {
      Slot* freed = EvictLeast();
      floor = std::max(floor, freed->count);
      spare_.push_back(freed);
    }
  }

  Slot* slot;
  if (!spare_.empty()) {
    slot = spare_.back();
    spare_.pop_back();
  } else {
    slot = &slots_.emplace_back();
  }
  slot->name.assign(name.data(), name.size());
  slot->count = floor + 1;
  slot->overcount = floor;
  bytes_ += cost;
  index_.emplace(slot->name, slot);
  if (!exact_) {
    heap_.push_back(slot);
    SiftUp(heap_.size() - 1);
  }
}

std::vector<TopCounter::Entry> TopCounter::Top(std::size_t n) const {
  std::vector<const Slot*> held;
  held.reserve(index_.size());
  for (const auto& entry : index_) held.push_back(entry.second);
  const auto before = [](const Slot* a, const Slot* b) {
    return a->count != b->count ? a->count > b->count : a->name < b->name;
  };
  n = std::min(n, held.size());
  std::partial_sort(held.begin(), held.begin() + static_cast<std::ptrdiff_t>(n), held.end(),
                    before);
  std::vector<Entry> top;
  top.reserve(n);
  for (std::size_t i = 0; i < n; ++i)
    top.push_back({held[i]->name, held[i]->count, held[i]->overcount});
  return top;
}

std::size_t TopCounter::WithCount(std::uint64_t count) const {
  std::size_t n = 0;
  for (const auto& entry : index_) n += entry.second->count == count ? 1 : 0;
  return n;
}

}  // namespace refwarden

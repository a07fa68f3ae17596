#include "tools/replay/TopCounter.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <string>

namespace refwarden {
namespace {

// Names drawn from a heavy-tailed distribution: name i about 1/(i+1) as often.
std::vector<std::string> Stream(std::size_t length, std::size_t distinct, unsigned seed) {
  std::mt19937 random(seed);
  std::vector<double> weights;
  for (std::size_t i = 0; i < distinct; ++i) weights.push_back(1.0 / static_cast<double>(i + 1));
  std::discrete_distribution<std::size_t> pick(weights.begin(), weights.end());
  std::vector<std::string> stream;
  for (std::size_t i = 0; i < length; ++i)
    stream.push_back("/images/" + std::to_string(pick(random)) + ".jpg");
  return stream;
}

TEST(TopCounterTest, ExactWithinTheBudget) {
  TopCounter counter(1 << 20);
  std::map<std::string, std::uint64_t> truth;
  for (const std::string& name : Stream(20000, 500, 1)) {
    counter.Add(name);
    ++truth[name];
  }
  ASSERT_TRUE(counter.exact());
  const std::vector<TopCounter::Entry> all = counter.Top(truth.size() + 10);
  ASSERT_EQ(all.size(), truth.size());
  for (std::size_t i = 0; i < all.size(); ++i) {
    EXPECT_EQ(all[i].count, truth[all[i].name]) << all[i].name;
    EXPECT_EQ(all[i].overcount, 0u);
    if (i > 0) {
      EXPECT_TRUE(all[i - 1].count > all[i].count ||
                  (all[i - 1].count == all[i].count && all[i - 1].name < all[i].name));
    }
  }
}

// Past the budget: memory stays within it, every count brackets the truth,
// and the names that are truly frequent are all kept, in the right order.
TEST(TopCounterTest, SpaceSavingPastTheBudget) {
  struct Case {
    std::size_t budget, length, distinct;
  };
  const Case cases[] = {
      {8 << 10, 100000, 5000}, {32 << 10, 200000, 50000}, {4 << 10, 50000, 50000}};
  for (const Case& c : cases) {
    TopCounter counter(c.budget);
    std::map<std::string, std::uint64_t> truth;
    for (const std::string& name : Stream(c.length, c.distinct, 7)) {
      counter.Add(name);
      ++truth[name];
      ASSERT_LE(counter.bytes(), c.budget);
    }
    EXPECT_FALSE(counter.exact());
    const std::vector<TopCounter::Entry> held = counter.Top(c.length);
    const std::uint64_t least = held.back().count;
    for (const TopCounter::Entry& e : held) {
      EXPECT_LE(e.count - e.overcount, truth[e.name]) << e.name;
      EXPECT_GE(e.count, truth[e.name]) << e.name;
    }
    // A name seen more often than the least count held is held.
    for (const auto& [name, n] : truth) {
      if (n <= least) continue;
      bool found = false;
      for (const TopCounter::Entry& e : held) found = found || e.name == name;
      EXPECT_TRUE(found) << name << " seen " << n << " times, least held " << least;
    }
    EXPECT_EQ(counter.Top(1).front().name, "/images/0.jpg");
  }
}

TEST(TopCounterTest, LongNamesCountAgainstTheBudget) {
  TopCounter counter(64 << 10);
  for (int i = 0; i < 1000; ++i) counter.Add(std::string(4096, 'a') + std::to_string(i));
  EXPECT_LE(counter.bytes(), 64u << 10);
  EXPECT_FALSE(counter.exact());
  EXPECT_LE(counter.Top(1000).size(), 16u);
}

}  // namespace
}  // namespace refwarden

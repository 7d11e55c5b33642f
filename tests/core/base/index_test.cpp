// The index kinds: none of each kind, order within a kind, arenas addressed by
// their own kind, and no mixing of kinds or arithmetic at compile time.

#include "base/index.hpp"

#include <gtest/gtest.h>

#include <type_traits>
#include <vector>

#include "base/types.hpp"

namespace ostrel {
namespace {

// Whether `a op b` compiles for values of these types.
template <class A, class B>
concept Comparable = requires(A a, B b) {
  a == b;
  a < b;
};
template <class A, class B>
concept Addable = requires(A a, B b) { a + b; };
template <class A, class B>
concept Subtractable = requires(A a, B b) { a - b; };
template <class A>
concept Incrementable = requires(A a) { ++a; };
template <class Vector, class I>
concept Subscriptable = requires(Vector v, I i) { v[i]; };

static_assert(Comparable<NodeIndex, NodeIndex> && Comparable<NodeIndex, NoIndex>);
static_assert(!Comparable<NodeIndex, EdgeIndex> && !Comparable<EdgeIndex, OutcomeIndex>);
static_assert(!Comparable<NodeIndex, std::uint32_t> && !Comparable<NodeIndex, int>);
static_assert(!Subtractable<NodeIndex, int> && !Subtractable<NodeIndex, NodeIndex>);
static_assert(!Addable<EdgeIndex, int> && !Addable<NodeIndex, EdgeIndex>);
static_assert(!Incrementable<NodeIndex>);
// `EdgeIndex edge = node - 1` and friends: no conversion from a number or another kind.
static_assert(!std::is_convertible_v<NodeIndex, EdgeIndex>);
static_assert(!std::is_convertible_v<std::uint32_t, NodeIndex>);
static_assert(!std::is_convertible_v<NodeIndex, std::uint32_t>);
static_assert(std::is_convertible_v<NoIndex, OutcomeIndex>);
static_assert(Subscriptable<IndexVector<EdgeIndex, int>, EdgeIndex>);
static_assert(!Subscriptable<IndexVector<EdgeIndex, int>, NodeIndex>);
static_assert(!Subscriptable<IndexVector<EdgeIndex, int>, std::size_t>);
// As small and as cheap to copy as the integer underneath.
static_assert(sizeof(NodeIndex) == 4 && std::is_trivially_copyable_v<NodeIndex> &&
              std::is_trivially_default_constructible_v<NodeIndex>);

TEST(IndexTest, NoneIsAllOnesAndOrdersLast) {
  const NodeIndex none = NO_INDEX;
  EXPECT_FALSE(none.has_value());
  EXPECT_EQ(none.value(), 0xFFFFFFFFu);
  EXPECT_TRUE(NodeIndex(0).has_value());
  EXPECT_TRUE(NodeIndex(0xFFFFFFFEu).has_value());
  EXPECT_LT(NodeIndex(0xFFFFFFFEu), none);
  EXPECT_TRUE(NodeIndex(3) == NodeIndex(3) && NodeIndex(3) != NO_INDEX);
  EXPECT_EQ(index_cast<EdgeIndex>(NodeIndex(7)), EdgeIndex(7));
}

TEST(IndexTest, VectorHandsOutItsIndicesInOrder) {
  IndexVector<OutcomeIndex, char> records;
  EXPECT_EQ(records.next_index(), OutcomeIndex(0));
  for (char c : {'a', 'b', 'c'}) records.push_back(c);
  std::vector<OutcomeIndex> seen;
  for (const OutcomeIndex i : records.indices()) seen.push_back(i);
  EXPECT_EQ(seen, (std::vector<OutcomeIndex>{OutcomeIndex(0), OutcomeIndex(1), OutcomeIndex(2)}));
  EXPECT_EQ(records[OutcomeIndex(2)], 'c');
  EXPECT_EQ(records.next_index(), OutcomeIndex(3));
  EXPECT_TRUE(records.contains(OutcomeIndex(2)));
  EXPECT_FALSE(records.contains(OutcomeIndex(3)) || records.contains(NO_INDEX));
}

}  // namespace
}  // namespace ostrel

#pragma once
// Typed indices into the core's arenas: one type per kind of record, all 32
// bits wide and as cheap as the integer they wrap, so that an index of one
// kind cannot be used, compared or stored as another. None of them has
// arithmetic; the arena hands out its indices (IndexVector::indices,
// next_index), and turning one kind into another is a named step (index_cast,
// or a function that states the rule that relates the two arenas).
//
//   struct NodeKind;                       // a tag, never defined
//   using NodeIndex = Index<NodeKind>;
//   IndexVector<NodeIndex, TrieNode> nodes;
//   for (const NodeIndex i : nodes.indices()) ... nodes[i] ...
//   NodeIndex parent = NO_INDEX;           // none, of any kind
//   if (parent.has_value()) ...

#include <compare>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <utility>
#include <vector>

namespace ostrel {

// "No record", of whichever kind is expected: the all-ones value underneath.
struct NoIndex {
  static constexpr std::uint32_t VALUE = ~std::uint32_t{0};
};
inline constexpr NoIndex NO_INDEX{};

// An index of kind `Kind` (a tag type). Default construction leaves it
// uninitialised, like the integer it wraps, so that records holding indices
// stay trivial and arenas grow as fast as before; write NO_INDEX for none.
template <class Kind>
class Index {
 public:
  using Raw = std::uint32_t;

  Index() = default;
  constexpr Index(NoIndex) noexcept : value_(NoIndex::VALUE) {}  // NOLINT: none converts
  template <std::integral I>
  constexpr explicit Index(I value) noexcept : value_(static_cast<Raw>(value)) {}

  // Whether this is a record's index rather than none.
  constexpr bool has_value() const noexcept { return value_ != NoIndex::VALUE; }
  // The position in the arena (all ones for none), for side tables kept per
  // record and for persistent states.
  constexpr Raw value() const noexcept { return value_; }

  friend constexpr bool operator==(const Index&, const Index&) noexcept = default;
  friend constexpr auto operator<=>(const Index&, const Index&) noexcept = default;

 private:
  Raw value_;
};

// The same position read as an index of another kind. For arenas whose
// records correspond one to one by construction; the caller names the rule.
template <class To, class FromKind>
constexpr To index_cast(Index<FromKind> from) noexcept {
  return To(from.value());
}

// The indices 0 .. n - 1 of one kind, in order.
template <class I>
class IndexRange {
 public:
  class iterator {
   public:
    using value_type = I;
    using difference_type = std::ptrdiff_t;
    iterator() = default;
    constexpr explicit iterator(typename I::Raw at) noexcept : at_(at) {}
    constexpr I operator*() const noexcept { return I(at_); }
    constexpr iterator& operator++() noexcept {
      ++at_;
      return *this;
    }
    constexpr iterator operator++(int) noexcept {
      iterator old = *this;
      ++at_;
      return old;
    }
    friend constexpr bool operator==(iterator, iterator) noexcept = default;

   private:
    typename I::Raw at_ = 0;
  };

  constexpr IndexRange(std::size_t begin, std::size_t end) noexcept
      : begin_(static_cast<typename I::Raw>(begin)), end_(static_cast<typename I::Raw>(end)) {}
  constexpr iterator begin() const noexcept { return iterator(begin_); }
  constexpr iterator end() const noexcept { return iterator(end_); }

 private:
  typename I::Raw begin_, end_;
};

// A vector of records addressed by one index kind only. Holds at most
// NoIndex::VALUE records (the caller checks before it grows, see
// MAX_RECORDS).
template <class I, class T>
class IndexVector {
 public:
  using value_type = T;
  using iterator = typename std::vector<T>::iterator;
  using const_iterator = typename std::vector<T>::const_iterator;

  IndexVector() = default;
  explicit IndexVector(std::size_t n) : items_(n) {}
  IndexVector(std::size_t n, const T& value) : items_(n, value) {}

  T& operator[](I i) noexcept { return items_[i.value()]; }
  const T& operator[](I i) const noexcept { return items_[i.value()]; }

  std::size_t size() const noexcept { return items_.size(); }
  bool empty() const noexcept { return items_.empty(); }
  std::size_t capacity() const noexcept { return items_.capacity(); }
  // The index the next record appended will have.
  I next_index() const noexcept { return I(items_.size()); }
  // Every index held, in order.
  IndexRange<I> indices() const noexcept { return IndexRange<I>(0, items_.size()); }
  // Whether `i` addresses a record here (false for none).
  bool contains(I i) const noexcept { return i.value() < items_.size(); }

  void reserve(std::size_t n) { items_.reserve(n); }
  void resize(std::size_t n) { items_.resize(n); }
  void resize(std::size_t n, const T& value) { items_.resize(n, value); }
  void assign(std::size_t n, const T& value) { items_.assign(n, value); }
  void clear() noexcept { items_.clear(); }
  void shrink_to_fit() { items_.shrink_to_fit(); }
  void push_back(const T& value) { items_.push_back(value); }
  template <class... Args>
  T& emplace_back(Args&&... args) {
    return items_.emplace_back(std::forward<Args>(args)...);
  }
  T& back() noexcept { return items_.back(); }
  const T& back() const noexcept { return items_.back(); }

  iterator begin() noexcept { return items_.begin(); }
  iterator end() noexcept { return items_.end(); }
  const_iterator begin() const noexcept { return items_.begin(); }
  const_iterator end() const noexcept { return items_.end(); }
  T* data() noexcept { return items_.data(); }
  const T* data() const noexcept { return items_.data(); }

  friend bool operator==(const IndexVector&, const IndexVector&) = default;

 private:
  std::vector<T> items_;
};

}  // namespace ostrel

// Where the simulated registry keeps its keys and values: one hive per key tree, handed out a
// piece at a time from large blocks and given back only as a whole, with the tree.  A registry of
// hundreds of thousands of keys is then a few hundred blocks instead of millions of allocations,
// and names and data are views into those blocks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <memory>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

namespace sim::internal {

// A value's bytes, in the hive of its key; an empty view of a null pointer is "none".
struct Bytes {
  const std::uint8_t* ptr = nullptr;
  std::uint32_t count = 0;

  const std::uint8_t* data() const { return ptr; }
  std::size_t size() const { return count; }
  bool empty() const { return count == 0; }
  const std::uint8_t* begin() const { return ptr; }
  const std::uint8_t* end() const { return ptr + count; }
  std::uint8_t operator[](std::size_t i) const { return ptr[i]; }
  std::uint8_t back() const { return ptr[count - 1]; }
  std::span<const std::uint8_t> span() const { return {ptr, count}; }
  std::vector<std::uint8_t> vector() const { return {begin(), end()}; }
  friend bool operator==(Bytes a, Bytes b) {
    return a.count == b.count && (a.count == 0 || std::memcmp(a.ptr, b.ptr, a.count) == 0);
  }
};

class Hive : public std::enable_shared_from_this<Hive> {
 public:
  Hive() = default;
  Hive(const Hive&) = delete;
  Hive& operator=(const Hive&) = delete;

  void* allocate(std::size_t size, std::size_t align) {
    auto at = reinterpret_cast<std::uintptr_t>(cursor_);
    std::uintptr_t aligned = (at + align - 1) & ~(static_cast<std::uintptr_t>(align) - 1);
    if (cursor_ != nullptr && aligned + size <= reinterpret_cast<std::uintptr_t>(limit_)) {
      cursor_ = reinterpret_cast<std::byte*>(aligned + size);
      used_ += size;
      return reinterpret_cast<void*>(aligned);
    }
    return allocate_in_new_block(size, align);
  }
  template <class T>
  T* allocate_array(std::size_t count) {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);
    return static_cast<T*>(allocate(count * sizeof(T), alignof(T)));
  }
  // Gives the end of the last allocation back when `p` of `size` bytes is that allocation and
  // only `used` bytes of it are kept; otherwise nothing happens.
  void shrink_last(const void* p, std::size_t size, std::size_t used);

  std::string_view copy(std::string_view text);
  Bytes copy(std::span<const std::uint8_t> bytes);

  // From how many bytes on a tree counts as large: its blocks are then huge pages.
  static constexpr std::size_t kLargeTree = std::size_t{16} << 20;
  // Told before a tree is read that it will be large: huge pages from its first large block on.
  void expect_large() { large_ = true; }

  // Keeps another hive as long as this one: keys moved from its tree into this one.
  void keep(std::shared_ptr<Hive> other);

  std::size_t used() const { return used_; }  // bytes handed out and kept, for tests

 private:
  struct Free {
    void operator()(std::byte* block) const { std::free(block); }
  };
  void* new_block(std::size_t size);
  void* allocate_in_new_block(std::size_t size, std::size_t align);

  std::vector<std::unique_ptr<std::byte, Free>> blocks_;
  std::byte* cursor_ = nullptr;
  std::byte* limit_ = nullptr;
  std::size_t next_block_ = std::size_t{16} << 10;
  std::size_t used_ = 0;
  std::size_t reserved_ = 0;  // in blocks
  bool large_ = false;
  std::vector<std::shared_ptr<Hive>> kept_;
};

// An array in a hive that grows by doubling there (what it leaves behind stays with the hive);
// for trivially copyable items.
template <class T>
class Slab {
 public:
  T* begin() { return items_; }
  T* end() { return items_ + size_; }
  const T* begin() const { return items_; }
  const T* end() const { return items_ + size_; }
  std::reverse_iterator<const T*> rbegin() const { return std::reverse_iterator<const T*>(end()); }
  std::reverse_iterator<const T*> rend() const { return std::reverse_iterator<const T*>(begin()); }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](std::size_t i) { return items_[i]; }
  const T& operator[](std::size_t i) const { return items_[i]; }
  T& back() { return items_[size_ - 1]; }
  const T& back() const { return items_[size_ - 1]; }

  void insert(Hive& hive, std::size_t at, const T& item) {
    if (size_ == capacity_) {
      std::uint32_t capacity = capacity_ == 0 ? 1 : capacity_ * 2;
      T* items = hive.allocate_array<T>(capacity);
      if (size_ > 0) std::memcpy(static_cast<void*>(items), items_, size_ * sizeof(T));
      items_ = items;
      capacity_ = capacity;
    }
    std::memmove(static_cast<void*>(items_ + at + 1), items_ + at, (size_ - at) * sizeof(T));
    items_[at] = item;
    ++size_;
  }
  void push_back(Hive& hive, const T& item) { insert(hive, size_, item); }
  // Exactly these items, in one allocation.
  void assign(Hive& hive, std::span<const T> items) {
    items_ = items.empty() ? nullptr : hive.allocate_array<T>(items.size());
    if (!items.empty()) std::memcpy(static_cast<void*>(items_), items.data(), items.size() * sizeof(T));
    size_ = capacity_ = static_cast<std::uint32_t>(items.size());
  }
  void erase(std::size_t at) {
    std::memmove(static_cast<void*>(items_ + at), items_ + at + 1, (size_ - at - 1) * sizeof(T));
    --size_;
  }
  void clear() { size_ = 0; }

 private:
  T* items_ = nullptr;
  std::uint32_t size_ = 0;
  std::uint32_t capacity_ = 0;
};

}  // namespace sim::internal

// The blocks a key tree lives in: a bump of a pointer per allocation, the blocks growing with
// the tree up to a few megabytes each, and all of them freed together.
#include "platform/sim/machine/hive.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

namespace sim::internal {

namespace {

// A block grows from 16 KiB (a small test registry) to this with each block taken.
constexpr std::size_t kLargestBlock = std::size_t{4} << 20;

}  // namespace

void* Hive::new_block(std::size_t size) {
  // A large tree's blocks (once it holds kLargeTree, or from the start when it is expected to)
  // are whole huge pages where the host has them: a fault per 2 MiB instead of one per 4 KiB,
  // and faults were most of a large registry's system time.  A smaller tree keeps small pages:
  // a huge page is resident whole from its first byte, and the unused end of the last one would
  // be a sizeable part of a small registry's memory.
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  bool huge = size % kHugePage == 0 && (large_ || reserved_ >= kLargeTree);
  reserved_ += size;
  void* block = huge ? std::aligned_alloc(kHugePage, size) : std::malloc(size);
#ifdef MADV_HUGEPAGE
  if (huge && block != nullptr) ::madvise(block, size, MADV_HUGEPAGE);
#endif
  if (block == nullptr) throw std::bad_alloc();  // as new would
  blocks_.emplace_back(static_cast<std::byte*>(block));
  return block;
}

void* Hive::allocate_in_new_block(std::size_t size, std::size_t align) {
  // Something larger than a quarter of a block gets a block of its own, and the current block
  // goes on serving the small pieces.
  if (size + align > next_block_ / 4) {
    auto own = reinterpret_cast<std::uintptr_t>(new_block(size + align));
    used_ += size;
    return reinterpret_cast<void*>((own + align - 1) & ~(static_cast<std::uintptr_t>(align) - 1));
  }
  cursor_ = static_cast<std::byte*>(new_block(next_block_));
  limit_ = cursor_ + next_block_;
  next_block_ = std::min(next_block_ * 2, kLargestBlock);
  return allocate(size, align);
}

void Hive::shrink_last(const void* p, std::size_t size, std::size_t used) {
  if (static_cast<const std::byte*>(p) + size != cursor_) return;
  cursor_ -= size - used;
  used_ -= size - used;
}

std::string_view Hive::copy(std::string_view text) {
  if (text.empty()) return {};
  auto* out = static_cast<char*>(allocate(text.size(), 1));
  std::memcpy(out, text.data(), text.size());
  return {out, text.size()};
}

Bytes Hive::copy(std::span<const std::uint8_t> bytes) {
  // Never a null pointer, even for no bytes: a null view means "no data at all".
  auto* out = static_cast<std::uint8_t*>(allocate(std::max<std::size_t>(bytes.size(), 1), 1));
  if (!bytes.empty()) std::memcpy(out, bytes.data(), bytes.size());
  return {out, static_cast<std::uint32_t>(bytes.size())};
}

void Hive::keep(std::shared_ptr<Hive> other) {
  if (other.get() == this || std::find(kept_.begin(), kept_.end(), other) != kept_.end()) return;
  kept_.push_back(std::move(other));
}

}  // namespace sim::internal

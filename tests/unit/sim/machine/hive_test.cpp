// The hive a key tree lives in: every piece aligned and apart from the others whatever its size,
// the end of the last piece given back, and a loaded registry taking little more room than its
// text.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/sim/machine/registry.h"

namespace {

using sim::internal::Hive;
using sim::internal::KeyPtr;

TEST(HiveTest, PiecesOfEverySizeAreAlignedAndApart) {
  Hive hive;
  struct Piece {
    unsigned char* at;
    std::size_t size;
  };
  std::vector<Piece> pieces;
  // Small ones, ones past a block's quarter (a block of their own) and one past the largest block.
  for (std::size_t size : {1u, 3u, 8u, 4095u, 5000u, 70000u, 1u << 20, 5u << 20}) {
    for (std::size_t align : {1u, 8u, 16u}) {
      auto* at = static_cast<unsigned char*>(hive.allocate(size, align));
      ASSERT_EQ(reinterpret_cast<std::uintptr_t>(at) % align, 0u) << size << " " << align;
      std::memset(at, static_cast<int>(pieces.size() & 0xFF), size);
      pieces.push_back({at, size});
    }
  }
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    const Piece& piece = pieces[i];
    for (std::size_t b = 0; b < piece.size; b += 97) ASSERT_EQ(piece.at[b], i & 0xFF) << i;
    ASSERT_EQ(piece.at[piece.size - 1], i & 0xFF) << i;
  }
}

TEST(HiveTest, TheEndOfTheLastPieceIsGivenBackAndNoOtherPiece) {
  Hive hive;
  auto* first = static_cast<unsigned char*>(hive.allocate(100, 1));
  hive.shrink_last(first, 100, 10);
  EXPECT_EQ(static_cast<unsigned char*>(hive.allocate(5, 1)), first + 10);
  std::size_t used = hive.used();
  hive.shrink_last(first, 10, 2);  // no longer the last piece
  EXPECT_EQ(hive.used(), used);
  EXPECT_EQ(static_cast<unsigned char*>(hive.allocate(1, 1)), first + 15);
}

TEST(HiveTest, ALoadedRegistryTakesLittleMoreRoomThanItsText) {
  // Keys as a large registry holds them: a string, a DWORD and 48 bytes of binary data each.
  std::string text = "Windows Registry Editor Version 5.00\n\n";
  for (int i = 0; i < 20000; ++i) {
    text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Bench\\Group" + std::to_string(i / 100) + "\\Key" +
            std::to_string(i) + "]\n\"Name\"=\"Board " + std::to_string(i) + " of the benchmark\"\n" +
            "\"Index\"=dword:00000001\n\"Data\"=hex:";
    for (int b = 0; b < 48; ++b) text += b == 0 ? "0f" : ",0f";
    text += "\n\n";
  }
  KeyPtr root;
  std::string error;
  ASSERT_TRUE(sim::internal::parse_reg_file(text, "registry.reg", &root, &error)) << error;
  double ratio = static_cast<double>(root->hive->used()) / static_cast<double>(text.size());
  // 1.35; a key's values kept in a list that doubles as it grows would make it 2.2.
  EXPECT_LT(ratio, 1.5);
}

}  // namespace

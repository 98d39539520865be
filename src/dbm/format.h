// On-disk layout of a pool: blocks, the block header, the pool header and
// the file descriptors. All integers are unsigned big-endian; times are
// seconds since 1970-01-01 00:00 UTC, 0 for "never".
//
// Block (2048 bytes): a 20-byte header, then 2028 bytes of data area.
//
//   BlockHeader  offset width
//     link          0    4   free block: next free block (0 = end); else 0
//     file          4    2   owning logical file; 0 in control and free blocks
//     free          6    2   free bytes of the data area (2028 when empty)
//     reserved      8    4   0
//     next         12    4   index blocks: right neighbour (0 = rightmost)
//     (zero)       16    1   0
//     type         17    1   1 pool header, 2 file descriptors, 4 index, 0 data/free
//     level        18    1   index blocks: 1 leaf, +1 per level above; else 0
//     count        19    1   entries or items, at most 255
//
// Block 0: the pool header (free 1988, type 1, count 1).
//
//   PoolHeader   offset width
//     OPEN         20    1   "O" while open
//     ERROR        21    1   0, "S" after an unclean end seen in check mode, "E" damaged
//     INIT         24    1   "I" once initialised
//     VERSION      26    2   200
//     FIRST        28    4   24
//     LAST         32    4   highest block that exists
//     FREE         36    4   lowest block never handed out
//     CHAIN        40    4   first freed block, 0 if none
//     CLOSED       44    4   time of the last close
//     SAVED        48    4   time of the last save
//     INITIATED    52    4   time of initialisation
//     EXTENDS      56    2   extent files beyond the base file
//
// Blocks 1 to 23: file descriptor blocks (free 28, type 2, count 50), 50
// slots of 40 bytes from offset 20. File n has its slot in block n / 50 + 1
// at offset 20 + (n mod 50) * 40; an all-zero slot means no such file.
//
//   FileDescriptor offset width
//     FILE          0    2   file number 1..999
//     MAIN          2    2   subfile: its main file
//     role          4    1   0x80 main, 0x40 normal, 0x20 subfile
//     index flags   6    1   0x01 fixed keys, 0x02 variable keys, 0x08 record file
//     data flags    7    1   0x01 fixed data, 0x02 variable data, 0x10 data/record, 0x20 list
//     START         8    4   root block of the index
//     LAST         12    4   record files: highest IDN issued
//     LEVEL        16    2   index levels above the leaves
//     INDEXLEN     20    2   key length, 4..128
//     entry data   22    2   data bytes of each index entry
//     data offset  24    2   subfiles: where their part of the entry data begins
//     DATALEN      26    2   data length setting
//     ITEMLEN      28    2   list files: item length, 2..64
//     fill free    30    2   free bytes of the fill block
//     fill block   32    4   data block last seen with the most room
//
// Extents: block b lies in extent e = b / 1048575 at byte offset
// (b - e * 1048575) * 2048; extent 0 is the base file, extent e the file
// "<base>.<e>".
#pragma once

#include <array>
#include <cstdint>

namespace corvanta::dbm {

inline constexpr std::size_t kBlockSize = 2048;
inline constexpr std::size_t kBlockHeaderSize = 20;
inline constexpr std::size_t kDataAreaSize = kBlockSize - kBlockHeaderSize;  // 2028
inline constexpr std::uint32_t kBlocksPerExtent = 1048575;
inline constexpr std::uint32_t kFirstBlock = 24;
inline constexpr std::uint32_t kDescriptorBlocks = 23;
inline constexpr std::uint16_t kVersion = 200;
inline constexpr int kMaxFileNumber = 999;
inline constexpr std::size_t kDescriptorSize = 40;
inline constexpr std::size_t kDescriptorsPerBlock = 50;
inline constexpr std::uint32_t kExtendBlocks = 8;

inline constexpr std::uint8_t kTypeData = 0;
inline constexpr std::uint8_t kTypePoolHeader = 1;
inline constexpr std::uint8_t kTypeDescriptors = 2;
inline constexpr std::uint8_t kTypeIndex = 4;

// Roles and flags of a file descriptor.
inline constexpr std::uint8_t kRoleMain = 0x80;
inline constexpr std::uint8_t kRoleNormal = 0x40;
inline constexpr std::uint8_t kRoleSub = 0x20;
inline constexpr std::uint8_t kIndexFixed = 0x01;
inline constexpr std::uint8_t kIndexVariable = 0x02;
inline constexpr std::uint8_t kIndexRecord = 0x08;
inline constexpr std::uint8_t kDataFixed = 0x01;
inline constexpr std::uint8_t kDataVariable = 0x02;
inline constexpr std::uint8_t kDataData = 0x10;
inline constexpr std::uint8_t kDataList = 0x20;

using Block = std::array<unsigned char, kBlockSize>;

struct BlockHeader {
  std::uint32_t link = 0;
  std::uint16_t file = 0;
  std::uint16_t free = 0;
  std::uint32_t reserved = 0;
  std::uint32_t next = 0;
  std::uint8_t type = 0;
  std::uint8_t level = 0;
  std::uint8_t count = 0;
};

void encode_block_header(const BlockHeader& h, unsigned char* block);
BlockHeader decode_block_header(const unsigned char* block);

struct PoolHeader {
  char open = 0;
  char error = 0;
  char init = 0;
  std::uint16_t version = 0;
  std::uint32_t first = 0;
  std::uint32_t last = 0;
  std::uint32_t free = 0;
  std::uint32_t chain = 0;
  std::uint32_t closed = 0;
  std::uint32_t saved = 0;
  std::uint32_t initiated = 0;
  std::uint16_t extends = 0;
};

// The whole block 0: block header and pool header, everything else zero.
Block encode_pool_header(const PoolHeader& h);
PoolHeader decode_pool_header(const Block& block);

struct FileDescriptor {
  std::uint16_t file = 0;
  std::uint16_t main = 0;
  std::uint8_t role = 0;
  std::uint8_t index_flags = 0;
  std::uint8_t data_flags = 0;
  std::uint32_t start = 0;
  std::uint32_t last = 0;
  std::uint16_t level = 0;
  std::uint16_t index_length = 0;
  std::uint16_t entry_data_length = 0;
  std::uint16_t data_offset = 0;
  std::uint16_t data_length = 0;
  std::uint16_t item_length = 0;
  std::uint16_t fill_free = 0;
  std::uint32_t fill_block = 0;

  bool is_list() const { return (data_flags & kDataList) != 0; }
  bool is_record() const { return (index_flags & kIndexRecord) != 0; }
  bool is_main() const { return role == kRoleMain; }
  bool is_sub() const { return role == kRoleSub; }
};

void encode_descriptor(const FileDescriptor& d, unsigned char* slot);
FileDescriptor decode_descriptor(const unsigned char* slot);

// Where file n's descriptor lies.
inline std::uint32_t descriptor_block(int n) {
  return static_cast<std::uint32_t>(n / 50 + 1);
}
inline std::size_t descriptor_offset(int n) {
  return kBlockHeaderSize + static_cast<std::size_t>(n % 50) * kDescriptorSize;
}

// An empty descriptor block (type 2, count 50, free 28).
Block empty_descriptor_block();

}  // namespace corvanta::dbm

#include "dbm/format.h"

#include "util/big_endian.h"

namespace corvanta::dbm {
namespace {

constexpr std::uint16_t kHeaderBlockFree = 1988;
constexpr std::uint16_t kDescriptorBlockFree = 28;

}  // namespace

void encode_block_header(const BlockHeader& h, unsigned char* b) {
  put_u32(b + 0, h.link);
  put_u16(b + 4, h.file);
  put_u16(b + 6, h.free);
  put_u32(b + 8, h.reserved);
  put_u32(b + 12, h.next);
  b[16] = 0;
  b[17] = h.type;
  b[18] = h.level;
  b[19] = h.count;
}

BlockHeader decode_block_header(const unsigned char* b) {
  BlockHeader h;
  h.link = get_u32(b + 0);
  h.file = get_u16(b + 4);
  h.free = get_u16(b + 6);
  h.reserved = get_u32(b + 8);
  h.next = get_u32(b + 12);
  h.type = b[17];
  h.level = b[18];
  h.count = b[19];
  return h;
}

Block encode_pool_header(const PoolHeader& h) {
  Block b{};
  BlockHeader bh;
  bh.free = kHeaderBlockFree;
  bh.type = kTypePoolHeader;
  bh.count = 1;
  encode_block_header(bh, b.data());
  b[20] = static_cast<unsigned char>(h.open);
  b[21] = static_cast<unsigned char>(h.error);
  b[24] = static_cast<unsigned char>(h.init);
  put_u16(&b[26], h.version);
  put_u32(&b[28], h.first);
  put_u32(&b[32], h.last);
  put_u32(&b[36], h.free);
  put_u32(&b[40], h.chain);
  put_u32(&b[44], h.closed);
  put_u32(&b[48], h.saved);
  put_u32(&b[52], h.initiated);
  put_u16(&b[56], h.extends);
  return b;
}

PoolHeader decode_pool_header(const Block& b) {
  PoolHeader h;
  h.open = static_cast<char>(b[20]);
  h.error = static_cast<char>(b[21]);
  h.init = static_cast<char>(b[24]);
  h.version = get_u16(&b[26]);
  h.first = get_u32(&b[28]);
  h.last = get_u32(&b[32]);
  h.free = get_u32(&b[36]);
  h.chain = get_u32(&b[40]);
  h.closed = get_u32(&b[44]);
  h.saved = get_u32(&b[48]);
  h.initiated = get_u32(&b[52]);
  h.extends = get_u16(&b[56]);
  return h;
}

void encode_descriptor(const FileDescriptor& d, unsigned char* s) {
  for (std::size_t i = 0; i < kDescriptorSize; ++i) s[i] = 0;
  put_u16(s + 0, d.file);
  put_u16(s + 2, d.main);
  s[4] = d.role;
  s[6] = d.index_flags;
  s[7] = d.data_flags;
  put_u32(s + 8, d.start);
  put_u32(s + 12, d.last);
  put_u16(s + 16, d.level);
  put_u16(s + 20, d.index_length);
  put_u16(s + 22, d.entry_data_length);
  put_u16(s + 24, d.data_offset);
  put_u16(s + 26, d.data_length);
  put_u16(s + 28, d.item_length);
  put_u16(s + 30, d.fill_free);
  put_u32(s + 32, d.fill_block);
}

FileDescriptor decode_descriptor(const unsigned char* s) {
  FileDescriptor d;
  d.file = get_u16(s + 0);
  d.main = get_u16(s + 2);
  d.role = s[4];
  d.index_flags = s[6];
  d.data_flags = s[7];
  d.start = get_u32(s + 8);
  d.last = get_u32(s + 12);
  d.level = get_u16(s + 16);
  d.index_length = get_u16(s + 20);
  d.entry_data_length = get_u16(s + 22);
  d.data_offset = get_u16(s + 24);
  d.data_length = get_u16(s + 26);
  d.item_length = get_u16(s + 28);
  d.fill_free = get_u16(s + 30);
  d.fill_block = get_u32(s + 32);
  return d;
}

Block empty_descriptor_block() {
  Block b{};
  BlockHeader bh;
  bh.free = kDescriptorBlockFree;
  bh.type = kTypeDescriptors;
  bh.count = static_cast<std::uint8_t>(kDescriptorsPerBlock);
  encode_block_header(bh, b.data());
  return b;
}

}  // namespace corvanta::dbm

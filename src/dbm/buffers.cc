// The rings of block buffers.
#include <algorithm>

#include "dbm/codes.h"
#include "dbm/pool.h"

namespace corvanta::dbm {

void BufferPool::resize(std::size_t frames) {
  // The frames themselves are made when a slot is first used: opening a
  // pool for one short command does not pay for thousands of them.
  frames_.clear();
  slots_.clear();
  if (frames == 0) frames = kDefaultFrames;
  frames_.resize(frames);
  cursor_ = 0;
}

Frame& BufferPool::slot_frame(std::size_t slot) {
  if (frames_[slot] == nullptr) frames_[slot] = std::make_unique<Frame>();
  return *frames_[slot];
}

std::vector<std::uint32_t> BufferPool::blocks() const {
  std::vector<std::uint32_t> out;
  for (const auto& f : frames_) out.push_back(f != nullptr ? f->block : 0);
  return out;
}

// The slot that holds block b (a block is held by one slot at most), or -1.
int BufferPool::lookup(std::uint32_t b) const {
  return b < slots_.size() ? slots_[b] : -1;
}

void BufferPool::assign(std::size_t slot, std::uint32_t b) {
  Frame& f = slot_frame(slot);
  if (f.block != 0 && f.block < slots_.size()) slots_[f.block] = -1;
  f.block = b;
  if (b == 0) return;
  if (b >= slots_.size()) slots_.resize(std::max<std::size_t>(b + 1, slots_.size() * 2), -1);
  slots_[b] = static_cast<std::int32_t>(slot);
}

ResultCode BufferPool::write_frame(Pool& pool, Frame& frame) {
  frame.encode();
  if (!pool.extents.write_block(frame.block, frame.image.data(), kBlockSize)) return kWriteError;
  frame.dirty = 0;
  ++stats_.writes;
  return 0;
}

BufferPool* BufferPool::other(Pool& pool) {
  if (this == &pool.index_buffers) return &pool.data_buffers;
  if (this == &pool.data_buffers) return &pool.index_buffers;
  return nullptr;
}

void BufferPool::forget(std::uint32_t b) {
  const int slot = lookup(b);
  if (slot < 0) return;
  frames_[static_cast<std::size_t>(slot)]->dirty = 0;
  assign(static_cast<std::size_t>(slot), 0);
}

ResultCode BufferPool::write_back(Pool& pool, std::uint32_t b) {
  const int slot = lookup(b);
  if (slot < 0) return 0;
  Frame& f = *frames_[static_cast<std::size_t>(slot)];
  return f.dirty == 255 ? write_frame(pool, f) : ResultCode(0);
}

ResultCode BufferPool::read_through(Pool& pool, std::uint32_t b, Frame*& frame) {
  if (b < kFirstBlock || b > pool.header.last) return kBadBlockNumber;
  if (frames_.empty()) return kMissingArgument;
  advance();
  const int found = lookup(b);
  if (found >= 0) {
    const auto slot = static_cast<std::size_t>(found);
    std::swap(frames_[slot], frames_[cursor_]);
    if (frames_[slot] != nullptr && frames_[slot]->block != 0)
      slots_[frames_[slot]->block] = static_cast<std::int32_t>(slot);
    slots_[b] = static_cast<std::int32_t>(cursor_);
    ++stats_.hits;
  } else {
    Frame& victim = slot_frame(cursor_);
    if (victim.dirty == 255) {
      if (const ResultCode rc = write_frame(pool, victim); rc.failed()) return rc;
    }
    if (BufferPool* o = other(pool)) {
      if (const ResultCode rc = o->write_back(pool, b); rc.failed()) return rc;
    }
    assign(cursor_, b);
    victim.dirty = 0;
    if (!pool.extents.read_block(b, victim.image.data(), kBlockSize)) {
      assign(cursor_, 0);
      return kReadError;
    }
    ++stats_.reads;
    victim.decode();
  }
  frame = frames_[cursor_].get();
  return 0;
}

ResultCode BufferPool::write_through(Pool& pool, std::uint32_t b, const Frame& source, bool immediately) {
  if (b < kFirstBlock || b > pool.header.last) return kBadBlockNumber;
  if (frames_.empty()) return kMissingArgument;
  advance();
  const int found = lookup(b);
  Frame* target = nullptr;
  std::size_t slot = cursor_;
  if (found >= 0) {
    slot = static_cast<std::size_t>(found);
    target = frames_[slot].get();
  } else {
    target = &slot_frame(cursor_);
    if (target->dirty == 255) {
      if (const ResultCode rc = write_frame(pool, *target); rc.failed()) return rc;
    }
  }
  assign(slot, 0);
  *target = source;
  target->block = 0;
  assign(slot, b);
  if (BufferPool* o = other(pool)) o->forget(b);
  if (pool.write_policy() == 'W' && !immediately) {
    target->dirty = 255;
    return 0;
  }
  return write_frame(pool, *target);
}

ResultCode BufferPool::get(Pool& pool, FileDescriptor& fd, int level, std::uint32_t b, Frame& out) {
  const Frame* frame = nullptr;
  if (const ResultCode rc = view(pool, fd, level, b, frame); rc.failed()) return rc;
  out = *frame;
  return 0;
}

ResultCode BufferPool::view(Pool& pool, FileDescriptor& fd, int level, std::uint32_t b, const Frame*& out) {
  Frame* frame = nullptr;
  if (const ResultCode rc = read_through(pool, b, frame); rc.failed()) return rc;
  if (frame->level != level || frame->file != fd.file) {
    fd.fill_block = 0;
    fd.fill_free = 0;
    return kWrongBlock;
  }
  if (level == 0 && frame->count < 255 && frame->free >= 0) {
    const auto free = static_cast<std::uint16_t>(frame->free);
    if (free > fd.fill_free || (b == fd.fill_block && free < fd.fill_free)) {
      fd.fill_block = b;
      fd.fill_free = free;
    }
  }
  out = frame;
  return 0;
}

ResultCode BufferPool::put(Pool& pool, FileDescriptor& fd, int level, std::uint32_t b, Frame& frame) {
  if (frame.level != level || frame.file != fd.file) return kWrongBlock;
  if (frame.free < 0) return kNegativeFree;
  // The free tail of the data area is kept zero.
  const auto free = static_cast<std::size_t>(std::min<int>(frame.free, static_cast<int>(kDataAreaSize)));
  std::fill(frame.data() + (kDataAreaSize - free), frame.data() + kDataAreaSize, 0);
  if (level == 0) {
    const auto room = static_cast<std::uint16_t>(frame.count > 254 ? 0 : frame.free);
    if (!(b != fd.fill_block && fd.fill_free >= room)) {
      fd.fill_block = b;
      fd.fill_free = room;
    }
  }
  return write_through(pool, b, frame, false);
}

ResultCode BufferPool::make_new(Pool& pool, const FileDescriptor& fd, Frame& out) {
  ResultCode result = 0;
  if (pool.header.chain != 0) {
    Frame* frame = nullptr;
    if (const ResultCode rc = read_through(pool, pool.header.chain, frame); rc.failed()) return rc;
    if (frame->file != 0) {
      pool.header.chain = 0;
      return kBadFreeChain;
    }
    out = *frame;
    pool.header.chain = out.link;
    out.link = 0;
  } else {
    const std::uint32_t b = pool.header.free++;
    if (b >= pool.header.last) result = pool.extend();
    out.image.fill(0);
    out.block = b;
    out.link = 0;
    out.next = 0;
    out.reserved = 0;
  }
  out.free = static_cast<std::int16_t>(kDataAreaSize);
  out.count = 0;
  out.file = fd.file;
  out.level = 0;
  out.type = kTypeData;
  out.dirty = 0;
  return result;
}

ResultCode BufferPool::release(Pool& pool, FileDescriptor& fd, int level, std::uint32_t b, Frame& frame) {
  if (frame.level != level || frame.file != fd.file) return kWrongBlock;
  if (b == fd.fill_block) {
    fd.fill_block = 0;
    fd.fill_free = 0;
  }
  frame.image.fill(0);
  frame.next = 0;
  frame.reserved = 0;
  frame.free = 0;
  frame.file = 0;
  frame.count = 0;
  frame.type = 0;
  frame.level = 0;
  frame.link = pool.header.chain;
  if (const ResultCode rc = write_through(pool, b, frame, true); rc.failed()) return rc;
  pool.header.chain = b;
  frame.block = 0;
  return 0;
}

ResultCode BufferPool::flush(Pool& pool) {
  if (pool.write_policy() != 'W') return 0;
  for (auto& f : frames_) {
    if (f != nullptr && f->dirty == 255) {
      if (const ResultCode rc = write_frame(pool, *f); rc.failed()) return rc;
    }
  }
  return 0;
}

}  // namespace corvanta::dbm

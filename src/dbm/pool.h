// A pool's physical files, its control data and its block buffers.
//
// Extents owns the open files of one pool: the base file and the extent
// files "<base>.<e>", opened when a block in them is first reached. Pool is
// the handle of one open pool: its name and mode, the control data (pool
// header and the 999 file descriptors), the extents and the two rings of
// block buffers. It creates, opens, checks, extends and closes pools; the
// index, data and list modules work on blocks through its buffers.
//
// Layouts are in format.h. Single-threaded. Between processes a pool is
// guarded twice: by the OPEN flag in its header, and by a lock on its base
// file that an open pool holds until it is closed (exclusive for the modes
// that write, R, U and C; shared for mode I). A pool whose lock another
// process (or another handle in this one) holds is refused as in use.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dbm/file_io.h"
#include "dbm/format.h"
#include "util/result.h"

namespace corvanta::dbm {

class Extents {
 public:
  explicit Extents(FileSystem& fs) : fs_(fs) {}
  Extents(const Extents&) = delete;
  Extents& operator=(const Extents&) = delete;

  // Opens the base file; false on failure. Forgets extents opened before.
  bool open_base(const std::string& path, OpenMode mode);
  // Reads or writes `length` bytes at the start of block b, opening the
  // extent when needed (in mode "U" a missing extent is created). A read
  // that gets fewer bytes than asked fails too.
  bool read_block(std::uint32_t b, unsigned char* data, std::size_t length);
  bool write_block(std::uint32_t b, const unsigned char* data, std::size_t length);
  // The size in bytes of extent e, or -1.
  off_t extent_size(int e);
  // Closes every file; false when a close failed (the rest are still closed).
  bool close_all();
  bool is_open() const { return !files_.empty() && files_[0] != nullptr; }
  // The extents opened behind the base file.
  int count() const { return files_.empty() ? 0 : static_cast<int>(files_.size()) - 1; }
  const std::string& path() const { return path_; }
  OpenMode mode() const { return mode_; }
  FileSystem& file_system() { return fs_; }

  static std::string extent_path(const std::string& base, int e);

 private:
  File* extent(int e);

  FileSystem& fs_;
  std::string path_;
  OpenMode mode_ = OpenMode::ReadOnly;
  std::vector<std::unique_ptr<File>> files_;  // [0] base file, [e] extent e
};

// A block in memory: the header fields and the image of the whole block.
struct Frame {
  std::uint32_t block = 0;  // 0: empty
  std::uint32_t link = 0;
  std::uint32_t next = 0;
  std::uint32_t reserved = 0;
  std::int16_t free = 0;  // negative: overflow
  std::uint16_t file = 0;
  std::uint16_t count = 0;
  std::uint8_t type = 0;
  std::uint8_t level = 0;
  std::uint8_t dirty = 0;  // 255: changed, not yet written
  Block image{};

  unsigned char* data() { return image.data() + kBlockHeaderSize; }
  const unsigned char* data() const { return image.data() + kBlockHeaderSize; }
  void decode();  // header fields from the image
  void encode();  // header fields into the image
};

class Pool;

// The frames of a ring whose size is not given.
inline constexpr std::size_t kDefaultFrames = 10;

// A ring of frames with a rotating cursor: the cache of one kind of block
// ("I" index or "D" data) of one pool.
class BufferPool {
 public:
  BufferPool() = default;
  // Makes room for `frames` frames (0: kDefaultFrames), forgetting the ones held.
  void resize(std::size_t frames);
  void release_frames() { frames_.clear(); }

  // The caller's copy of block b, after the level and file checks.
  ResultCode get(Pool& pool, FileDescriptor& fd, int level, std::uint32_t b, Frame& out);
  // Block b itself, to read only: valid until the next call on this ring.
  ResultCode view(Pool& pool, FileDescriptor& fd, int level, std::uint32_t b, const Frame*& out);
  // Stores the caller's frame as block b.
  ResultCode put(Pool& pool, FileDescriptor& fd, int level, std::uint32_t b, Frame& frame);
  // Allocates a block for the file into the caller's frame; nothing is
  // written until it is put.
  ResultCode make_new(Pool& pool, const FileDescriptor& fd, Frame& out);
  // Returns block b to the free chain at once; the frame becomes empty.
  ResultCode release(Pool& pool, FileDescriptor& fd, int level, std::uint32_t b, Frame& frame);
  // Writes every dirty frame; the first error ends it.
  ResultCode flush(Pool& pool);

  std::size_t size() const { return frames_.size(); }
  struct Stats {
    std::uint64_t hits = 0;
    std::uint64_t reads = 0;   // blocks read from disk
    std::uint64_t writes = 0;  // blocks written to disk
  };
  const Stats& stats() const { return stats_; }
  // Block numbers held, by slot (for tests of the replacement order).
  std::vector<std::uint32_t> blocks() const;

 private:
  int lookup(std::uint32_t b) const;
  void advance() { cursor_ = cursor_ + 1 >= frames_.size() ? 0 : cursor_ + 1; }
  ResultCode write_frame(Pool& pool, Frame& frame);
  ResultCode read_through(Pool& pool, std::uint32_t b, Frame*& frame);
  ResultCode write_through(Pool& pool, std::uint32_t b, const Frame& source, bool immediately);
  // The pool's other ring. A block lives in one ring at a time: a block
  // written or freed here is dropped there, and one read from disk here is
  // first written there when it waits there unwritten.
  BufferPool* other(Pool& pool);
  void forget(std::uint32_t b);
  ResultCode write_back(Pool& pool, std::uint32_t b);

  // The frame of a slot, made when the slot is first used.
  Frame& slot_frame(std::size_t slot);
  // Sets the block a slot holds, keeping the block-to-slot map in step.
  void assign(std::size_t slot, std::uint32_t b);

  std::vector<std::unique_ptr<Frame>> frames_;  // null: a slot not used yet
  // Which slot holds a block (-1: none), by block number: a ring of
  // thousands of frames is searched in constant time.
  std::vector<std::int32_t> slots_;
  std::size_t cursor_ = 0;
  Stats stats_;
};

// Open modes of a pool.
inline constexpr char kModeRead = 'R';     // read and write; OPEN written only with the header
inline constexpr char kModeUpdate = 'U';   // read and write; OPEN written at open
inline constexpr char kModeCheck = 'C';    // check and repair
inline constexpr char kModeInquiry = 'I';  // read only

class Pool {
 public:
  // A handle for the pool `name` with base file `path`; nothing is opened.
  Pool(FileSystem& fs, std::string name, std::string path);
  ~Pool();
  Pool(const Pool&) = delete;
  Pool& operator=(const Pool&) = delete;

  // Makes a new, empty pool (32 blocks): deletes the extents of an old pool
  // at that path, writes the control area and extends it once. Refuses a
  // file that exists but is not a pool (its header's code).
  static ResultCode initialize(FileSystem& fs, const std::string& name, const std::string& path);

  // Opens in mode R, U, C or I; `write_policy` 'W' defers block writes.
  // Index and data rings get the given sizes (0: 10).
  ResultCode open(char mode, char write_policy = ' ', std::size_t index_frames = 10,
                  std::size_t data_frames = 10);
  // Writes deferred blocks and the control data (unless mode I) and closes
  // the files. When a block or the control data cannot be written, the
  // header is left marked open (and damaged when blocks were lost), so
  // that the next open must check the pool; the handle is closed anyway.
  ResultCode close();
  bool is_open() const { return open_; }

  // Takes the lock on the base file without waiting: 0, -211 when another
  // holder has it, -206 when the base file cannot be opened. open() does
  // this itself; the save commands, which work on the files directly, call
  // it to keep writers out while they copy.
  ResultCode lock(bool exclusive);
  void unlock() { lock_.reset(); }

  // Control data.
  ResultCode read_header();
  ResultCode write_header();
  ResultCode read_descriptor(int n, FileDescriptor& out);
  ResultCode write_descriptor(const FileDescriptor& fd);
  ResultCode clear_descriptor(int n);
  ResultCode load_control();
  ResultCode store_control(char letter);
  ResultCode extend();
  // The descriptor of file n, or nullptr.
  FileDescriptor* file(int n);
  // Adds a descriptor to the loaded table and writes it.
  ResultCode add_file(const FileDescriptor& fd);
  // Writes the descriptor now, or leaves it to the close under policy "W".
  ResultCode descriptor_changed(const FileDescriptor& fd);

  // Check and repair of mode "C" without the IDN recount.
  ResultCode check_and_repair();

  // Kind letter 'I' or 'D'; nullptr for another letter.
  BufferPool* buffers(char kind);

  const std::string& name() const { return name_; }
  char mode() const { return mode_; }
  char write_policy() const { return write_policy_; }
  PoolHeader header;
  Extents extents;
  BufferPool index_buffers;
  BufferPool data_buffers;
  bool journal_open = false;

 private:
  void free_control();

  std::string name_;
  std::string path_;
  std::unique_ptr<File> lock_;  // holds the lock on the base file
  char mode_ = 0;
  char write_policy_ = ' ';
  bool open_ = false;
  bool control_loaded_ = false;
  std::array<std::unique_ptr<FileDescriptor>, kMaxFileNumber + 1> files_;
};

// The POOL_PROT listings of the header and of a descriptor.
std::string format_header(const std::string& pool_name, const PoolHeader& h);
std::string format_descriptor(const FileDescriptor& fd);

}  // namespace corvanta::dbm

// Byte streams for the codecs: files and memory blocks behind one interface.
//
// Every read reports how many bytes it delivered, and the checked helpers (ReadExact, ReadU16LE,
// ...) return false instead of inventing data, so that codecs can test each read against the
// bytes that exist. Only opening or creating a file raises (TKvIOError); reading and writing
// never raise.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// A platform error of the I/O layer (a file that cannot be opened or created).
class TKvIOError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TKvStream {
 public:
  virtual ~TKvStream() = default;

  // Reads up to `count` bytes; returns the number delivered (0 at the end).
  virtual size_t Read(void* buffer, size_t count) = 0;
  // Writes `count` bytes; returns the number written (short on a write error).
  virtual size_t Write(const void* buffer, size_t count) = 0;
  // Moves to an absolute position; false when the position is negative or cannot be reached.
  virtual bool Seek(int64_t position) = 0;
  virtual int64_t Position() const = 0;
  virtual int64_t Size() const = 0;
  // Pushes buffered output to its target; false when that fails.
  virtual bool Flush() { return true; }

  int64_t Remaining() const;
  // Moves `count` bytes forward (or back for a negative count).
  bool Skip(int64_t count) { return Seek(Position() + count); }

  // Checked reads: true only when every requested byte arrived.
  bool ReadExact(void* buffer, size_t count) { return Read(buffer, count) == count; }
  bool ReadByte(uint8_t& value) { return ReadExact(&value, 1); }
  bool ReadU16LE(uint16_t& value);
  bool ReadU32LE(uint32_t& value);
  bool ReadI32LE(int32_t& value);
  bool ReadU16BE(uint16_t& value);
  bool ReadU32BE(uint32_t& value);

  // Checked writes: true only when every byte was written.
  bool WriteExact(const void* buffer, size_t count) { return Write(buffer, count) == count; }
  bool WriteByte(uint8_t value) { return WriteExact(&value, 1); }
  bool WriteText(const std::string& text) { return WriteExact(text.data(), text.size()); }
  bool WriteU16LE(uint16_t value);
  bool WriteU32LE(uint32_t value);
  bool WriteI32LE(int32_t value) { return WriteU32LE(uint32_t(value)); }
  bool WriteU16BE(uint16_t value);
  bool WriteU32BE(uint32_t value);
};

// A file opened for reading (others may read it too) or created for writing.
class TKvFileStream : public TKvStream {
 public:
  // Raise TKvIOError with "Cannot open file \"<expanded name>\". <system text>" or
  // "Cannot create file \"<expanded name>\". <system text>".
  static std::unique_ptr<TKvFileStream> OpenRead(const std::string& name);
  // Creates the file, replacing an old one.
  static std::unique_ptr<TKvFileStream> Create(const std::string& name);
  // Creates a file that must not exist yet (mode 0666 less the umask); nullptr with errno set
  // when that fails. Does not raise.
  static std::unique_ptr<TKvFileStream> CreateNew(const std::string& name);
  ~TKvFileStream() override;
  TKvFileStream(const TKvFileStream&) = delete;
  TKvFileStream& operator=(const TKvFileStream&) = delete;

  size_t Read(void* buffer, size_t count) override;
  size_t Write(const void* buffer, size_t count) override;
  bool Seek(int64_t position) override;
  int64_t Position() const override { return position_; }
  int64_t Size() const override { return size_; }
  bool Flush() override;
  // Flushes and closes; false when buffered data could not be written. Safe to call twice.
  bool Close();
  const std::string& Name() const { return name_; }

 private:
  TKvFileStream(std::FILE* file, std::string name, int64_t size, bool writable);
  std::FILE* file_ = nullptr;
  std::string name_;
  int64_t position_ = 0;
  int64_t size_ = 0;
  bool writable_ = false;
  bool failed_ = false;
};

// A stream over memory: either its own growable bytes or a read-only view of outside bytes.
class TKvMemoryStream : public TKvStream {
 public:
  TKvMemoryStream() = default;
  explicit TKvMemoryStream(std::vector<uint8_t> bytes) : own_(std::move(bytes)) {}
  // Read-only view; the bytes must outlive the stream.
  TKvMemoryStream(const void* data, size_t size);

  size_t Read(void* buffer, size_t count) override;
  size_t Write(const void* buffer, size_t count) override;
  bool Seek(int64_t position) override;
  int64_t Position() const override { return position_; }
  int64_t Size() const override;

  // The stream's own bytes (empty for a view).
  const std::vector<uint8_t>& Bytes() const { return own_; }
  std::vector<uint8_t> TakeBytes() { return std::move(own_); }
  // When >= 0, writes fail once the stream would grow beyond this many bytes (for tests of
  // short writes).
  int64_t WriteLimit = -1;

 private:
  const uint8_t* Data() const { return view_ ? view_ : own_.data(); }
  std::vector<uint8_t> own_;
  const uint8_t* view_ = nullptr;
  size_t viewSize_ = 0;
  int64_t position_ = 0;
};

// The absolute, lexically normalised form of a file name (for messages).
std::string KvExpandFileName(const std::string& name);

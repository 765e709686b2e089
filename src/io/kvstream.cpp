// File and memory streams. File streams sit on stdio with a large buffer; the position and size
// are tracked here so that codecs reading byte by byte do not ask the system for them.
#include "io/kvstream.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <limits>

namespace {

// Buffer of a file stream (bytes): large enough that row-by-row codecs rarely reach the system.
constexpr size_t kFileBufferSize = 64 * 1024;

std::string SystemErrorText(int code) {
  return std::strerror(code);
}

}  // namespace

std::string KvExpandFileName(const std::string& name) {
  std::error_code ec;
  std::filesystem::path p = std::filesystem::absolute(std::filesystem::path(name), ec);
  if (ec) return name;
  return p.lexically_normal().string();
}

// --- TKvStream helpers --------------------------------------------------------------------------

int64_t TKvStream::Remaining() const {
  const int64_t rest = Size() - Position();
  return rest > 0 ? rest : 0;
}

bool TKvStream::ReadU16LE(uint16_t& value) {
  uint8_t b[2];
  if (!ReadExact(b, 2)) return false;
  value = uint16_t(b[0] | (b[1] << 8));
  return true;
}

bool TKvStream::ReadU32LE(uint32_t& value) {
  uint8_t b[4];
  if (!ReadExact(b, 4)) return false;
  value = uint32_t(b[0]) | (uint32_t(b[1]) << 8) | (uint32_t(b[2]) << 16) | (uint32_t(b[3]) << 24);
  return true;
}

bool TKvStream::ReadI32LE(int32_t& value) {
  uint32_t u;
  if (!ReadU32LE(u)) return false;
  value = int32_t(u);
  return true;
}

bool TKvStream::ReadU16BE(uint16_t& value) {
  uint8_t b[2];
  if (!ReadExact(b, 2)) return false;
  value = uint16_t((b[0] << 8) | b[1]);
  return true;
}

bool TKvStream::ReadU32BE(uint32_t& value) {
  uint8_t b[4];
  if (!ReadExact(b, 4)) return false;
  value = (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | uint32_t(b[3]);
  return true;
}

bool TKvStream::WriteU16LE(uint16_t value) {
  const uint8_t b[2] = {uint8_t(value), uint8_t(value >> 8)};
  return WriteExact(b, 2);
}

bool TKvStream::WriteU32LE(uint32_t value) {
  const uint8_t b[4] = {uint8_t(value), uint8_t(value >> 8), uint8_t(value >> 16),
                        uint8_t(value >> 24)};
  return WriteExact(b, 4);
}

bool TKvStream::WriteU16BE(uint16_t value) {
  const uint8_t b[2] = {uint8_t(value >> 8), uint8_t(value)};
  return WriteExact(b, 2);
}

bool TKvStream::WriteU32BE(uint32_t value) {
  const uint8_t b[4] = {uint8_t(value >> 24), uint8_t(value >> 16), uint8_t(value >> 8),
                        uint8_t(value)};
  return WriteExact(b, 4);
}

// --- TKvFileStream ------------------------------------------------------------------------------

TKvFileStream::TKvFileStream(std::FILE* file, std::string name, int64_t size, bool writable)
    : file_(file), name_(std::move(name)), size_(size), writable_(writable) {
  std::setvbuf(file_, nullptr, _IOFBF, kFileBufferSize);
}

TKvFileStream::~TKvFileStream() {
  Close();
}

std::unique_ptr<TKvFileStream> TKvFileStream::OpenRead(const std::string& name) {
  std::FILE* f = std::fopen(name.c_str(), "rb");
  int64_t size = 0;
  if (f != nullptr) {
    std::error_code ec;
    if (std::filesystem::is_directory(name, ec)) {
      std::fclose(f);
      f = nullptr;
      errno = EISDIR;
    }
  }
  if (f == nullptr) {
    const int code = errno;
    throw TKvIOError("Cannot open file \"" + KvExpandFileName(name) + "\". " +
                     SystemErrorText(code));
  }
  if (fseeko(f, 0, SEEK_END) == 0) size = ftello(f);
  if (size < 0) size = 0;
  fseeko(f, 0, SEEK_SET);
  return std::unique_ptr<TKvFileStream>(new TKvFileStream(f, name, size, false));
}

std::unique_ptr<TKvFileStream> TKvFileStream::Create(const std::string& name) {
  std::FILE* f = std::fopen(name.c_str(), "w+b");
  if (f == nullptr) {
    const int code = errno;
    throw TKvIOError("Cannot create file \"" + KvExpandFileName(name) + "\". " +
                     SystemErrorText(code));
  }
  return std::unique_ptr<TKvFileStream>(new TKvFileStream(f, name, 0, true));
}

std::unique_ptr<TKvFileStream> TKvFileStream::CreateNew(const std::string& name) {
  const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) return nullptr;
  std::FILE* f = ::fdopen(fd, "w+b");
  if (f == nullptr) {
    const int code = errno;
    ::close(fd);
    ::unlink(name.c_str());
    errno = code;
    return nullptr;
  }
  return std::unique_ptr<TKvFileStream>(new TKvFileStream(f, name, 0, true));
}

size_t TKvFileStream::Read(void* buffer, size_t count) {
  if (file_ == nullptr || count == 0) return 0;
  const size_t got = std::fread(buffer, 1, count, file_);
  position_ += int64_t(got);
  return got;
}

size_t TKvFileStream::Write(const void* buffer, size_t count) {
  if (file_ == nullptr || !writable_ || failed_) return 0;
  if (count == 0) return 0;
  const size_t put = std::fwrite(buffer, 1, count, file_);
  if (put != count) failed_ = true;
  position_ += int64_t(put);
  if (position_ > size_) size_ = position_;
  return put;
}

bool TKvFileStream::Seek(int64_t position) {
  if (file_ == nullptr || position < 0) return false;
  if (!writable_ && position > size_) return false;
  if (fseeko(file_, off_t(position), SEEK_SET) != 0) return false;
  position_ = position;
  return true;
}

bool TKvFileStream::Flush() {
  if (file_ == nullptr) return !failed_;
  if (writable_ && std::fflush(file_) != 0) failed_ = true;
  return !failed_;
}

bool TKvFileStream::Close() {
  if (file_ == nullptr) return !failed_;
  if (writable_ && std::fflush(file_) != 0) failed_ = true;
  if (std::fclose(file_) != 0 && writable_) failed_ = true;
  file_ = nullptr;
  return !failed_;
}

// --- TKvMemoryStream ----------------------------------------------------------------------------

TKvMemoryStream::TKvMemoryStream(const void* data, size_t size)
    : view_(static_cast<const uint8_t*>(data)), viewSize_(size) {}

int64_t TKvMemoryStream::Size() const {
  return view_ != nullptr ? int64_t(viewSize_) : int64_t(own_.size());
}

size_t TKvMemoryStream::Read(void* buffer, size_t count) {
  const int64_t size = Size();
  if (position_ >= size || count == 0) return 0;
  const size_t n = size_t(std::min<int64_t>(int64_t(count), size - position_));
  std::memcpy(buffer, Data() + position_, n);
  position_ += int64_t(n);
  return n;
}

size_t TKvMemoryStream::Write(const void* buffer, size_t count) {
  if (view_ != nullptr || count == 0) return 0;
  size_t n = count;
  if (WriteLimit >= 0) {
    const int64_t room = WriteLimit - position_;
    if (room <= 0) return 0;
    n = size_t(std::min<int64_t>(int64_t(count), room));
  }
  const size_t end = size_t(position_) + n;
  if (end > own_.size()) own_.resize(end);
  std::memcpy(own_.data() + position_, buffer, n);
  position_ = int64_t(end);
  return n;
}

bool TKvMemoryStream::Seek(int64_t position) {
  if (position < 0 || position > Size()) return false;
  position_ = position;
  return true;
}

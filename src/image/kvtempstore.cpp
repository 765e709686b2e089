#include "image/kvtempstore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <random>
#include <stdexcept>
#include <vector>

namespace {

// Block size of whole-store copies: big enough for few system calls, small enough to stay cheap.
constexpr int64_t kCopyBlockBytes = 1048576;
// Rows handed to one vectored call: at most the system's limit of pieces per call (1024 on
// Linux, and at least 16 everywhere), and few enough that the piece list stays on the stack.
constexpr int kRowsPerVectoredCall = IOV_MAX < 1024 ? IOV_MAX : 1024;
// Tries before giving up on finding an unused name (names are random below 2^31 - 1).
constexpr int kNameAttempts = 64;

std::string RandomName(const std::string& folder) {
  static thread_local std::mt19937 rng{std::random_device{}()};
  std::uniform_int_distribution<uint32_t> dist(0, 2147483646u);
  char hex[9];
  std::snprintf(hex, sizeof hex, "%08X", dist(rng));
  std::string dir = folder;
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return dir + "IMG-" + hex + ".tmp";
}

bool EnoughSpace(const std::string& folder, int64_t size) {
  struct statvfs vfs {};
  if (statvfs(folder.c_str(), &vfs) != 0) return true;  // unknown: let the write decide
  const long double avail = (long double)vfs.f_bavail * (long double)vfs.f_frsize;
  return avail >= (long double)size + (long double)TKvTempStore::kSpareBytes;
}

}  // namespace

TKvTempStore::TKvTempStore(const std::string& folder, int64_t size) : size_(size) {
  if (!EnoughSpace(folder, size)) {
    error_ = "Not enough free disk space for a temporary image file in " + folder;
    return;
  }
  for (int attempt = 0; attempt < kNameAttempts && fd_ < 0; ++attempt) {
    name_ = RandomName(folder);
    fd_ = ::open(name_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd_ < 0 && errno != EEXIST) break;
  }
  if (fd_ < 0) {
    error_ = "Unable to create " + name_;
    return;
  }
  ::unlink(name_.c_str());  // delete-on-close: the pages live as long as the descriptor
  if (size_ > 0 && ::ftruncate(fd_, off_t(size_)) != 0) {
    ::close(fd_);
    fd_ = -1;
    error_ = "Unable to create " + name_;
  }
}

TKvTempStore::~TKvTempStore() {
  if (fd_ >= 0) ::close(fd_);
}

void TKvTempStore::Read(int64_t offset, void* buffer, int64_t length) const {
  auto* out = static_cast<uint8_t*>(buffer);
  while (length > 0) {
    const ssize_t n = ::pread(fd_, out, size_t(length), off_t(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0)
      throw std::runtime_error("Temporary image file read failed: " +
                               std::string(std::strerror(errno)));
    if (n == 0) {
      std::memset(out, 0, size_t(length));
      return;
    }
    out += n;
    offset += n;
    length -= n;
  }
}

void TKvTempStore::Write(int64_t offset, const void* buffer, int64_t length) {
  const auto* in = static_cast<const uint8_t*>(buffer);
  while (length > 0) {
    const ssize_t n = ::pwrite(fd_, in, size_t(length), off_t(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0)
      throw std::runtime_error("Temporary image file write failed: " +
                               std::string(std::strerror(errno)));
    in += n;
    offset += n;
    length -= n;
  }
}

bool TKvTempStore::Resize(int64_t size) {
  if (fd_ < 0 || size < 0) return false;
  if (size == size_) return true;
  if (size > size_) {
    struct statvfs vfs {};
    if (::fstatvfs(fd_, &vfs) == 0) {
      const long double avail = (long double)vfs.f_bavail * (long double)vfs.f_frsize;
      if (avail < (long double)(size - size_) + (long double)kSpareBytes) return false;
    }
  }
  if (::ftruncate(fd_, off_t(size)) != 0) return false;
  size_ = size;
  return true;
}

void TKvTempStore::CopyFrom(const TKvTempStore& source) {
  std::vector<uint8_t> block(static_cast<size_t>(kCopyBlockBytes));
  const int64_t total = std::min(size_, source.size_);
  for (int64_t pos = 0; pos < total; pos += kCopyBlockBytes) {
    const int64_t n = std::min(kCopyBlockBytes, total - pos);
    source.Read(pos, block.data(), n);
    Write(pos, block.data(), n);
  }
}

namespace {

// One vectored transfer of rows [first, first + count) at `offset`. Returns the bytes moved, or
// -1 with errno set; the caller finishes a short transfer piece by piece.
template <typename Row>
ssize_t TransferRows(int fd, bool write, int64_t offset, Row* rows, int count, int64_t rowLength) {
  iovec pieces[kRowsPerVectoredCall];
  for (int i = 0; i < count; ++i) {
    pieces[i].iov_base = const_cast<uint8_t*>(static_cast<const uint8_t*>(rows[i]));
    pieces[i].iov_len = size_t(rowLength);
  }
  for (;;) {
    const ssize_t n = write ? ::pwritev(fd, pieces, count, off_t(offset))
                            : ::preadv(fd, pieces, count, off_t(offset));
    if (n >= 0 || errno != EINTR) return n;
  }
}

}  // namespace

void TKvTempStore::WriteRows(int64_t offset, const uint8_t* const* rows, int count,
                             int64_t rowLength) {
  for (int first = 0; first < count; first += kRowsPerVectoredCall) {
    const int n = std::min(kRowsPerVectoredCall, count - first);
    const int64_t at = offset + int64_t(first) * rowLength;
    const ssize_t done = TransferRows(fd_, true, at, rows + first, n, rowLength);
    if (done < 0)
      throw std::runtime_error("Temporary image file write failed: " +
                               std::string(std::strerror(errno)));
    // A short write is finished row by row through the plain path (which reports errors).
    for (int i = int(done / rowLength); i < n; ++i) {
      const int64_t skip = i == int(done / rowLength) ? done % rowLength : 0;
      Write(at + int64_t(i) * rowLength + skip, rows[first + i] + skip, rowLength - skip);
    }
  }
}

void TKvTempStore::ReadRows(int64_t offset, uint8_t* const* rows, int count,
                            int64_t rowLength) const {
  for (int first = 0; first < count; first += kRowsPerVectoredCall) {
    const int n = std::min(kRowsPerVectoredCall, count - first);
    const int64_t at = offset + int64_t(first) * rowLength;
    const ssize_t done = TransferRows(fd_, false, at, rows + first, n, rowLength);
    if (done < 0)
      throw std::runtime_error("Temporary image file read failed: " +
                               std::string(std::strerror(errno)));
    // A short read (end of the file, or a signal) is finished by the plain path, which fills
    // zeros past the end.
    for (int i = int(done / rowLength); i < n; ++i) {
      const int64_t skip = i == int(done / rowLength) ? done % rowLength : 0;
      Read(at + int64_t(i) * rowLength + skip, rows[first + i] + skip, rowLength - skip);
    }
  }
}

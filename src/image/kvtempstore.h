// Temporary-file page store of kvTempFile buffers.
//
// The file is created anew (O_EXCL) in the temporary folder under the name
// "IMG-" + 8 upper-case hex digits + ".tmp" and unlinked at once, so nothing is left behind
// even when the process dies: the open descriptor keeps the pages alive until it is closed.
#pragma once

#include <cstdint>
#include <string>

class TKvTempStore {
 public:
  // Creates the store for `size` bytes in `folder`; Ok() tells whether that worked and
  // Error() why not ("Unable to create " + name, or the free-space refusal).
  TKvTempStore(const std::string& folder, int64_t size);
  ~TKvTempStore();
  TKvTempStore(const TKvTempStore&) = delete;
  TKvTempStore& operator=(const TKvTempStore&) = delete;

  bool Ok() const { return fd_ >= 0; }
  const std::string& Error() const { return error_; }
  const std::string& FileName() const { return name_; }
  int64_t Size() const { return size_; }

  // Reads/writes `length` bytes at `offset`; short reads past the end fill zeros.
  void Read(int64_t offset, void* buffer, int64_t length) const;
  void Write(int64_t offset, const void* buffer, int64_t length);
  // Changes the size of the store (the content up to the smaller size stays). Growth demands the
  // same free space beyond the new bytes as a new store; false, with nothing changed, on refusal.
  bool Resize(int64_t size);
  // Copies the whole content of `source` (same size) in 1 MiB blocks.
  void CopyFrom(const TKvTempStore& source);
  // Writes/reads `count` rows of `rowLength` bytes each, stored one after the other from
  // `offset`, straight from/into the caller's row buffers (`rows[i]` is row i), with a few
  // vectored system calls instead of one call per row.
  void WriteRows(int64_t offset, const uint8_t* const* rows, int count, int64_t rowLength);
  void ReadRows(int64_t offset, uint8_t* const* rows, int count, int64_t rowLength) const;

  // Free space the store demands beyond the image size, in bytes.
  static constexpr int64_t kSpareBytes = 128000000;

 private:
  int fd_ = -1;
  int64_t size_ = 0;
  std::string name_;
  std::string error_;
};

#include "c4d_file.h"

#include <atomic>
#include <cstring>
#include <filesystem>

#include "c4d_host.h"

namespace {
std::atomic<Int64> gWriteFailureAfter{-1};
std::atomic<Int64> gBytesWritten{0};
constexpr size_t kBufferSize = 1 << 20;
}  // namespace

namespace host {
void SetWriteFailureAfter(Int64 bytes) {
  gWriteFailureAfter = bytes;
  gBytesWritten = 0;
}
Int64 GetWriteFailureAfter() { return gWriteFailureAfter; }
}  // namespace host

BaseFile::~BaseFile() { Close(); }

Bool BaseFile::Open(const Filename& name, FILEOPEN mode, FILEDIALOG error_dialog, BYTEORDER order,
                    Int32, Int32) {
  Close();
  error_ = FILEERROR_NONE;
  order_ = order;
  mode_ = mode;
  position_ = 0;
  try {
    target_ = name.GetSystemPath();
    if (mode == FILEOPEN_WRITE) {
      // Write beside the target and move over it on a successful close, so that a failed
      // write never leaves a truncated file where a good one was. Everything that can fail
      // for want of memory happens before the temporary file exists.
      buffer_.clear();
      buffer_.reserve(kBufferSize);
      std::filesystem::path t(target_);
      std::error_code ec;
      if (target_.empty() || std::filesystem::is_directory(t, ec)) {
        file_ = nullptr;
      } else {
        std::string partial = ".";
        partial += t.filename().string();
        partial += ".partial";
        temp_ = (t.parent_path() / partial).string();
        file_ = std::fopen(temp_.c_str(), "wb");
      }
    }
  } catch (...) {
    // Out of memory: report the open as failed, with nothing created.
    temp_.clear();
    error_ = FILEERROR_OUTOFMEMORY;
    return false;
  }
  if (mode == FILEOPEN_READ) {
    file_ = std::fopen(target_.c_str(), "rb");
  } else if (mode != FILEOPEN_WRITE) {
    file_ = nullptr;
  }
  if (!file_) {
    error_ = FILEERROR_OPEN;
    temp_.clear();
    if (error_dialog == FILEDIALOG_ANY) {
      host::GetRecords().errorDialogs.push_back(String("Cannot open file ") + name.GetString());
    }
    return false;
  }
  return true;
}

Bool BaseFile::Flush() {
  if (!file_ || buffer_.empty()) return error_ == FILEERROR_NONE;
  if (error_ == FILEERROR_NONE &&
      std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) {
    error_ = FILEERROR_WRITE;
  }
  buffer_.clear();
  return error_ == FILEERROR_NONE;
}

Bool BaseFile::WriteRaw(const void* v, Int64 len) {
  if (!file_ || mode_ != FILEOPEN_WRITE) {
    if (error_ == FILEERROR_NONE) error_ = FILEERROR_WRITE;
    return false;
  }
  if (error_ != FILEERROR_NONE || len < 0) return false;
  Int64 limit = gWriteFailureAfter.load();
  if (limit >= 0 && gBytesWritten.fetch_add(len) + len > limit) {
    error_ = FILEERROR_WRITE;
    return false;
  }
  auto* p = static_cast<const unsigned char*>(v);
  if (static_cast<size_t>(len) > kBufferSize) {
    if (!Flush()) return false;
    if (std::fwrite(p, 1, static_cast<size_t>(len), file_) != static_cast<size_t>(len)) {
      error_ = FILEERROR_WRITE;
      return false;
    }
  } else {
    if (buffer_.size() + static_cast<size_t>(len) > kBufferSize && !Flush()) return false;
    buffer_.insert(buffer_.end(), p, p + len);
  }
  position_ += len;
  return true;
}

Bool BaseFile::WriteOrdered(const void* v, Int32 size) {
  unsigned char b[8];
  std::memcpy(b, v, static_cast<size_t>(size));
  // The host machine is little-endian; Motorola order reverses the bytes.
  if (order_ == BYTEORDER_MOTOROLA) {
    for (Int32 i = 0; i < size / 2; ++i) std::swap(b[i], b[size - 1 - i]);
  }
  return WriteRaw(b, size);
}

Bool BaseFile::ReadBytes(void* data, Int64 len) {
  if (!file_ || mode_ != FILEOPEN_READ || len < 0) return false;
  if (std::fread(data, 1, static_cast<size_t>(len), file_) != static_cast<size_t>(len)) {
    error_ = FILEERROR_READ;
    return false;
  }
  position_ += len;
  return true;
}

Int64 BaseFile::GetLength() const {
  std::error_code ec;
  auto n = std::filesystem::file_size(mode_ == FILEOPEN_WRITE ? temp_ : target_, ec);
  return ec ? 0 : static_cast<Int64>(n) + static_cast<Int64>(buffer_.size());
}

Bool BaseFile::Close() {
  if (!file_) return error_ == FILEERROR_NONE;
  if (mode_ == FILEOPEN_WRITE) {
    Flush();
    if (std::fflush(file_) != 0 && error_ == FILEERROR_NONE) error_ = FILEERROR_WRITE;
  }
  if (std::fclose(file_) != 0 && error_ == FILEERROR_NONE) error_ = FILEERROR_CLOSE;
  file_ = nullptr;
  if (mode_ == FILEOPEN_WRITE && !temp_.empty()) {
    // The C library's calls allocate nothing, so closing cannot throw (it runs in
    // destructors, also while an exception unwinds).
    if (error_ == FILEERROR_NONE && std::rename(temp_.c_str(), target_.c_str()) != 0)
      error_ = FILEERROR_CLOSE;
    if (error_ != FILEERROR_NONE) std::remove(temp_.c_str());
    temp_.clear();
  }
  return error_ == FILEERROR_NONE;
}

Bool GeFExist(const Filename& name, Bool isdir) {
  std::error_code ec;
  std::filesystem::path p(name.GetSystemPath());
  return isdir ? std::filesystem::is_directory(p, ec) : std::filesystem::is_regular_file(p, ec);
}

Bool GenerateTexturePath(const Filename& docpath, const Filename& srcname,
                         const Filename& suggestedpath, Filename* dstname, void*, void*) {
  if (!srcname.Content() || !dstname) return false;
  std::filesystem::path src(srcname.GetSystemPath());
  std::vector<Filename> candidates;
  if (src.is_absolute()) candidates.push_back(srcname);
  if (suggestedpath.Content()) candidates.push_back(suggestedpath + srcname);
  if (docpath.Content()) {
    candidates.push_back(docpath + srcname);
    candidates.push_back(docpath + Filename("tex") + srcname);
    candidates.push_back(docpath + Filename("tex") + srcname.GetFile());
    candidates.push_back(docpath + srcname.GetFile());
  }
  for (const Filename& c : candidates) {
    if (GeFExist(c)) {
      *dstname = c;
      return true;
    }
  }
  return false;
}

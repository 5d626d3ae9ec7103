#include "device/device_message_loop.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <system_error>
#include <vector>

#include "backup/plist_text.h"
#include "base/log.h"
#include "base/platform_storage.h"

namespace kestrio {

namespace fs = std::filesystem;

namespace {

// Block codes of the file streams (see the header).
constexpr std::uint8_t kCodeSuccess = 0x00;
constexpr std::uint8_t kCodeLocalError = 0x06;
constexpr std::uint8_t kCodeRemoteError = 0x0B;
constexpr std::uint8_t kCodeFileData = 0x0C;

constexpr char kInvalidPath[] = "Invalid path";
// libplist 2.2 counts dates from 2001-01-01 UTC; Unix seconds minus this give its seconds.
constexpr std::int64_t kAppleEpochOffset = 978307200;
// Most bytes of a device's error text that are kept; the rest is read and dropped.
constexpr std::size_t kMaxErrorTextLength = 4096;

void AppendBe32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<std::uint8_t>(value >> shift));
}

// Item `index` of an array node; null when the node is no array or too short.
plist_t Item(plist_t array, std::uint32_t index) {
  if (!array || plist_get_node_type(array) != PLIST_ARRAY) return nullptr;
  if (index >= plist_array_get_size(array)) return nullptr;
  return plist_array_get_item(array, index);
}

std::optional<std::string> StringValue(plist_t node) { return PlistText(node); }

std::string ErrorText(int errorNumber) { return std::strerror(errorNumber); }

PlistPtr EmptyDictionary() { return PlistPtr(plist_new_dict()); }

enum class Outcome { kHandled, kIgnored, kLeave };

class MessageLoop {
 public:
  MessageLoop(DeviceLink& link, const fs::path& base, LoopState& state)
      : link_(link), base_(base), state_(state) {}

  Result Run();

 private:
  Outcome Dispatch(const std::string& name, plist_t message, Result& result);

  void Diagnostic(const std::string& line) {
    if (state_.diagnostic)
      state_.diagnostic(line);
    else
      LogLine(line);
  }
  void Abort() { state_.abortCounter.fetch_add(1); }
  bool Aborted() const { return state_.abortCounter.load() > 0; }
  void Status(std::int32_t code, const std::string& text, plist_t value = nullptr) {
    PlistPtr empty;
    if (!value) {
      empty = EmptyDictionary();
      value = empty.get();
    }
    link_.SendStatus(code, text, value);
  }
  std::optional<fs::path> Resolve(plist_t node, bool allowBase = false) const {
    const auto text = StringValue(node);
    if (!text) return std::nullopt;
    return DevicePath(base_, *text, allowBase);
  }

  void UpdateProgress(plist_t message, std::uint32_t index);
  std::int32_t ProgressValue() const;

  void DownloadFiles(plist_t message);
  bool SendFile(const std::string& name, plist_t errors, bool& anyError);
  void UploadFiles();
  void FreeDiskSpace();
  void ContentsOfDirectory(plist_t message);
  void CreateDirectory(plist_t message);
  void MoveItems(plist_t message);
  void RemoveItems(plist_t message);
  void CopyItem(plist_t message);
  Result ProcessMessage(plist_t message);

  // Raw reads of uploads. Each is false when the device vanished or stalled for
  // kDeviceMaxEmptyRawReads reads in a row; the abort counter has then been raised.
  bool ReadExact(std::span<std::uint8_t> buffer);
  std::optional<std::uint32_t> ReadBe32();
  bool Discard(std::uint64_t length);

  DeviceLink& link_;
  const fs::path base_;
  LoopState& state_;
  std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(kDeviceBlockSize + 5);
};

Result MessageLoop::Run() {
  state_.abortCounter.store(0);
  state_.overallProgress = 0;
  int emptyReceives = 0;
  Result result = kResultOk;
  for (;;) {
    std::string name;
    PlistPtr message;
    if (!link_.ReceiveMessage(name, message)) {
      link_.Sleep(kDeviceReceiveWait);
      if (++emptyReceives > kDeviceMaxEmptyReceives) {
        Diagnostic("ERROR: no message from the device after " + std::to_string(emptyReceives) +
                   " receive timeouts");
        Abort();
        result = -1;
      }
    } else {
      const Outcome outcome = Dispatch(name, message.get(), result);
      if (outcome == Outcome::kLeave) break;
      if (outcome == Outcome::kHandled && state_.progress) {
        const Result answer = state_.progress(ProgressValue());
        if (answer != kResultOk) {
          result = answer;
          break;
        }
      }
    }
    if (Aborted()) {
      result = -1;
      break;
    }
  }
  return result;
}

Outcome MessageLoop::Dispatch(const std::string& name, plist_t message, Result& result) {
  if (name == "DLMessageDownloadFiles") {
    DownloadFiles(message);
  } else if (name == "DLMessageUploadFiles") {
    UpdateProgress(message, 2);
    UploadFiles();
  } else if (name == "DLMessageGetFreeDiskSpace") {
    FreeDiskSpace();
  } else if (name == "DLContentsOfDirectory") {
    ContentsOfDirectory(message);
  } else if (name == "DLMessageCreateDirectory") {
    CreateDirectory(message);
  } else if (name == "DLMessageMoveFiles" || name == "DLMessageMoveItems") {
    UpdateProgress(message, 3);
    MoveItems(message);
  } else if (name == "DLMessageRemoveFiles" || name == "DLMessageRemoveItems") {
    UpdateProgress(message, 3);
    RemoveItems(message);
  } else if (name == "DLMessageCopyItem") {
    CopyItem(message);
  } else if (name == "DLMessageDisconnect") {
    return Outcome::kLeave;
  } else if (name == "DLMessageProcessMessage") {
    result = ProcessMessage(message);
    return Outcome::kLeave;
  } else {
    return Outcome::kIgnored;
  }
  return Outcome::kHandled;
}

// The device's figure becomes the overall progress when it is above 0 and less than 99 above the
// current value (so a first report of 99 or more is not taken).
void MessageLoop::UpdateProgress(plist_t message, std::uint32_t index) {
  const plist_t node = Item(message, index);
  if (!node || plist_get_node_type(node) != PLIST_REAL) return;
  double value = 0;
  plist_get_real_val(node, &value);
  if (value > 0 && value < state_.overallProgress + 99) state_.overallProgress = value;
}

std::int32_t MessageLoop::ProgressValue() const {
  const double value =
      std::floor(static_cast<double>(state_.progressScale) * state_.overallProgress / 100);
  if (!(value > std::numeric_limits<std::int32_t>::min()))
    return std::numeric_limits<std::int32_t>::min();
  if (value >= std::numeric_limits<std::int32_t>::max())
    return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(value);
}

void MessageLoop::DownloadFiles(plist_t message) {
  UpdateProgress(message, 3);
  const plist_t files = Item(message, 1);
  PlistPtr errors = EmptyDictionary();
  bool anyError = false;
  if (files && plist_get_node_type(files) == PLIST_ARRAY) {
    const std::uint32_t count = plist_array_get_size(files);
    for (std::uint32_t i = 0; i < count && !Aborted(); ++i) {
      const auto name = StringValue(plist_array_get_item(files, i));
      if (!name) continue;
      if (!SendFile(*name, errors.get(), anyError)) return;
    }
  }
  const std::uint8_t end[4] = {0, 0, 0, 0};
  if (!link_.SendRaw(end)) return;
  if (anyError)
    Status(kDeviceStatusMultiStatus, "Multi status", errors.get());
  else
    Status(0, "");
}

bool MessageLoop::SendFile(const std::string& name, plist_t errors, bool& anyError) {
  std::vector<std::uint8_t> header;
  AppendBe32(header, static_cast<std::uint32_t>(std::min<std::size_t>(name.size(), UINT32_MAX)));
  header.insert(header.end(), name.begin(),
                name.begin() + std::min<std::size_t>(name.size(), UINT32_MAX));
  if (!link_.SendRaw(header)) return false;

  std::int32_t errorCode = 0;
  std::string errorText;
  if (const auto path = DevicePath(base_, name)) {
    // O_NONBLOCK: a FIFO in the backup folder must not hang the loop.
    const int fd = ::open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
      errorCode = DeviceErrorNumber(errno);
      errorText = ErrorText(errno);
    } else {
      for (;;) {
        const ssize_t got = ::read(fd, buffer_.data() + 5, kDeviceBlockSize);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
          errorCode = DeviceErrorNumber(errno);
          errorText = ErrorText(errno);
          break;
        }
        if (got == 0) break;
        const auto length = static_cast<std::uint32_t>(got) + 1;
        for (int i = 0; i < 4; ++i) buffer_[i] = static_cast<std::uint8_t>(length >> (24 - 8 * i));
        buffer_[4] = kCodeFileData;
        if (!link_.SendRaw(std::span(buffer_.data(), static_cast<std::size_t>(got) + 5))) {
          ::close(fd);
          return false;
        }
      }
      ::close(fd);
    }
  } else {
    errorCode = kDeviceErrorOther;
    errorText = kInvalidPath;
  }

  std::vector<std::uint8_t> trailer;
  if (errorCode == 0) {
    AppendBe32(trailer, 1);
    trailer.push_back(kCodeSuccess);
  } else {
    PlistPtr entry = EmptyDictionary();
    plist_dict_set_item(entry.get(), "DLFileErrorString", plist_new_string(errorText.c_str()));
    // Negative numbers travel as two's complement in the unsigned integer node.
    plist_dict_set_item(
        entry.get(), "DLFileErrorCode",
        plist_new_uint(static_cast<std::uint64_t>(static_cast<std::int64_t>(errorCode))));
    plist_dict_set_item(errors, name.c_str(), entry.release());
    anyError = true;
    AppendBe32(trailer, static_cast<std::uint32_t>(errorText.size() + 1));
    trailer.push_back(kCodeLocalError);
    trailer.insert(trailer.end(), errorText.begin(), errorText.end());
  }
  return link_.SendRaw(trailer);
}

bool MessageLoop::ReadExact(std::span<std::uint8_t> buffer) {
  std::size_t done = 0;
  int emptyInARow = 0;
  while (done < buffer.size()) {
    std::size_t got = link_.ReceiveRaw(buffer.subspan(done));
    if (got == 0) {
      if (!link_.DeviceAttached()) {
        Diagnostic("ERROR: the device vanished during a file transfer");
        Abort();
        return false;
      }
      if (++emptyInARow > kDeviceMaxEmptyRawReads) {
        Diagnostic("ERROR: the device stopped sending during a file transfer");
        Abort();
        return false;
      }
      continue;
    }
    done += std::min(got, buffer.size() - done);
    emptyInARow = 0;
  }
  return true;
}

std::optional<std::uint32_t> MessageLoop::ReadBe32() {
  std::uint8_t bytes[4];
  if (!ReadExact(bytes)) return std::nullopt;
  return (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
         (std::uint32_t{bytes[2]} << 8) | bytes[3];
}

bool MessageLoop::Discard(std::uint64_t length) {
  while (length > 0) {
    const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(length, kDeviceBlockSize));
    if (!ReadExact(std::span(buffer_.data(), piece))) return false;
    length -= piece;
  }
  return true;
}

// Files from the device, repeated until a name length of 0 (see the header for the stream). A file
// that cannot be written is still read to its end so that the stream stays in step; its error (the
// last one) goes into the status response.
void MessageLoop::UploadFiles() {
  std::int32_t errorCode = 0;
  std::string errorText;
  std::uint8_t code = 0;
  std::uint8_t lastCode = 0;
  const auto fail = [&](int errorNumber) {
    errorCode = DeviceErrorNumber(errorNumber);
    errorText = ErrorText(errorNumber);
  };
  // Reads one name; nullopt at the end of the stream or when it cannot go on.
  bool broken = false;
  const auto readName = [&]() -> std::optional<std::string> {
    const auto length = ReadBe32();
    if (!length) {
      broken = true;
      return std::nullopt;
    }
    if (*length == 0) return std::nullopt;
    if (*length > kDeviceMaxPathLength) {
      Diagnostic("ERROR: UploadFiles: too large filename length (" + std::to_string(*length) +
                 ")!");
      errorCode = kDeviceErrorOther;
      errorText = kInvalidPath;
      return std::nullopt;
    }
    std::string name(*length, '\0');
    if (!ReadExact(std::span(reinterpret_cast<std::uint8_t*>(name.data()), name.size()))) {
      broken = true;
      return std::nullopt;
    }
    return name;
  };

  while (!Aborted()) {
    if (!readName()) break;  // the device-side name is not used
    const auto name = readName();
    if (!name) break;
    auto length = ReadBe32();
    if (!length) {
      broken = true;
      break;
    }
    if (*length == 0) break;
    lastCode = code;
    if (!ReadExact(std::span(&code, 1))) {
      broken = true;
      break;
    }

    const auto path = DevicePath(base_, *name);
    std::FILE* file = nullptr;
    if (!path) {
      Diagnostic("ERROR: refused to write '" + *name + "' outside the backup folder");
      errorCode = kDeviceErrorOther;
      errorText = kInvalidPath;
    } else {
      ::unlink(path->c_str());  // a folder of that name stays and makes the open fail
      file = std::fopen(path->c_str(), "wb");
      if (!file) {
        fail(errno);
        Diagnostic("Error opening '" + path->string() + "' for writing: " + errorText);
      }
    }
    bool endOfStream = false;
    while (code == kCodeFileData) {
      std::uint64_t remaining = *length - 1;
      while (remaining > 0 && !broken) {
        const auto piece =
            static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kDeviceBlockSize));
        if (!ReadExact(std::span(buffer_.data(), piece))) {
          broken = true;
          break;
        }
        if (file && std::fwrite(buffer_.data(), 1, piece, file) != piece) {
          fail(errno);
          std::fclose(file);
          file = nullptr;
        }
        remaining -= piece;
      }
      if (broken || Aborted()) break;
      length = ReadBe32();
      if (!length) {
        broken = true;
        break;
      }
      if (*length == 0) {
        endOfStream = true;
        break;
      }
      lastCode = code;
      if (!ReadExact(std::span(&code, 1))) {
        broken = true;
        break;
      }
    }
    if (file && std::fclose(file) != 0) fail(errno);
    if (broken || Aborted()) {
      // A file cut short is not left behind.
      if (path) ::unlink(path->c_str());
      break;
    }
    if (endOfStream) break;
    const std::uint64_t payload = *length - 1;
    if (code == kCodeRemoteError) {
      const std::size_t kept =
          static_cast<std::size_t>(std::min<std::uint64_t>(payload, kMaxErrorTextLength));
      std::string text(kept, '\0');
      if (!ReadExact(std::span(reinterpret_cast<std::uint8_t*>(text.data()), kept)) ||
          !Discard(payload - kept)) {
        broken = true;
        break;
      }
      // After file data this code is only the device's end marker.
      if (lastCode != kCodeFileData)
        Diagnostic("\nReceived an error message from device: " + text.substr(0, text.find('\0')));
    } else if (!Discard(payload)) {
      broken = true;
      break;
    }
  }
  if (broken) return;  // the device is gone or stalled: the loop ends with -1
  Status(errorCode, errorText);
}

void MessageLoop::FreeDiskSpace() {
  if (const auto free = FreeBytes(base_)) {
    PlistPtr value(plist_new_uint(*free));
    Status(0, "", value.get());
  } else {
    Status(-1, "");
  }
}

void MessageLoop::ContentsOfDirectory(plist_t message) {
  const plist_t node = Item(message, 1);
  if (!StringValue(node)) {
    Diagnostic("ERROR: Malformed DLContentsOfDirectory message");
    return;
  }
  const auto folder = Resolve(node, true);
  if (!folder) {
    Status(kDeviceErrorOther, kInvalidPath);
    return;
  }
  PlistPtr listing = EmptyDictionary();
  std::error_code ec;
  for (fs::directory_iterator it(*folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string entryName = it->path().filename().string();
    struct stat info {};
    const char* type = "DLFileTypeUnknown";
    if (::stat(it->path().c_str(), &info) == 0) {
      if (S_ISDIR(info.st_mode))
        type = "DLFileTypeDirectory";
      else if (S_ISREG(info.st_mode))
        type = "DLFileTypeRegular";
    }
    const std::int64_t seconds = std::clamp<std::int64_t>(
        static_cast<std::int64_t>(info.st_mtime) - kAppleEpochOffset,
        std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max());
    PlistPtr entry = EmptyDictionary();
    plist_dict_set_item(entry.get(), "DLFileType", plist_new_string(type));
    plist_dict_set_item(
        entry.get(), "DLFileSize",
        plist_new_uint(static_cast<std::uint64_t>(std::max<off_t>(info.st_size, 0))));
    plist_dict_set_item(entry.get(), "DLFileModificationDate",
                        plist_new_date(static_cast<std::int32_t>(seconds), 0));
    plist_dict_set_item(listing.get(), entryName.c_str(), entry.release());
  }
  Status(0, "", listing.get());
}

void MessageLoop::CreateDirectory(plist_t message) {
  const auto folder = Resolve(Item(message, 1));
  if (!folder) {
    Status(kDeviceErrorOther, kInvalidPath);
    return;
  }
  std::error_code ec;
  fs::create_directories(*folder, ec);
  if (ec)
    Status(DeviceErrorNumber(ec.value()), ErrorText(ec.value()));
  else
    Status(0, "");
}

void MessageLoop::MoveItems(plist_t message) {
  const plist_t moves = Item(message, 1);
  if (!moves || plist_get_node_type(moves) != PLIST_DICT) {
    Status(-1, "Could not create dict iterator");
    return;
  }
  std::int32_t errorCode = 0;
  std::string errorText;
  plist_dict_iter iter = nullptr;
  plist_dict_new_iter(moves, &iter);
  if (!iter) {
    Status(-1, "Could not create dict iterator");
    return;
  }
  const std::uint32_t count = plist_dict_get_size(moves);
  for (std::uint32_t i = 0; i < count; ++i) {
    char* key = nullptr;
    plist_t value = nullptr;
    plist_dict_next_item(moves, iter, &key, &value);
    if (!key) break;
    const std::string oldName(key);
    std::free(key);
    const auto from = DevicePath(base_, oldName);
    const auto to = Resolve(value);
    if (!from || !to) {
      Diagnostic("ERROR: refused to move '" + oldName + "' outside the backup folder");
      errorCode = kDeviceErrorOther;
      errorText = kInvalidPath;
      break;
    }
    std::error_code ec;
    if (fs::equivalent(*from, *to, ec)) continue;  // removing the target would lose the source
    // A missing source leaves the target as it is.
    if (!fs::exists(fs::symlink_status(*from, ec)))
      ec = std::make_error_code(std::errc::no_such_file_or_directory);
    if (!ec) {
      const auto target = fs::symlink_status(*to, ec);
      ec.clear();
      if (fs::is_directory(target))
        fs::remove_all(*to, ec);
      else if (fs::exists(target))
        fs::remove(*to, ec);
      ec.clear();
      fs::rename(*from, *to, ec);
    }
    if (ec) {
      errorCode = DeviceErrorNumber(ec.value());
      errorText = ErrorText(ec.value());
      Diagnostic("Renameing '" + from->string() + "' to '" + to->string() +
                 "' failed: " + errorText + " (" + std::to_string(errorCode) + ")");
      break;
    }
  }
  std::free(iter);
  Status(errorCode, errorText);
}

void MessageLoop::RemoveItems(plist_t message) {
  const plist_t names = Item(message, 1);
  std::int32_t errorCode = 0;
  std::string errorText;
  const std::uint32_t count =
      names && plist_get_node_type(names) == PLIST_ARRAY ? plist_array_get_size(names) : 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    const plist_t node = plist_array_get_item(names, i);
    if (!StringValue(node)) continue;
    const auto path = Resolve(node);
    if (!path) {
      errorCode = kDeviceErrorOther;
      errorText = kInvalidPath;
      continue;
    }
    std::error_code ec;
    const auto status = fs::symlink_status(*path, ec);
    if (!fs::exists(status)) continue;  // missing is not an error
    if (fs::is_directory(status))
      fs::remove_all(*path, ec);
    else
      fs::remove(*path, ec);
    if (ec && ec.value() != ENOENT) {
      errorCode = DeviceErrorNumber(ec.value());
      errorText = ErrorText(ec.value());
    }
  }
  Status(errorCode, errorText);
}

void MessageLoop::CopyItem(plist_t message) {
  const auto from = Resolve(Item(message, 1));
  const auto to = Resolve(Item(message, 2));
  if (!from || !to) {
    Status(kDeviceErrorOther, kInvalidPath);
    return;
  }
  std::error_code ec;
  const auto source = fs::symlink_status(*from, ec);
  if (fs::is_directory(source)) {
    // A copy into the folder itself would never end.
    const fs::path inside = to->lexically_relative(*from);
    if (!inside.empty() && *inside.begin() != "..")
      Diagnostic("ERROR: refused to copy '" + from->string() + "' into itself");
    else
      fs::copy(*from, *to,
               fs::copy_options::recursive | fs::copy_options::overwrite_existing |
                   fs::copy_options::copy_symlinks,
               ec);
  } else if (fs::is_regular_file(source)) {
    fs::copy_file(*from, *to, fs::copy_options::overwrite_existing, ec);
  } else {
    ec = std::make_error_code(std::errc::no_such_file_or_directory);
  }
  if (ec) Diagnostic("ERROR: copying '" + from->string() + "' failed: " + ErrorText(ec.value()));
  Status(0, "");
}

Result MessageLoop::ProcessMessage(plist_t message) {
  const plist_t dict = Item(message, 1);
  Result result = kResultOk;
  if (!dict || plist_get_node_type(dict) != PLIST_DICT) return result;
  const plist_t code = plist_dict_get_item(dict, "ErrorCode");
  if (code && plist_get_node_type(code) == PLIST_UINT) {
    std::uint64_t raw = 0;
    plist_get_uint_val(code, &raw);
    const auto value = std::clamp<std::int64_t>(static_cast<std::int64_t>(raw),
                                                -std::numeric_limits<std::int32_t>::max(),
                                                std::numeric_limits<std::int32_t>::max());
    result = static_cast<Result>(-value);
  }
  if (const auto description = StringValue(plist_dict_get_item(dict, "ErrorDescription")))
    state_.errorDescription = *description;
  if (const auto content = StringValue(plist_dict_get_item(dict, "Content"))) Diagnostic(*content);
  return result;
}

}  // namespace

std::int32_t DeviceErrorNumber(int errorNumber) {
  if (errorNumber == ENOENT) return kDeviceErrorNotFound;
  if (errorNumber == EEXIST) return kDeviceErrorExists;
  return kDeviceErrorOther;
}

std::optional<fs::path> DevicePath(const fs::path& base, const std::string& relative,
                                   bool allowBase) {
  if (relative.empty() || relative.size() > kDeviceMaxPathLength) return std::nullopt;
  if (relative.find('\0') != std::string::npos) return std::nullopt;
  const fs::path path(relative);
  if (path.is_absolute() || path.has_root_name() || path.has_root_directory()) return std::nullopt;
  bool onlyDots = true;
  for (const auto& part : path) {
    if (part == "..") return std::nullopt;
    if (!part.empty() && part != ".") onlyDots = false;
  }
  if (onlyDots && !allowBase) return std::nullopt;
  return base / path;
}

Result RunMessageLoop(DeviceLink& link, const fs::path& base, LoopState& state) {
  return MessageLoop(link, base, state).Run();
}

}  // namespace kestrio

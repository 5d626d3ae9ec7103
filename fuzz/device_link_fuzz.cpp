// libFuzzer target for the device-link message loop: a hostile device. The input is a script:
//   u8  message count (mod 8), then per message:
//       u8  name (index into the message names below, mod their count)
//       u16 big-endian length, then that many bytes of a property list (XML or binary); a
//           list that does not parse is sent as an empty array
//   the rest: the raw bytes of the file streams, served in pieces of at most 4096 bytes
// The loop must end, and nothing may appear beside the base folder.
#include <plist/plist.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <string>
#include <utility>

#include "device/device_link.h"
#include "device/device_message_loop.h"

namespace {

namespace fs = std::filesystem;

constexpr std::array<const char*, 12> kNames = {
    "DLMessageDownloadFiles", "DLMessageUploadFiles",     "DLMessageGetFreeDiskSpace",
    "DLContentsOfDirectory",  "DLMessageCreateDirectory", "DLMessageMoveFiles",
    "DLMessageMoveItems",     "DLMessageRemoveFiles",     "DLMessageRemoveItems",
    "DLMessageCopyItem",      "DLMessageProcessMessage",  "DLMessageUnknown"};

class ScriptedLink : public kestrio::DeviceLink {
 public:
  std::deque<std::pair<std::string, kestrio::PlistPtr>> messages;
  const std::uint8_t* raw = nullptr;
  std::size_t rawLeft = 0;

  bool ReceiveMessage(std::string& name, kestrio::PlistPtr& message) override {
    if (messages.empty()) return false;
    name = std::move(messages.front().first);
    message = std::move(messages.front().second);
    messages.pop_front();
    return true;
  }
  bool SendRaw(std::span<const std::uint8_t>) override { return true; }
  std::size_t ReceiveRaw(std::span<std::uint8_t> buffer) override {
    const std::size_t n = std::min({buffer.size(), rawLeft, std::size_t{4096}});
    std::copy_n(raw, n, buffer.begin());
    raw += n;
    rawLeft -= n;
    return n;
  }
  bool SendStatus(std::int32_t, const std::string&, plist_t) override { return true; }
  bool SendMessage(const std::string&, plist_t) override { return true; }
  bool DeviceAttached() override { return rawLeft > 0; }
  void Sleep(std::chrono::milliseconds) override {}
};

const fs::path& Root() {
  static const fs::path root = [] {
    fs::path path =
        fs::temp_directory_path() / ("kestrio-devlink-fuzz-" + std::to_string(getpid()));
    fs::remove_all(path);
    fs::create_directories(path);
    return path;
  }();
  return root;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ScriptedLink link;
  std::size_t off = 0;
  const std::size_t count = size > 0 ? data[off++] % 8 : 0;
  for (std::size_t i = 0; i < count && size - off >= 3; ++i) {
    const char* name = kNames[data[off] % kNames.size()];
    const std::size_t length = static_cast<std::size_t>(data[off + 1]) << 8 | data[off + 2];
    off += 3;
    const std::size_t take = std::min(length, size - off);
    plist_t parsed = nullptr;
    if (take > 0) {
      plist_from_memory(reinterpret_cast<const char*>(data + off), static_cast<std::uint32_t>(take),
                        &parsed);
    }
    off += take;
    if (!parsed) {
      parsed = plist_new_array();
      plist_array_append_item(parsed, plist_new_string(name));
    }
    link.messages.emplace_back(name, kestrio::PlistPtr(parsed));
  }
  link.raw = data + off;
  link.rawLeft = size - off;

  const fs::path base = Root() / "base";
  fs::create_directories(base / "udid");
  std::atomic<int> abort{0};
  kestrio::LoopState state(abort);
  state.diagnostic = [](const std::string&) {};
  kestrio::RunMessageLoop(link, base, state);

  // Only the base folder may exist beside itself.
  for (const auto& entry : fs::directory_iterator(Root())) {
    if (entry.path().filename() != "base") std::abort();
  }
  std::error_code ignored;
  fs::remove_all(base, ignored);
  return 0;
}

#include "device/device_message_loop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <initializer_list>
#include <map>
#include <random>

#include "base/platform_storage.h"
#include "tests/device/fake_device.h"
#include "tests/fixtures/ios_fixtures.h"
#include "tests/support/files.h"

namespace kestrio {
namespace {

namespace fs = std::filesystem;
using testing::Dict;
using testing::FakeDevice;
using testing::Msg;
using testing::Str;
using testing::Strings;
using testing::Upload;
using testing::WithProgress;

std::string StringOf(plist_t node) {
  char* text = nullptr;
  if (node && plist_get_node_type(node) == PLIST_STRING) plist_get_string_val(node, &text);
  std::string value = text ? text : "";
  std::free(text);
  return value;
}
std::int64_t IntOf(plist_t node) {
  std::uint64_t value = 0;
  if (node && plist_get_node_type(node) == PLIST_UINT) plist_get_uint_val(node, &value);
  return static_cast<std::int64_t>(value);
}

// What the loop sent for a download: per file its name, the data of its 0x0C blocks and the text of
// an 0x06 error block; then the loop's empty length.
struct SentFile {
  std::string name;
  std::string data;
  std::string error;
  std::size_t blocks = 0;
};
std::vector<SentFile> ParseDownload(const std::vector<std::uint8_t>& sent) {
  std::vector<SentFile> files;
  std::size_t off = 0;
  const auto take = [&](std::size_t n) {
    if (n > sent.size() - off) throw std::runtime_error("download stream cut short");
    std::string part(sent.begin() + static_cast<std::ptrdiff_t>(off),
                     sent.begin() + static_cast<std::ptrdiff_t>(off + n));
    off += n;
    return part;
  };
  const auto be32 = [&] {
    const std::string b = take(4);
    return testing::GetBe32(std::vector<std::uint8_t>(b.begin(), b.end()), 0);
  };
  for (std::uint32_t nameLength; (nameLength = be32()) != 0;) {
    SentFile file;
    file.name = take(nameLength);
    for (;;) {
      const std::uint32_t length = be32();
      EXPECT_GE(length, 1u);
      EXPECT_LE(length, kDeviceBlockSize + 1);
      const auto code = static_cast<std::uint8_t>(take(1)[0]);
      const std::string payload = take(length - 1);
      if (code == 0x0C) {
        file.data += payload;
        ++file.blocks;
        continue;
      }
      if (code == 0x06) file.error = payload;
      EXPECT_TRUE(code == 0x00 || code == 0x06) << int{code};
      break;
    }
    files.push_back(file);
  }
  EXPECT_EQ(off, sent.size()) << "bytes after the end of the download";
  return files;
}

class MessageLoop : public ::testing::Test {
 protected:
  void SetUp() override {
    base_ = dir_ / "base";
    fs::create_directories(base_ / "udid");
    state_.diagnostic = [this](const std::string& line) { diagnostics_ += line + "\n"; };
  }
  Result Run() { return RunMessageLoop(device_, base_, state_); }
  void Write(const std::string& name, const std::string& text) {
    testing::WriteBytes(base_ / name, std::vector<std::uint8_t>(text.begin(), text.end()));
  }
  std::string Read(const std::string& name) { return testing::ReadText(base_ / name); }
  void Disconnect() { device_.Message("DLMessageDisconnect", Msg("DLMessageDisconnect")); }

  fixtures::TempDir dir_;
  fs::path base_;
  std::atomic<int> abort_{0};
  LoopState state_{abort_};
  FakeDevice device_;
  std::string diagnostics_;
};

TEST(DeviceLinkPaths, ErrorNumbersAndRefusedPaths) {
  EXPECT_EQ(DeviceErrorNumber(ENOENT), -6);
  EXPECT_EQ(DeviceErrorNumber(EEXIST), -7);
  EXPECT_EQ(DeviceErrorNumber(EACCES), -14);
  EXPECT_EQ(DeviceErrorNumber(ENOSPC), -14);

  const fs::path base = "/b";
  EXPECT_EQ(DevicePath(base, "udid/./Manifest.db"), fs::path("/b/udid/./Manifest.db"));
  for (const char* hostile : {"", "/etc/x", "..", "../x", "udid/../../x", "udid/..", ".", "./"})
    EXPECT_FALSE(DevicePath(base, hostile)) << hostile;
  EXPECT_EQ(DevicePath(base, ".", true), fs::path("/b/."));
  EXPECT_FALSE(DevicePath(base, std::string(kDeviceMaxPathLength + 1, 'a')));
}

TEST_F(MessageLoop, DownloadSendsFilesInBlocksAndMissingOnesAsMultiStatus) {
  std::string big(2 * kDeviceBlockSize + 100, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
  Write("udid/big", big);
  Write("udid/empty", "");
  fs::create_directories(base_ / "udid/folder");
  Write("secret", "outside");  // beside base/udid, reachable only by ".."
  device_.Message("DLMessageDownloadFiles",
                  WithProgress("DLMessageDownloadFiles",
                               Strings({"udid/big", "udid/missing", "udid/empty", "../base/secret",
                                        "udid/folder"}),
                               12.5));
  Disconnect();
  ASSERT_EQ(Run(), kResultOk);
  EXPECT_DOUBLE_EQ(state_.overallProgress, 12.5);

  const auto files = ParseDownload(device_.sent);
  ASSERT_EQ(files.size(), 5u);
  EXPECT_EQ(files[0].name, "udid/big");
  EXPECT_EQ(files[0].data, big);
  EXPECT_EQ(files[0].blocks, 3u);
  EXPECT_EQ(files[1].error, "No such file or directory");
  EXPECT_EQ(files[2].blocks, 0u);
  EXPECT_EQ(files[2].error, "");
  EXPECT_EQ(files[3].error, "Invalid path");
  EXPECT_EQ(files[3].data, "");
  EXPECT_EQ(files[4].error, "Is a directory");

  ASSERT_EQ(device_.statuses.size(), 1u);
  const auto& status = device_.statuses[0];
  EXPECT_EQ(status.code, -13);
  EXPECT_EQ(status.text, "Multi status");
  ASSERT_EQ(plist_dict_get_size(status.value.get()), 3u);
  const plist_t missing = plist_dict_get_item(status.value.get(), "udid/missing");
  EXPECT_EQ(IntOf(plist_dict_get_item(missing, "DLFileErrorCode")), -6);
  EXPECT_EQ(StringOf(plist_dict_get_item(missing, "DLFileErrorString")),
            "No such file or directory");
  const plist_t refused = plist_dict_get_item(status.value.get(), "../base/secret");
  EXPECT_EQ(IntOf(plist_dict_get_item(refused, "DLFileErrorCode")), -14);
  EXPECT_EQ(IntOf(plist_dict_get_item(plist_dict_get_item(status.value.get(), "udid/folder"),
                                      "DLFileErrorCode")),
            -14);
}

TEST_F(MessageLoop, DownloadOfPresentFilesOnlyAnswersZero) {
  Write("udid/a", "abc");
  device_.Message("DLMessageDownloadFiles", Msg("DLMessageDownloadFiles", {Strings({"udid/a"})}));
  Disconnect();
  ASSERT_EQ(Run(), kResultOk);
  ASSERT_EQ(device_.statuses.size(), 1u);
  EXPECT_EQ(device_.statuses[0].code, 0);
  EXPECT_EQ(plist_dict_get_size(device_.statuses[0].value.get()), 0u);
}

TEST_F(MessageLoop, UploadWritesBlocksExactlyAndReplacesExistingFiles) {
  Write("udid/old", "a much longer earlier version of the file");
  const std::string big(kDeviceBlockSize + 3, 'x');
  device_.Message("DLMessageUploadFiles", Msg("DLMessageUploadFiles", {Dict({})}));
  device_.Raw(Upload().File("udid/old").Data("new").EndFile().bytes);
  device_.RawPause();  // nothing for one read while the device is still there
  device_.Raw(Upload()
                  .File("udid/big")
                  .Data(big)
                  .Data(std::string("\0\1\2", 3))
                  .Block(0x0B, "")  // after data: the end marker, not an error
                  .File("udid/refused")
                  .Block(0x0B, "disk on fire")
                  .File("udid/last")
                  .Data("tail")
                  .End()
                  .bytes);
  device_.rawPiece = 1000;  // short reads everywhere
  Disconnect();
  ASSERT_EQ(Run(), kResultOk);

  EXPECT_EQ(Read("udid/old"), "new");
  EXPECT_EQ(Read("udid/big"), big + std::string("\0\1\2", 3));
  EXPECT_EQ(Read("udid/last"), "tail");
  EXPECT_EQ(device_.RawLeft(), 0u);
  EXPECT_NE(diagnostics_.find("Received an error message from device: disk on fire"),
            std::string::npos);
  EXPECT_EQ(diagnostics_.find("Received an error message from device: \n"), std::string::npos);
  ASSERT_EQ(device_.statuses.size(), 1u);
  EXPECT_EQ(device_.statuses[0].code, 0);
}

TEST_F(MessageLoop, UploadRefusesHostileNamesAndKeepsTheStreamInStep) {
  const fs::path outside = dir_ / "escaped";
  device_.Message("DLMessageUploadFiles", Msg("DLMessageUploadFiles", {Dict({})}));
  device_.Raw(Upload()
                  .File("../escaped")
                  .Data("evil")
                  .EndFile()
                  .File(outside.string())
                  .Data("evil")
                  .EndFile()
                  .File("udid/missing-folder/f")
                  .Data("lost")
                  .EndFile()
                  .File("udid/good")
                  .Data("fine")
                  .End()
                  .bytes);
  // A name longer than 4096 bytes ends the upload.
  device_.Message("DLMessageUploadFiles", Msg("DLMessageUploadFiles", {Dict({})}));
  device_.Raw(Upload().Name("x").bytes);
  device_.Raw({0, 0, 0x10, 0x01});
  Disconnect();
  ASSERT_EQ(Run(), kResultOk);

  EXPECT_FALSE(fs::exists(outside));
  EXPECT_FALSE(fs::exists(base_ / "udid/missing-folder"));
  EXPECT_EQ(Read("udid/good"), "fine");
  ASSERT_EQ(device_.statuses.size(), 2u);
  // The last failure is reported: the missing folder.
  EXPECT_EQ(device_.statuses[0].code, -6);
  EXPECT_EQ(device_.statuses[1].code, -14);
  EXPECT_NE(diagnostics_.find("too large filename length (4097)"), std::string::npos);
}

TEST_F(MessageLoop, DeviceGoneDuringUploadEndsWithMinusOne) {
  device_.Message("DLMessageUploadFiles", Msg("DLMessageUploadFiles", {Dict({})}));
  const auto upload = Upload().File("udid/cut").Data(std::string(5000, 'y')).bytes;
  device_.Raw({upload.begin(), upload.end() - 100});  // gone in the middle of the block
  device_.attached = false;
  Disconnect();
  EXPECT_EQ(Run(), -1);
  EXPECT_GT(abort_.load(), 0);
  EXPECT_FALSE(fs::exists(base_ / "udid/cut"));
  EXPECT_TRUE(device_.statuses.empty());
}

TEST_F(MessageLoop, StalledUploadIsGivenUp) {
  device_.Message("DLMessageUploadFiles", Msg("DLMessageUploadFiles", {Dict({})}));
  device_.Raw(Upload().File("udid/stall").bytes);  // no block ever follows
  Disconnect();
  EXPECT_EQ(Run(), -1);
}

TEST_F(MessageLoop, MovesRemovesCopiesAndCreatesBelowTheBase) {
  fs::create_directories(base_ / "udid/Snapshot/sub");
  Write("udid/Snapshot/sub/f", "fresh");
  fs::create_directories(base_ / "udid/target/stale");
  Write("udid/target/stale/g", "old");
  Write("udid/dead-folder-file", "x");
  fs::create_directories(base_ / "udid/dead/deeper");
  Write("udid/dead/deeper/h", "x");
  Write("udid/src", "12");
  Write("udid/dst", "longer stale content");
  Write("keep", "outside the udid folder but inside the base");

  device_.Message("DLMessageMoveItems",
                  Msg("DLMessageMoveItems", {Dict({{"udid/Snapshot", Str("udid/target")}})}));
  device_.Message("DLMessageMoveFiles",
                  Msg("DLMessageMoveFiles", {Dict({{"udid/nothing", Str("udid/dst")}})}));
  device_.Message("DLMessageRemoveItems",
                  Msg("DLMessageRemoveItems",
                      {Strings({"udid/dead", "udid/never-was", "udid/dead-folder-file"})}));
  device_.Message("DLMessageRemoveFiles",
                  Msg("DLMessageRemoveFiles", {Strings({"/etc/hostname", "udid/../keep", "."})}));
  device_.Message("DLMessageCopyItem",
                  Msg("DLMessageCopyItem", {Str("udid/target"), Str("udid/copy")}));
  device_.Message("DLMessageCopyItem",
                  Msg("DLMessageCopyItem", {Str("udid/src"), Str("udid/dst")}));
  device_.Message("DLMessageCopyItem",
                  Msg("DLMessageCopyItem", {Str("udid/target"), Str("udid/target/inner")}));
  device_.Message("DLMessageCreateDirectory",
                  Msg("DLMessageCreateDirectory", {Str("udid/new/deep")}));
  device_.Message("DLMessageCreateDirectory", Msg("DLMessageCreateDirectory", {Str("../up")}));
  device_.Message("DLMessageMoveItems", Msg("DLMessageMoveItems", {Strings({"not a dict"})}));
  Disconnect();
  ASSERT_EQ(Run(), kResultOk);

  // The move replaced the whole target folder.
  EXPECT_EQ(Read("udid/target/sub/f"), "fresh");
  EXPECT_FALSE(fs::exists(base_ / "udid/target/stale"));
  EXPECT_FALSE(fs::exists(base_ / "udid/Snapshot"));
  // A move from a missing source leaves the target.
  EXPECT_FALSE(fs::exists(base_ / "udid/dead"));
  EXPECT_FALSE(fs::exists(base_ / "udid/dead-folder-file"));
  EXPECT_EQ(Read("keep"), "outside the udid folder but inside the base");
  EXPECT_TRUE(fs::exists(base_ / "udid"));
  EXPECT_EQ(Read("udid/copy/sub/f"), "fresh");
  EXPECT_EQ(Read("udid/dst"), "12");  // truncated, no stale tail
  EXPECT_FALSE(fs::exists(base_ / "udid/target/inner"));
  EXPECT_TRUE(fs::is_directory(base_ / "udid/new/deep"));
  EXPECT_FALSE(fs::exists(dir_ / "up"));

  std::vector<std::pair<std::int32_t, std::string>> statuses;
  for (const auto& status : device_.statuses) statuses.emplace_back(status.code, status.text);
  const std::vector<std::pair<std::int32_t, std::string>> expected = {
      {0, ""},
      {-6, "No such file or directory"},
      {0, ""},
      {-14, "Invalid path"},
      {0, ""},
      {0, ""},
      {0, ""},
      {0, ""},
      {-14, "Invalid path"},
      {-1, "Could not create dict iterator"}};
  EXPECT_EQ(statuses, expected);
}

TEST_F(MessageLoop, AnswersFreeSpaceAndListsFolders) {
  Write("udid/file", "12345");
  fs::create_directories(base_ / "udid/sub");
  const timespec times[2] = {{1577836800, 0}, {1577836800, 0}};  // 2020-01-01 00:00:00 UTC
  ASSERT_EQ(::utimensat(AT_FDCWD, (base_ / "udid/file").c_str(), times, 0), 0);

  device_.Message("DLMessageGetFreeDiskSpace", Msg("DLMessageGetFreeDiskSpace"));
  device_.Message("DLContentsOfDirectory", Msg("DLContentsOfDirectory", {Str("udid")}));
  device_.Message("DLContentsOfDirectory", Msg("DLContentsOfDirectory", {Str("/etc")}));
  device_.Message("DLContentsOfDirectory",
                  Msg("DLContentsOfDirectory"));  // malformed: no answer
  Disconnect();
  ASSERT_EQ(Run(), kResultOk);

  ASSERT_EQ(device_.statuses.size(), 3u);
  EXPECT_EQ(device_.statuses[0].code, 0);
  ASSERT_EQ(plist_get_node_type(device_.statuses[0].value.get()), PLIST_UINT);
  EXPECT_GT(IntOf(device_.statuses[0].value.get()), 0);

  const plist_t listing = device_.statuses[1].value.get();
  ASSERT_EQ(plist_dict_get_size(listing), 2u);
  const plist_t file = plist_dict_get_item(listing, "file");
  EXPECT_EQ(StringOf(plist_dict_get_item(file, "DLFileType")), "DLFileTypeRegular");
  EXPECT_EQ(IntOf(plist_dict_get_item(file, "DLFileSize")), 5);
  std::int32_t seconds = 0, micros = -1;
  plist_get_date_val(plist_dict_get_item(file, "DLFileModificationDate"), &seconds, &micros);
  EXPECT_EQ(seconds, 1577836800 - 978307200);  // libplist 2.2 counts from 2001
  EXPECT_EQ(StringOf(plist_dict_get_item(plist_dict_get_item(listing, "sub"), "DLFileType")),
            "DLFileTypeDirectory");

  EXPECT_EQ(device_.statuses[2].code, -14);
  EXPECT_EQ(plist_dict_get_size(device_.statuses[2].value.get()), 0u);
  EXPECT_NE(diagnostics_.find("Malformed DLContentsOfDirectory message"), std::string::npos);
}

TEST_F(MessageLoop, DeviceErrorEndsTheLoopWithItsNegatedCode) {
  device_.Message("DLMessageProcessMessage",
                  Msg("DLMessageProcessMessage",
                      {Dict({{"ErrorCode", plist_new_uint(5)},
                             {"ErrorDescription", Str("Backup failed: wrong password")},
                             {"Content", Str("shown only in the log")}})}));
  device_.Message("DLMessageGetFreeDiskSpace", Msg("DLMessageGetFreeDiskSpace"));
  EXPECT_EQ(Run(), -5);
  EXPECT_EQ(state_.errorDescription, "Backup failed: wrong password");
  EXPECT_NE(diagnostics_.find("shown only in the log"), std::string::npos);
  EXPECT_TRUE(device_.statuses.empty());
}

TEST_F(MessageLoop, TenEmptyReceivesAreToleratedTheEleventhAborts) {
  abort_ = 3;  // left over from an earlier run: reset when the loop starts
  device_.Silence(10);
  Disconnect();
  EXPECT_EQ(Run(), kResultOk);
  EXPECT_EQ(device_.sleeps.size(), 10u);

  FakeDevice silent;
  silent.Silence(11);
  silent.Message("DLMessageDisconnect", Msg("DLMessageDisconnect"));
  EXPECT_EQ(RunMessageLoop(silent, base_, state_), -1);
  EXPECT_EQ(silent.sleeps, std::vector<std::chrono::milliseconds>(11, kDeviceReceiveWait));
  EXPECT_GT(abort_.load(), 0);
}

TEST_F(MessageLoop, ProgressReachesTheCallbackScaledAndAStopAnswerEndsTheLoop) {
  std::vector<std::int32_t> seen;
  state_.progressScale = 20;
  state_.progress = [&](std::int32_t value) {
    seen.push_back(value);
    return value >= 19 ? Result{2} : kResultOk;
  };
  const auto remove = [&](double progress) {
    device_.Message("DLMessageRemoveFiles",
                    WithProgress("DLMessageRemoveFiles", Strings({}), progress));
  };
  remove(99);    // not less than 99 above 0: refused
  remove(42.7);  // 8.54 -> 8
  remove(-3);    // refused
  device_.Message("DLMessageSomethingNew",
                  Msg("DLMessageSomethingNew"));  // no callback
  device_.Message("DLMessageUploadFiles",
                  WithProgress("DLMessageUploadFiles", Dict({}), 60));  // index 2
  device_.Raw(Upload().End().bytes);
  remove(99.9);  // less than 99 above 60: taken, 19.98 -> 19, and the answer stops
  remove(10);
  EXPECT_EQ(Run(), 2);
  EXPECT_EQ(seen, (std::vector<std::int32_t>{0, 8, 8, 12, 19}));
  EXPECT_DOUBLE_EQ(state_.overallProgress, 99.9);
}

TEST_F(MessageLoop, AbortRaisedDuringTheLoopEndsItWithMinusOne) {
  state_.progress = [&](std::int32_t) {
    abort_.fetch_add(1);
    return kResultOk;
  };
  device_.Message("DLMessageCreateDirectory", Msg("DLMessageCreateDirectory", {Str("udid/a")}));
  device_.Message("DLMessageCreateDirectory", Msg("DLMessageCreateDirectory", {Str("udid/b")}));
  EXPECT_EQ(Run(), -1);
  EXPECT_EQ(device_.statuses.size(), 1u);
}

TEST_F(MessageLoop, RandomUploadStreamsEndAndStayInsideTheBase) {
  std::mt19937 random(7);
  for (int round = 0; round < 300; ++round) {
    FakeDevice device;
    device.Message("DLMessageUploadFiles", Msg("DLMessageUploadFiles", {Dict({})}));
    // A valid start, then bytes that are mostly small numbers, dots and slashes.
    std::vector<std::uint8_t> bytes = Upload().File("udid/f").Data("ok").bytes;
    const char alphabet[] = {0, 0, 0, 1, 2, 5, 0x0B, 0x0C, '.', '.', '/', 'a'};
    for (int i = static_cast<int>(random() % 200); i > 0; --i)
      bytes.push_back(static_cast<std::uint8_t>(alphabet[random() % sizeof alphabet]));
    device.Raw(bytes);
    device.rawPiece = 1 + random() % 8;
    device.Message("DLMessageDisconnect", Msg("DLMessageDisconnect"));
    const Result result = RunMessageLoop(device, base_, state_);
    EXPECT_TRUE(result == kResultOk || result == -1) << round;
  }
  std::vector<fs::path> top;
  for (const auto& entry : fs::directory_iterator(dir_.path())) top.push_back(entry.path());
  EXPECT_EQ(top, std::vector<fs::path>{base_});
}

}  // namespace
}  // namespace kestrio

#include "backup/decryption.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <optional>
#include <thread>
#include <vector>

extern char** environ;

#include "base/unique_fd.h"

namespace kestrio {
namespace {

namespace fs = std::filesystem;

constexpr int kEndedRounds = 100;  // rounds the loop goes on after the program has ended
constexpr int kRoundMilliseconds = 5;
constexpr std::size_t kReadBytes = 4096;
constexpr std::string_view kWrongPassword = "Wrong password";
constexpr std::string_view kCount = "Count:";
// Bytes kept from one read to the next, so that a marker split across two reads is found.
constexpr std::size_t kCarry = 32;
// Output lines longer than this are cut (the program prints file IDs and short reasons).
constexpr std::size_t kMaxLine = 1024;
constexpr std::string_view kSkipped = ", skipped";
constexpr std::string_view kRefused = "refused file ID ";

bool MakePipe(UniqueFd& read, UniqueFd& write) {
  int ends[2];
  if (::pipe2(ends, O_CLOEXEC) != 0) return false;
  read.Reset(ends[0]);
  write.Reset(ends[1]);
  return true;
}

// Copies the shipped program over the installed one, with its run bit. A failed copy leaves
// an older installed copy in place.
fs::path Install(const DecryptionSetup& setup) {
  const fs::path installed = setup.workFolder / kDecryptionProgramName;
  std::error_code error;
  fs::create_directories(setup.workFolder, error);
  fs::copy_file(setup.programFolder / kDecryptionProgramName, installed,
                fs::copy_options::overwrite_existing, error);
  fs::permissions(installed,
                  fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                      fs::perms::others_read | fs::perms::others_exec,
                  fs::perm_options::replace, error);
  return installed;
}

// The number after the last "Count:" of `text`, if any.
std::optional<std::uint64_t> LastCount(std::string_view text) {
  const std::size_t at = text.rfind(kCount);
  if (at == std::string_view::npos) return std::nullopt;
  const char* begin = text.data() + at + kCount.size();
  std::uint64_t value = 0;
  const auto [end, error] = std::from_chars(begin, text.data() + text.size(), value);
  if (error != std::errc() || end == begin) return std::nullopt;
  return value;
}

// Ends the program and everything it started (it runs in a process group of its own).
void EndProgram(pid_t pid) {
  ::kill(-pid, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(-pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

}  // namespace

std::vector<fs::path> FolderFiles(const fs::path& folder) {
  std::vector<fs::path> files;
  std::error_code error;
  for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
    std::error_code ignored;
    if (!it->is_directory(ignored)) {
      files.push_back(it->path());
      continue;
    }
    std::error_code inner;
    for (fs::directory_iterator sub(it->path(), inner); !inner && sub != end;
         sub.increment(inner)) {
      if (!sub->is_directory(ignored)) files.push_back(sub->path());
    }
  }
  return files;
}

std::optional<Finding> DecryptionFinding(std::string_view line) {
  if (line.starts_with(kRefused)) {
    const std::size_t colon = line.rfind(": ");
    if (colon == std::string_view::npos || colon <= kRefused.size()) return std::nullopt;
    return Finding{std::string(line.substr(kRefused.size(), colon - kRefused.size())),
                   "stored file", "backup index",
                   "refused: " + std::string(line.substr(colon + 2))};
  }
  if (!line.ends_with(kSkipped)) return std::nullopt;
  const std::size_t colon = line.find(": ");
  if (colon == std::string_view::npos || colon == 0) return std::nullopt;
  const std::string_view reason =
      line.substr(colon + 2, line.size() - kSkipped.size() - (colon + 2));
  return Finding{std::string(line.substr(0, colon)), "stored file", "backup folder",
                 std::string(reason)};
}

namespace {

// Splits the program's output into lines and reports the skipped files among them.
class SkipLines {
 public:
  explicit SkipLines(FindingsSink* findings) : findings_(findings) {}
  void Add(std::string_view text) {
    for (char c : text) {
      if (c == '\n' || c == '\r') {
        if (const auto finding = DecryptionFinding(line_); finding && findings_)
          findings_->Report(*finding);
        if (!line_.empty()) last_ = line_;
        line_.clear();
      } else if (line_.size() < kMaxLine) {
        line_.push_back(c);
      }
    }
  }

  // The last line the program wrote: why it gave up, when it did.
  const std::string& Last() const { return line_.empty() ? last_ : line_; }

 private:
  FindingsSink* findings_;
  std::string line_;
  std::string last_;
};

}  // namespace

Result RunDecryption(const std::string& password, const fs::path& backupFolder,
                     const DecryptionSetup& setup, ProgressSink& progress, FindingsSink* findings) {
  UniqueFd inRead, inWrite, outRead, outWrite;
  if (!MakePipe(inRead, inWrite) || !MakePipe(outRead, outWrite)) return kResultInvalid;
  const fs::path installed = Install(setup);
  std::error_code error;
  fs::create_directories(setup.outputFolder, error);
  const std::uint64_t files = std::max<std::uint64_t>(BackupFileCount(backupFolder), 1);

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attributes);
  posix_spawn_file_actions_adddup2(&actions, inRead.Get(), STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, outWrite.Get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, outWrite.Get(), STDERR_FILENO);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  std::string program = installed.string(), backup = backupFolder.string(),
              output = setup.outputFolder.string(), secret = password;
  char* argv[] = {program.data(), backup.data(), output.data(), secret.data(), nullptr};
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, program.c_str(), &actions, &attributes, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  inRead.Reset();
  outWrite.Reset();
  if (spawned != 0) return kResultInvalid;

  Result result = kResultOk;
  bool ended = false;
  int status = 0;
  int countdown = kEndedRounds;
  std::string carried;
  SkipLines skipped(findings);
  std::vector<char> buffer(kReadBytes);
  for (;;) {
    if (!ended && ::waitpid(pid, &status, WNOHANG) == pid) ended = true;
    if (ended && --countdown < 0) break;
    pollfd ready{outRead.Get(), POLLIN, 0};
    const int polled = ::poll(&ready, 1, kRoundMilliseconds);
    if (polled < 0 && errno != EINTR) break;
    if (polled <= 0) continue;
    const ssize_t n = ::read(outRead.Get(), buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    skipped.Add(std::string_view(buffer.data(), static_cast<std::size_t>(n)));
    const std::string text = carried + std::string(buffer.data(), static_cast<std::size_t>(n));
    carried = text.substr(text.size() > kCarry ? text.size() - kCarry : 0);
    if (text.find(kWrongPassword) != std::string::npos) {
      result = kResultWrongPassword;
      break;
    }
    std::uint64_t done = 0;
    if (const auto count = LastCount(text)) {
      done = std::min(*count, files);
      if (progress.base == 0) {
        progress.base = 1;
        if (const Result answer = progress.Report(1); answer != kResultOk) {
          result = answer;
          break;
        }
      }
    }
    const auto percent = static_cast<std::int32_t>(progress.base + progress.span * done / files);
    if (const Result answer = progress.Report(percent); answer != kResultOk) {
      result = answer;
      break;
    }
  }
  // A program the watch left early (a stop, a wrong password) is ended, so that it writes
  // nothing more into the folder the next run cleans; one that closed its output is waited
  // for.
  if (!ended) {
    if (result != kResultOk) {
      EndProgram(pid);
    } else {
      while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
      }
      ended = true;
    }
  }
  outRead.Reset();
  inWrite.Reset();
  progress.Report(progress.base + progress.span);
  // A program that gave up (a damaged index, an output folder it cannot write) deciphered
  // nothing usable: that is a failure to open the backup, with the program's reason.
  if (result == kResultOk && ended && (!WIFEXITED(status) || WEXITSTATUS(status) != 0)) {
    Report(findings, Finding{"decryption program", "backup", backupFolder.string(),
                             skipped.Last().empty() ? "it failed" : skipped.Last()});
    result = kResultInvalid;
  }
  return result;
}

}  // namespace kestrio

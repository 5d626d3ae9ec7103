// tool BACKUP_FOLDER OUTPUT_FOLDER PASSWORD
// Deciphers an encrypted backup; see decrypt_backup.h for what it writes and prints.
#include <cstdio>
#include <string_view>

#include "tools/decrypt/decrypt_backup.h"

namespace {

void WriteLine(std::FILE* stream, std::string_view line) {
  std::fwrite(line.data(), 1, line.size(), stream);
  std::fputc('\n', stream);
  std::fflush(stream);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    WriteLine(stderr, "usage: tool BACKUP_FOLDER OUTPUT_FOLDER PASSWORD");
    return 64;
  }
  kestrio::decrypt::RunOptions options;
  options.backupFolder = argv[1];
  options.outputFolder = argv[2];
  options.password = argv[3];
  options.out = [](std::string_view line) { WriteLine(stdout, line); };
  options.err = [](std::string_view line) { WriteLine(stderr, line); };
  return kestrio::decrypt::DecryptBackup(options);
}

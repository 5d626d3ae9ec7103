// Writes the small sample backup the README's demo recovers.
//
//   kestrio-sample-backup <folder>
#include <cstdio>
#include <exception>
#include <filesystem>

#include "tests/fixtures/ios_fixtures.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <folder>\n", argv[0]);
    return 1;
  }
  try {
    const std::filesystem::path folder = argv[1];
    if (std::filesystem::exists(folder / "Manifest.db")) {
      std::printf("%s already holds a backup\n", folder.c_str());
      return 0;
    }
    const auto model = kestrio::fixtures::WriteSampleBackup(folder);
    std::printf("wrote the sample backup of \"%s\" into %s\n", model.info.displayName.c_str(),
                folder.c_str());
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kestrio-sample-backup: %s\n", error.what());
    return 1;
  }
  return 0;
}

// The photo library of the Camera Roll: Media/PhotoData/Photos.sqlite (CameraRollDomain), a
// Core Data store with one row per asset.
//
// THE ASSET TABLE is ZGENERICASSET up to iOS 13 and ZASSET from iOS 14 on (ZASSET is taken
// when both are listed). The columns read, by name, are the same in both:
//   ZDIRECTORY     the asset's folder below Media/ ("DCIM/100APPLE"); some rows hold only
//                  the last part ("100APPLE"), which lies below Media/DCIM/
//   ZFILENAME      the file's name ("IMG_0001.HEIC")
//   ZDATECREATED   when the photo was taken, seconds since 2001-01-01 (usually a double)
//   ZTRASHEDSTATE  1: in "Recently Deleted"; ZTRASHEDDATE when it was put there
//   ZHIDDEN        1: in the "Hidden" album
//   ZADDITIONALATTRIBUTES  the Z_PK of the asset's ZADDITIONALASSETATTRIBUTES row, whose
//                  ZORIGINALFILENAME is the name the file had when it came into the library
//                  (that row's ZASSET points back at the asset)
//
// Only live rows describe the library. A Core Data store rewrites a row on every change, so
// the free space holds older versions of rows that are still live (an asset put into and taken
// out of "Recently Deleted" leaves a carved copy saying it is trashed); carved asset rows are
// therefore only counted and listed, never used to mark a file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "base/findings.h"
#include "base/result.h"

namespace kestrio {

// Findings name the library by this label.
inline constexpr std::string_view kPhotoLibraryLabel = "Photos.sqlite";

struct PhotoAsset {
  std::int64_t rowId = 0;    // Z_PK; 0 for a carved row
  std::string relativePath;  // as the backup keys it below CameraRollDomain: "Media/DCIM/..."
  std::string dateText;      // ZDATECREATED as local time; empty when it holds no number
  std::string trashedDateText;
  std::string originalName;  // empty when the library keeps none
  bool trashed = false;
  bool hidden = false;
};

struct PhotoLibrary {
  std::string table;               // "ZASSET" or "ZGENERICASSET"
  std::vector<PhotoAsset> assets;  // live rows, in the table's rowid order
  std::vector<PhotoAsset> carved;  // asset rows found in the free space (no rowid)
};

// Reads the library at `path` into `library` (emptied first). Rows whose folder or file name
// is unusable as a path (empty, "." or ".." parts, a leading "/", NUL or other control
// characters, broken UTF-8) are left out with a finding, as are dates that are not numbers
// (the asset is kept without its date). Results: 0; the reader's open error for a file that is
// not SQLite; kResultLayoutUnknown (with a finding) when the file has no asset table of either
// name, or one without ZDIRECTORY and ZFILENAME.
Result ReadPhotoLibrary(const std::filesystem::path& path, PhotoLibrary& library,
                        FindingsSink* findings = nullptr);

// The path a row's folder and file name give below the Camera Roll domain, or empty when the
// two cannot name a file safely (see ReadPhotoLibrary).
std::string AssetRelativePath(std::string_view directory, std::string_view fileName);

}  // namespace kestrio

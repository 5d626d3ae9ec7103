// Contacts from the address book's full-text search content table.
//
// ABPersonFullTextSearch_content holds one row per person with the person's texts:
//   0 docid (rowid alias), 1 first name, 2 last name, ..., 7 organisation, ...
//   then phone, e-mail, postal address, social profile and URL: columns 16 to 20, or 17 to
//   21 in the newer layout (backups indexed by Manifest.db), which has one more column
//   before the phone column. Phone texts hold every number of the person in several forms,
//   each followed by a space: "5551234567 +15551234567 555-123-4567 ".
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "base/result.h"
#include "parsers/parse_context.h"
#include "parsers/table_shapes.h"

namespace kestrio {

inline constexpr std::string_view kContactTable = "ABPersonFullTextSearch_content";
// The address book as findings name it (its stored file is named by a hash).
inline constexpr std::string_view kAddressBookLabel = "AddressBook.sqlitedb";

struct ContactRecord {
  bool deleted = false;
  std::string email;
  std::string postalAddress;
  std::string social;
  std::string homePage;
  std::string phones;  // after ParseContacts: the cleaned numbers, one per line
  std::string company;
  std::string fullName;  // first and last name joined without a separator
};

// Scans the contact table of the address book open in `reader` and appends every accepted
// row, live and deleted, in scan order, unfiltered. Returns the scan's result.
Result ReadContactRows(TableReader& reader, std::vector<ContactRecord>& contacts);

// Reads the address book and keeps the contacts that have phone numbers, named ("No Name"
// when they have none), with their numbers cleaned, sorted by name. `highestRowId` receives
// the highest rowid of a live contact row.
Result ParseContacts(const ParseContext& context, const std::filesystem::path& addressBookPath,
                     std::vector<ContactRecord>& contacts, std::uint64_t& highestRowId);

// The phone-list rebuild: every space-terminated piece of 7 or more characters, unless it
// ends in the same two characters as the number taken before it; joined with line feeds.
std::string CleanPhoneList(std::string_view phoneText);

// Appends every row of the contact table, live and deleted, as a line of comma-separated
// SQL-style values to `outputFile`. Rows without a rowid (carved) are numbered on from
// `highestRowId`.
Result DumpContactRows(const std::filesystem::path& addressBookPath,
                       const std::filesystem::path& outputFile, std::uint64_t highestRowId,
                       bool newLayout = false);

}  // namespace kestrio

// Contacts from the address book (AddressBook.sqlitedb).
//
// The address book keeps a person in ABPerson (names, organisation) and the person's phone
// numbers, e-mail addresses, URLs, postal addresses and profiles in ABMultiValue, one row per
// value, joined by record_id; structured values keep their parts in ABMultiValueEntry. The
// same texts are repeated in the content table of the full-text search index
// (ABPersonFullTextSearch_content, one row per person, docid = ABPerson.ROWID), whose phone
// texts hold every number of the person in several forms separated by spaces:
// "(555) 010-4477 +15550104477 5550104477 0104477". That table is read on its own only when
// the file has no person and value tables, and otherwise serves as a second source of
// deleted contacts.
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
  std::string email;          // one per line
  std::string postalAddress;  // one per line, "Label: Street, City, State ZIP, Country"
  std::string social;         // profiles and instant messaging, "service: user", one per line
  std::string homePage;       // URLs, one per line
  std::string phones;         // numbers as stored, one per line
  std::string company;
  // First and last name joined with a space; the organisation when both are empty. Empty
  // from ReadContactRows for a contact without any name; ParseContacts says "No Name".
  std::string fullName;
};

// Appends every contact of the address book open in `reader`, live and deleted: the live
// persons in rowid order, then the deleted contacts found in freed space. Bad input (a missing
// column, a value of no person) is left out or listed as found, never fatal.
Result ReadContactRows(TableReader& reader, std::vector<ContactRecord>& contacts);

// Reads every contact of the address book, live and deleted, with or without a phone, sorted
// by name without regard to case. `highestRowId` receives the highest rowid of a live person
// (of a live content-table row when the file has no person table). Findings go to
// `context.findings`.
Result ParseContacts(const ParseContext& context, const std::filesystem::path& addressBookPath,
                     std::vector<ContactRecord>& contacts, std::uint64_t& highestRowId);

// The distinct numbers of a phone text of the full-text content table, one per line, each in
// the first form the text gives it: forms whose digits end with the digits of a number
// already taken (with its country code, an international prefix, without its area code) are
// the same number. A form written with spaces ("(555) 010-4477") is kept whole when the text
// also holds its digits in one piece. Pieces of fewer than 7 digits are not numbers.
std::string SearchTextPhones(std::string_view phoneText);

// Appends every row of the contact table, live and deleted, as a line of comma-separated
// SQL-style values to `outputFile`. Rows without a rowid (carved) are numbered on from
// `highestRowId`.
Result DumpContactRows(const std::filesystem::path& addressBookPath,
                       const std::filesystem::path& outputFile, std::uint64_t highestRowId,
                       bool newLayout = false);

}  // namespace kestrio

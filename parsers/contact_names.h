// Names of people for the addresses that messages and calls show.
//
// A message or a call names the other party by a phone number as the network gave it
// ("+15550104477") or an e-mail address; the address book keeps the number as the user typed
// it ("+1 (555) 010-4477", "(555) 010-4477"). Numbers are compared by their digits: two
// numbers match when the digits of one end with all the digits of the other and the shorter
// has at least kMinimumDigits of them, so a number with its country code or an international
// prefix ("001...", "011...") matches the same number without. E-mail addresses match
// without regard to ASCII case.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "parsers/contacts.h"

namespace kestrio {

class ContactNames {
 public:
  // Shorter digit runs (extensions, short codes) only match exactly.
  static constexpr std::size_t kMinimumDigits = 7;

  // `contacts` as ReadContactRows gives them: phones and e-mail addresses one per line.
  // Live contacts win over deleted ones; among equals the first in the list wins.
  explicit ContactNames(const std::vector<ContactRecord>& contacts);

  // The name of the person with this number or address; empty when nobody has it.
  std::string_view NameOf(std::string_view address) const;

 private:
  struct Number {
    std::string digits;
    std::string name;
  };
  void Add(const ContactRecord& contact);

  // Keyed by the last kMinimumDigits digits (the whole run when shorter).
  std::unordered_map<std::string, std::vector<Number>> numbers_;
  std::unordered_map<std::string, std::string> emails_;  // lower-case address -> name
};

// The decimal digits of `text`, in order.
std::string PhoneDigits(std::string_view text);

}  // namespace kestrio

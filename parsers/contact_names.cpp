#include "parsers/contact_names.h"

#include "base/text.h"

namespace kestrio {
namespace {

std::string_view KeyOf(std::string_view digits) {
  return digits.size() <= ContactNames::kMinimumDigits
             ? digits
             : digits.substr(digits.size() - ContactNames::kMinimumDigits);
}

bool EndsWith(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && text.substr(text.size() - tail.size()) == tail;
}

// Calls f(line) for every non-empty line of `text`, with surrounding spaces trimmed.
template <typename F>
void ForEachLine(std::string_view text, F f) {
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    while (!line.empty() && (line.front() == ' ' || line.front() == '\r')) line.remove_prefix(1);
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.remove_suffix(1);
    if (!line.empty()) f(line);
  }
}

}  // namespace

std::string PhoneDigits(std::string_view text) {
  std::string digits;
  for (char c : text) {
    if (c >= '0' && c <= '9') digits += c;
  }
  return digits;
}

ContactNames::ContactNames(const std::vector<ContactRecord>& contacts) {
  for (const ContactRecord& contact : contacts) {
    if (!contact.deleted) Add(contact);
  }
  for (const ContactRecord& contact : contacts) {
    if (contact.deleted) Add(contact);
  }
}

void ContactNames::Add(const ContactRecord& contact) {
  if (contact.fullName.empty()) return;
  ForEachLine(contact.phones, [&](std::string_view phone) {
    std::string digits = PhoneDigits(phone);
    if (digits.empty()) return;
    auto& bucket = numbers_[std::string(KeyOf(digits))];
    for (const Number& known : bucket) {
      if (known.digits == digits) return;  // the first person with the number keeps it
    }
    bucket.push_back({std::move(digits), contact.fullName});
  });
  ForEachLine(contact.email, [&](std::string_view email) {
    emails_.try_emplace(AsciiLower(email), contact.fullName);
  });
}

std::string_view ContactNames::NameOf(std::string_view address) const {
  if (address.find('@') != std::string_view::npos) {
    const auto it = emails_.find(AsciiLower(address));
    return it == emails_.end() ? std::string_view{} : std::string_view(it->second);
  }
  const std::string digits = PhoneDigits(address);
  if (digits.empty()) return {};
  const auto it = numbers_.find(std::string(KeyOf(digits)));
  if (it == numbers_.end()) return {};
  // An exact match wins over a match with or without a country code.
  for (const Number& known : it->second) {
    if (known.digits == digits) return known.name;
  }
  if (digits.size() < kMinimumDigits) return {};
  for (const Number& known : it->second) {
    if (known.digits.size() >= kMinimumDigits &&
        (EndsWith(known.digits, digits) || EndsWith(digits, known.digits)))
      return known.name;
  }
  return {};
}

}  // namespace kestrio

#include "parsers/contact_names.h"

#include <gtest/gtest.h>

namespace kestrio {
namespace {

ContactRecord Person(std::string name, std::string phones, std::string email = {},
                     bool deleted = false) {
  ContactRecord contact;
  contact.fullName = std::move(name);
  contact.phones = std::move(phones);
  contact.email = std::move(email);
  contact.deleted = deleted;
  return contact;
}

TEST(ContactNames, NumbersMatchByDigitsWithAndWithoutCountryCode) {
  const ContactNames names({
      Person("Ava Moreau", "+1 (555) 010-4477\n(555) 010-9321"),
      Person("Kai Lund", "0049 30 1234567"),
      Person("Short Code", "22777"),
  });
  EXPECT_EQ(names.NameOf("+15550104477"), "Ava Moreau");
  EXPECT_EQ(names.NameOf("5550104477"), "Ava Moreau");
  EXPECT_EQ(names.NameOf("+15550109321"), "Ava Moreau");  // stored without the country code
  EXPECT_EQ(names.NameOf("01115550109321"), "Ava Moreau");
  EXPECT_EQ(names.NameOf("+49301234567"), "Kai Lund");
  EXPECT_EQ(names.NameOf("22777"), "Short Code");
  // Short runs and different numbers that share a tail do not match.
  EXPECT_EQ(names.NameOf("777"), "");
  EXPECT_EQ(names.NameOf("+15550104478"), "");
  EXPECT_EQ(names.NameOf("+1 555 999 4477"), "");
  EXPECT_EQ(names.NameOf(""), "");
}

TEST(ContactNames, EmailsMatchWithoutCaseAndLivePeopleWin) {
  const ContactNames names({
      Person("Old Card", "5550104477", "ava@example.org", /*deleted=*/true),
      Person("Ava Moreau", "5550104477", "Ava@Example.org\nwork@example.org"),
      Person("", "5551112222"),  // nobody to name
  });
  EXPECT_EQ(names.NameOf("AVA@example.ORG"), "Ava Moreau");
  EXPECT_EQ(names.NameOf("work@example.org"), "Ava Moreau");
  EXPECT_EQ(names.NameOf("+15550104477"), "Ava Moreau");
  EXPECT_EQ(names.NameOf("5551112222"), "");
  EXPECT_EQ(names.NameOf("nobody@example.org"), "");
}

}  // namespace
}  // namespace kestrio

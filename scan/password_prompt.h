// The password prompt of an encrypted backup: the dialog is shown until the user confirms a
// password, confirms an empty one after being warned, or cancels.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace kestrio {

struct PasswordPromptSteps {
  // Shows the password dialog: 1 when confirmed (with the password), anything else cancels.
  std::function<int(std::string& password)> ask;
  // Warns that the password is empty: 1 asks again, anything else goes on without one.
  std::function<int()> warnEmpty;
};

// Nothing when cancelled; otherwise the password to use ("" for an unencrypted backup, or when
// the user went on without one).
std::optional<std::string> PromptPassword(bool encrypted, const PasswordPromptSteps& steps);

}  // namespace kestrio

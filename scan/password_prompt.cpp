#include "scan/password_prompt.h"

namespace kestrio {

std::optional<std::string> PromptPassword(bool encrypted, const PasswordPromptSteps& steps) {
  if (!encrypted) return std::string();
  for (;;) {
    std::string password;
    if (!steps.ask || steps.ask(password) != 1) return std::nullopt;
    if (!password.empty()) return password;
    if (!steps.warnEmpty || steps.warnEmpty() != 1) return std::string();
  }
}

}  // namespace kestrio

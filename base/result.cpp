#include "base/result.h"

#include <cerrno>
#include <cstring>

namespace kestrio {

Result SystemResult(int errorNumber) {
  // errno values are small positive numbers; anything else is still reported as a system
  // error rather than as success.
  if (errorNumber <= 0) errorNumber = EIO;
  return kResultSystemBase + errorNumber;
}

Result LastSystemResult() { return SystemResult(errno); }

bool IsSystemResult(Result result) { return result > kResultSystemBase; }

std::string ResultText(Result result) {
  switch (result) {
    case kResultOk:
      return "The operation completed successfully.";
    case kResultStopped:
      return "The operation was stopped.";
    case kResultInvalid:
      return "The input is missing, unreadable or not what was expected.";
    case kResultWrongPassword:
      return "The backup password is wrong.";
    case kResultManifestMbdbOpen:
      return "The backup index Manifest.mbdb could not be opened.";
    case kResultManifestDbQuery:
      return "The backup index Manifest.db could not be queried.";
    case kResultLayoutUnknown:
      return "The database has none of the tables this category is read from (layout not "
             "recognised).";
    case kResultKeybagUnreadable:
      return "The backup is encrypted, but its keybag is missing or damaged, so no password can "
             "open it.";
    default:
      break;
  }
  if (IsSystemResult(result)) {
    char buffer[256];
    // GNU strerror_r returns the text (which may or may not be in buffer).
    const char* text = strerror_r(result - kResultSystemBase, buffer, sizeof buffer);
    return text;
  }
  return "Error " + std::to_string(result) + ".";
}

std::string ResultName(Result result) {
  switch (result) {
    case kResultOk:
      return "kResultOk";
    case kResultStopped:
      return "kResultStopped";
    case kResultInvalid:
      return "kResultInvalid";
    case kResultWrongPassword:
      return "kResultWrongPassword";
    case kResultManifestMbdbOpen:
      return "kResultManifestMbdbOpen";
    case kResultManifestDbQuery:
      return "kResultManifestDbQuery";
    case kResultLayoutUnknown:
      return "kResultLayoutUnknown";
    case kResultKeybagUnreadable:
      return "kResultKeybagUnreadable";
    default:
      break;
  }
  if (IsSystemResult(result))
    return "kResultSystemBase+" + std::to_string(result - kResultSystemBase);
  return std::to_string(result);
}

}  // namespace kestrio

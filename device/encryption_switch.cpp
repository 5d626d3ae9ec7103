#include "device/encryption_switch.h"

#include "device/device_backup_driver.h"

namespace kestrio {

EncryptionSwitch::EncryptionSwitch(DeviceBackupDriver& device, LeftOffReport leftOff)
    : device_(device), report_(std::move(leftOff)) {}

EncryptionSwitch::~EncryptionSwitch() {
  try {
    Finish();
  } catch (...) {
    // A report that throws must not end the program from a destructor; the encryption state
    // is the driver's and stays readable.
  }
}

Result EncryptionSwitch::SwitchOff(const std::string& password) {
  if (!device_.WillEncrypt()) return kResultOk;
  const Result result = device_.DisableEncryption(password.c_str());
  if (result == kResultOk) switchedOff_ = true;
  return result;
}

bool EncryptionSwitch::Finish() {
  if (finished_) return !leftOff_;
  finished_ = true;
  if (!switchedOff_) return true;
  // One more attempt when the backup's own one failed or no backup ran.
  if (device_.EncryptionSwitchedOff()) device_.RestoreEncryption();
  if (!device_.EncryptionSwitchedOff()) return true;
  leftOff_ = true;
  if (report_) report_(device_.EncryptionRestoreResult());
  return false;
}

}  // namespace kestrio

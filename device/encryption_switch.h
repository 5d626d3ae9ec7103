// The device's backup encryption, switched off for one of Kestrio's backups and on again
// afterwards.
//
// A phone that encrypts its backups sends them encrypted; Kestrio asks it to switch the
// encryption off (with the owner's password) for its own backup and on again with the same
// password afterwards. A phone whose backups were encrypted must not be left without: however
// the owner's scope ends (success, failure, stop, an exception) the switch makes one more
// attempt to switch the encryption on, and says once, through its report, when it stays off.
//
// The backup itself (DeviceBackupDriver::RunBackup) switches encryption on again as soon as it
// ends; the switch is the owner's guarantee and the one place that tells the user.
#pragma once

#include <functional>
#include <string>

#include "base/result.h"

namespace kestrio {

class DeviceBackupDriver;

class EncryptionSwitch {
 public:
  // Called at most once, when the encryption this switch turned off could not be turned on
  // again: with the device's last answer.
  using LeftOffReport = std::function<void(Result)>;

  explicit EncryptionSwitch(DeviceBackupDriver& device, LeftOffReport leftOff = {});
  // Finish(); never throws.
  ~EncryptionSwitch();
  EncryptionSwitch(const EncryptionSwitch&) = delete;
  EncryptionSwitch& operator=(const EncryptionSwitch&) = delete;

  // Switches the encryption off with the device's backup password. kResultOk at once when the
  // device does not encrypt; kResultInvalid without a connection;
  // else the device's answer (minus its error code; the encryption then stays on).
  Result SwitchOff(const std::string& password);

  // Switches the encryption on again when it is still off (the backup's own attempt failed, or
  // no backup ran). True when the encryption is on again or was never switched off by this
  // switch; false when it stays off (the report has been called). Only the first call acts.
  bool Finish();

  // This switch turned the encryption off (whether or not it is on again now).
  bool SwitchedOff() const { return switchedOff_; }
  // Finish() ran and the encryption stays off.
  bool LeftOff() const { return leftOff_; }

 private:
  DeviceBackupDriver& device_;
  LeftOffReport report_;
  bool switchedOff_ = false;
  bool finished_ = false;
  bool leftOff_ = false;
};

}  // namespace kestrio

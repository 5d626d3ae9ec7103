// Result codes shared by every interface of the core.
//
// Kestrio reports errors as 32-bit integers, never as exceptions across an interface. Its own
// codes keep the values that stored results, the scan page and the command line rely on. A
// failure of the operating system is reported as kResultSystemBase + errno, so that it can
// never be mistaken for one of Kestrio's codes: ENOENT is 2 on Linux, which is also the
// "stopped" answer of a progress callback.
#pragma once

#include <cstdint>
#include <string>

namespace kestrio {

using Result = std::int32_t;

inline constexpr Result kResultOk = 0;
// A progress callback answered "stop" (any non-zero answer is passed on as it came).
inline constexpr Result kResultStopped = 2;
// A missing or unreadable input, a file that is not what was expected, a rejected record.
inline constexpr Result kResultInvalid = 87;
// The backup password did not open the keybag.
inline constexpr Result kResultWrongPassword = -110;
// The old manifest "Manifest.mbdb" did not open for reading.
inline constexpr Result kResultManifestMbdbOpen = 6009;
// The query of the new manifest "Manifest.db" reported an error.
inline constexpr Result kResultManifestDbQuery = 1006;
// A database is there but has none of the tables its category is read from (a layout not
// recognised).
inline constexpr Result kResultLayoutUnknown = 1007;
// The backup says it is encrypted, but its keybag (Manifest.plist's BackupKeyBag) is missing
// or cannot be read, so no password can open it.
inline constexpr Result kResultKeybagUnreadable = -112;
// System errors: kResultSystemBase + errno.
inline constexpr Result kResultSystemBase = 10000;

// The result for the current value of errno (or for the given errno value).
Result SystemResult(int errorNumber);
Result LastSystemResult();

bool IsSystemResult(Result result);

// A short English text for a result: Kestrio's own codes have fixed texts, system errors the
// text of strerror for their errno.
std::string ResultText(Result result);

// The named constant of a result ("kResultInvalid"), or "kResultSystemBase+<errno>", or the
// number itself for values passed on from a library.
std::string ResultName(Result result);

}  // namespace kestrio

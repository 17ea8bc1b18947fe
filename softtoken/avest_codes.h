#pragma once

#include <cstdint>

namespace vemo::token {

// The module's results: codes of the Avest range, so that the program's replies name the
// trouble in the bank's own words.
inline constexpr int32_t kOk = 0;
inline constexpr int32_t kFailure = static_cast<int32_t>(0xE82A0100u);        // undescribed
inline constexpr int32_t kNoCertificate = static_cast<int32_t>(0xE82A010Du);  // none on the token
inline constexpr int32_t kNotForSigning = static_cast<int32_t>(0xE82A0112u);  // key usage
inline constexpr int32_t kNoKey = static_cast<int32_t>(0xE82A0115u);          // no private key
inline constexpr int32_t kCancelled = static_cast<int32_t>(0xE82A0137u);      // PIN prompt
inline constexpr int32_t kSeveral = static_cast<int32_t>(0xE82A013Au);        // cannot choose
inline constexpr int32_t kWrongPin = static_cast<int32_t>(0xE82A0148u);
inline constexpr int32_t kNoToken = static_cast<int32_t>(0xE82A014Au);  // or not logged in
inline constexpr int32_t kNotYetValid = static_cast<int32_t>(0xE82A014Cu);
inline constexpr int32_t kExpired = static_cast<int32_t>(0xE82A014Du);
// sign_Enigma: the signing file cannot be used.
inline constexpr int32_t kTempFileError = 256;

}  // namespace vemo::token

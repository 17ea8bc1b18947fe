#pragma once

#include <cstdint>

namespace vemo {

// Status passed between the request handlers, the providers and reply composition. 0 is
// success; the Avest library's codes 0xE82A0100..0xE82A0200 are negative here.
using ResultCode = int32_t;

inline constexpr ResultCode kResultOk = 0;
inline constexpr ResultCode kReplyVersion = 1;
inline constexpr ResultCode kReplySignature = 2;
inline constexpr ResultCode kAvestLibraryError = 0x0F00;  // 3840
inline constexpr ResultCode kBadRequest = 0x0F01;         // 3841
inline constexpr ResultCode kNoRequestData = 0x0F02;      // 3842
inline constexpr ResultCode kDataEncodingError = 0x0F03;  // 3843
inline constexpr ResultCode kSigningError = 0x0F04;       // 3844
inline constexpr ResultCode kEnigmaNoTokens = 0x0F05;     // 3845
inline constexpr ResultCode kEnigmaWrongPassword = 38;
inline constexpr ResultCode kEnigmaKeyExpired = 40;
inline constexpr ResultCode kEnigmaNoSignProgram = 51;
inline constexpr ResultCode kEnigmaCancelled = 52;
inline constexpr ResultCode kEnigmaTempFileError = 256;
inline constexpr ResultCode kAvestDllError1 = 0xFF01;
inline constexpr ResultCode kAvestDllError2 = 0xFF02;
inline constexpr uint32_t kAvestFirstCode = 0xE82A0100;
inline constexpr uint32_t kAvestLastCode = 0xE82A0200;

constexpr bool IsAvestCode(ResultCode code) {
  const auto u = static_cast<uint32_t>(code);
  return u >= kAvestFirstCode && u <= kAvestLastCode;
}

constexpr bool IsEnigmaCode(ResultCode code) {
  return code == kEnigmaWrongPassword || code == kEnigmaKeyExpired ||
         code == kEnigmaNoSignProgram || code == kEnigmaCancelled ||
         code == kEnigmaTempFileError || code == kEnigmaNoTokens;
}

// Windows-style error numbers that travel from the request handlers to the request loop and
// from the server layer to its callers.
inline constexpr uint32_t kErrorNotEnoughMemory = 8;
inline constexpr uint32_t kErrorHandleEof = 38;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorAlreadyExists = 183;
inline constexpr uint32_t kErrorMoreData = 234;
inline constexpr uint32_t kErrorOperationAborted = 995;
inline constexpr uint32_t kErrorConnectionInvalid = 1229;

}  // namespace vemo

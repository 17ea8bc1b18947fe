#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vemo {

// Standard alphabet, "=" padding, no line breaks.
std::string Base64Encode(const void* bytes, size_t length);
inline std::string Base64Encode(std::string_view bytes) {
  return Base64Encode(bytes.data(), bytes.size());
}

// Accepts the standard and the URL-safe alphabet, optional padding, "=" and "." as group
// terminators. Throws std::runtime_error("Input is not valid base64-encoded data.") on any
// invalid character at an examined position.
// Any thread may call both functions.
std::string Base64Decode(std::string_view text);

// The same decoder without vector instructions (Base64Decode uses AVX2 where the processor
// has it); the results are identical. For tests and benchmarks.
std::string Base64DecodePortable(std::string_view text);

}  // namespace vemo

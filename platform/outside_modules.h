#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

// The C contract between the program and the outside signing modules (ours or a vendor's).
extern "C" {
typedef uint32_t AvCmHandle;
typedef int32_t (*AvCmInitFn)(uint32_t mode);
typedef int32_t (*AvCmInitExFn)(void);
typedef int32_t (*AvCmLoginFn)(const void* reserved1, const void* reserved2, AvCmHandle* handle,
                               int32_t flags);
typedef int32_t (*AvCmLogoutFn)(AvCmHandle handle, int32_t flags);
typedef int32_t (*AvCmSignFn)(void);
typedef int32_t (*SignAvestFn)(void* av_cm_sign, AvCmHandle handle, const uint8_t* document,
                               uint32_t document_length, uint8_t* signature,
                               int32_t* signature_length, uint32_t flags);
typedef int32_t (*SignEnigmaFn)(const char* observer_folder, const char* temp_file_path,
                                const char* password);
}

namespace vemo::platform {

// A dlopen handle, closed by the destructor. Errors carry dlerror().
class Module {
 public:
  // Opens "lib<name>.so" through the dynamic loader's search order; where it is not found,
  // the bundled software token module next to the program stands in. nullptr with *error set
  // when neither opens.
  static std::unique_ptr<Module> LoadOutside(const std::string& name, std::string* error);
  // Opens exactly this file or soname.
  static std::unique_ptr<Module> Open(const std::string& file, std::string* error);

  ~Module();
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  // nullptr when the module does not export the name.
  void* Symbol(const char* name) const;
  const std::string& file() const { return file_; }

 private:
  Module(void* handle, std::string file) : handle_(handle), file_(std::move(file)) {}
  void* handle_;
  std::string file_;
};

// Where the bundled module is looked for: $VEMO_MODULE_DIR when set, else the folder of the
// running program.
std::filesystem::path BundledModulePath();

inline constexpr char kAvCryptMailModule[] = "AvCryptMail";
inline constexpr char kFcpModule[] = "FCP";
inline constexpr char kBundledModuleFile[] = "libvemo-softtoken.so";

}  // namespace vemo::platform

namespace vemo::platform {

// AvCryptMail: the five entry points, looked up in the order AvCmLogin, AvCmLogout, AvCmSign,
// AvCmInit, AvCmInitEx. Load fails when the module cannot be opened (*missing_export stays
// empty) or when one of them is missing (*missing_export names the first); the module is then
// closed again.
class AvCryptMail {
 public:
  static std::unique_ptr<AvCryptMail> Load(std::string* error, std::string* missing_export);

  int32_t Init(uint32_t mode) const { return init_(mode); }
  int32_t Login(AvCmHandle* handle, int32_t flags) const {
    return login_(nullptr, nullptr, handle, flags);
  }
  int32_t Logout(AvCmHandle handle, int32_t flags) const { return logout_(handle, flags); }
  void* SignAddress() const { return reinterpret_cast<void*>(sign_); }

 private:
  explicit AvCryptMail(std::unique_ptr<Module> module) : module_(std::move(module)) {}
  std::unique_ptr<Module> module_;
  AvCmLoginFn login_ = nullptr;
  AvCmLogoutFn logout_ = nullptr;
  AvCmSignFn sign_ = nullptr;
  AvCmInitFn init_ = nullptr;
  AvCmInitExFn init_ex_ = nullptr;
};

// FCP: sign_Avest and sign_Enigma. Opened once, on first use, and kept for the life of the
// process, as an imported library would be.
class Fcp {
 public:
  // nullptr with *error when neither libFCP.so nor the bundled module opens, or an export is
  // missing. Thread-safe.
  static const Fcp* Get(std::string* error);

  // sign_Avest with a capacity of signature.size(). A length reported beyond the capacity or
  // below zero is a failure (kSignAvestBadLength), never a read past the buffer.
  int32_t SignAvest(void* av_cm_sign, AvCmHandle handle, const uint8_t* document,
                    uint32_t document_length, uint8_t* signature, int32_t capacity,
                    int32_t* signature_length) const;
  int32_t SignEnigma(const char* observer_folder, const char* temp_file_path,
                     const char* password) const {
    return sign_enigma_(observer_folder, temp_file_path, password);
  }

  // Tests only: drop the opened module so that the next Get opens it again.
  static void ResetForTesting();

 private:
  explicit Fcp(std::unique_ptr<Module> module) : module_(std::move(module)) {}
  std::unique_ptr<Module> module_;
  SignAvestFn sign_avest_ = nullptr;
  SignEnigmaFn sign_enigma_ = nullptr;
};

inline constexpr uint32_t kSignAvestFlags = 0x2100100;
// Our own result for a sign_Avest that claims more bytes than the buffer holds.
inline constexpr int32_t kSignAvestBadLength = 0x0F04;

}  // namespace vemo::platform

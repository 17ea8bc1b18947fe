#include "platform/outside_modules.h"

#include <dlfcn.h>

#include <cstdlib>
#include <mutex>
#include <system_error>

namespace vemo::platform {
namespace {

std::string LastDlError() {
  const char* text = ::dlerror();
  return text ? text : "unknown dynamic loader error";
}

template <typename Fn>
bool LookUp(const Module& module, const char* name, Fn* fn) {
  *fn = reinterpret_cast<Fn>(module.Symbol(name));
  return *fn != nullptr;
}

}  // namespace

std::unique_ptr<Module> Module::Open(const std::string& file, std::string* error) {
  // RTLD_LOCAL: a vendor's module and our bundled one export the same names; neither may
  // satisfy the other's references.
  void* handle = ::dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    if (error) *error = LastDlError();
    return nullptr;
  }
  return std::unique_ptr<Module>(new Module(handle, file));
}

std::unique_ptr<Module> Module::LoadOutside(const std::string& name, std::string* error) {
  std::string outside_error;
  if (auto module = Open("lib" + name + ".so", &outside_error)) return module;
  std::string bundled_error;
  if (auto module = Open(BundledModulePath().string(), &bundled_error)) return module;
  if (error) *error = outside_error + "; " + bundled_error;
  return nullptr;
}

Module::~Module() { ::dlclose(handle_); }

void* Module::Symbol(const char* name) const {
  ::dlerror();
  return ::dlsym(handle_, name);
}

std::filesystem::path BundledModulePath() {
  const char* dir = std::getenv("VEMO_MODULE_DIR");
  if (dir && *dir) return std::filesystem::path(dir) / kBundledModuleFile;
  std::error_code error;
  const auto program = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) return kBundledModuleFile;
  return program.parent_path() / kBundledModuleFile;
}

std::unique_ptr<AvCryptMail> AvCryptMail::Load(std::string* error, std::string* missing_export) {
  if (missing_export) missing_export->clear();
  auto module = Module::LoadOutside(kAvCryptMailModule, error);
  if (!module) return nullptr;
  std::unique_ptr<AvCryptMail> library(new AvCryptMail(std::move(module)));
  const Module& m = *library->module_;
  const char* missing = nullptr;
  if (!LookUp(m, "AvCmLogin", &library->login_)) {
    missing = "AvCmLogin";
  } else if (!LookUp(m, "AvCmLogout", &library->logout_)) {
    missing = "AvCmLogout";
  } else if (!LookUp(m, "AvCmSign", &library->sign_)) {
    missing = "AvCmSign";
  } else if (!LookUp(m, "AvCmInit", &library->init_)) {
    missing = "AvCmInit";
  } else if (!LookUp(m, "AvCmInitEx", &library->init_ex_)) {
    missing = "AvCmInitEx";
  }
  if (missing) {
    if (missing_export) *missing_export = missing;
    if (error) *error = m.file() + " does not export " + missing;
    return nullptr;  // closes the module again
  }
  return library;
}

namespace {

// The opened FCP module stays for the life of the process, as an imported library would: it
// is never closed, so that no thread still inside it at exit finds it gone.
std::mutex fcp_mutex;
Fcp* fcp_instance = nullptr;

}  // namespace

const Fcp* Fcp::Get(std::string* error) {
  std::lock_guard lock(fcp_mutex);
  if (fcp_instance) return fcp_instance;
  auto module = Module::LoadOutside(kFcpModule, error);
  if (!module) return nullptr;
  std::unique_ptr<Fcp> fcp(new Fcp(std::move(module)));
  const char* missing = nullptr;
  if (!LookUp(*fcp->module_, "sign_Avest", &fcp->sign_avest_)) {
    missing = "sign_Avest";
  } else if (!LookUp(*fcp->module_, "sign_Enigma", &fcp->sign_enigma_)) {
    missing = "sign_Enigma";
  }
  if (missing) {
    if (error) *error = fcp->module_->file() + " does not export " + missing;
    return nullptr;
  }
  fcp_instance = fcp.release();
  return fcp_instance;
}

void Fcp::ResetForTesting() {
  std::lock_guard lock(fcp_mutex);
  delete fcp_instance;
  fcp_instance = nullptr;
}

int32_t Fcp::SignAvest(void* av_cm_sign, AvCmHandle handle, const uint8_t* document,
                       uint32_t document_length, uint8_t* signature, int32_t capacity,
                       int32_t* signature_length) const {
  if (signature_length) *signature_length = 0;
  if (capacity < 0 || (capacity > 0 && !signature)) return kSignAvestBadLength;
  int32_t length = capacity;
  const int32_t result = sign_avest_(av_cm_sign, handle, document, document_length, signature,
                                     &length, kSignAvestFlags);
  // The module reports how much it wrote; we only believe lengths that lie inside the buffer.
  const bool length_fits = length >= 0 && length <= capacity;
  if (result != 0) return result;
  if (!length_fits) return kSignAvestBadLength;
  if (signature_length) *signature_length = length;
  return 0;
}

}  // namespace vemo::platform

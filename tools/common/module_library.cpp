#include "module_library.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <fstream>

namespace remote_host {

#ifdef _WIN32
const char kExportName[] = "_GetInterfacePtr@0";
static const char kModuleFile[] = "PYXRemote.dll";
static const char kSeparators[] = "\\/";
#else
const char kExportName[] = "GetInterfacePtr";
static const char kModuleFile[] = "libPYXRemote.so";
static const char kSeparators[] = "/";
#endif

static std::string ExecutablePath(const char* argv0) {
#ifdef _WIN32
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
  if (n > 0 && n < sizeof path) return std::string(path, n);
#else
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path);
  if (n > 0 && static_cast<size_t>(n) < sizeof path)
    return std::string(path, static_cast<size_t>(n));
#endif
  return argv0 ? argv0 : "";
}

std::string DefaultModulePath(const char* argv0) {
  const std::string self = ExecutablePath(argv0);
  const size_t slash = self.find_last_of(kSeparators);
  return (slash == std::string::npos ? std::string() : self.substr(0, slash + 1)) + kModuleFile;
}

bool ModuleLibrary::Load(const std::string& path, std::string* error) {
  Unload();
  if (!std::ifstream(path, std::ios::binary)) {
    *error = "cannot load " + path + ": no such file";
    return false;
  }
#ifdef _WIN32
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) {
    *error = "cannot load " + path + ": not a loadable library (error " +
             std::to_string(GetLastError()) + ")";
    return false;
  }
  handle_ = module;
  factory_ = reinterpret_cast<PFN_GetInterfacePtr>(
      reinterpret_cast<void (*)()>(GetProcAddress(module, kExportName)));
#else
  handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* why = dlerror();
    *error = "cannot load " + path + ": " + (why ? why : "not a loadable library");
    return false;
  }
  factory_ = reinterpret_cast<PFN_GetInterfacePtr>(dlsym(handle_, kExportName));
#endif
  if (factory_ == nullptr) {
    *error = path + " is not a PYXRemote module: it has no export " + kExportName;
    Unload();
    return false;
  }
  return true;
}

void ModuleLibrary::Unload() {
  if (handle_ == nullptr) return;
#ifdef _WIN32
  FreeLibrary(static_cast<HMODULE>(handle_));
#else
  dlclose(handle_);
#endif
  handle_ = nullptr;
  factory_ = nullptr;
}

}  // namespace remote_host

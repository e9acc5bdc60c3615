// Loads the module the way a TV application does: by path, then its one
// export by name.
#pragma once

#include <string>

#include "pyxremote.h"

namespace remote_host {

// The export's name: "_GetInterfacePtr@0" in the DLL, "GetInterfacePtr" in
// the shared library.
extern const char kExportName[];

// Where the module sits beside this program: PYXRemote.dll or libPYXRemote.so
// in the executable's folder.
std::string DefaultModulePath(const char* argv0);

class ModuleLibrary {
 public:
  ModuleLibrary() = default;
  ~ModuleLibrary() { Unload(); }
  ModuleLibrary(const ModuleLibrary&) = delete;
  ModuleLibrary& operator=(const ModuleLibrary&) = delete;

  // Loads `path` and finds the export. False with `error` set when the file
  // is missing, is not a loadable library, or lacks the export.
  bool Load(const std::string& path, std::string* error);
  PFN_GetInterfacePtr factory() const { return factory_; }
  void Unload();

 private:
  void* handle_ = nullptr;
  PFN_GetInterfacePtr factory_ = nullptr;
};

}  // namespace remote_host

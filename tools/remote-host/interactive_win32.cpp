// The Windows build runs scripts only.
#include "interactive.h"

namespace remote_host {

bool CanRunInteractive(std::string* error) {
  *error = "--interactive is available in the native build only";
  return false;
}

int RunInteractive(Session&, Console&, std::string* error) {
  CanRunInteractive(error);
  return 2;
}

}  // namespace remote_host

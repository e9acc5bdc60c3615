// __uuidof on the header's interfaces, as a host built with mingw-w64 (or
// Visual C++) names them.
#include <gtest/gtest.h>

#include "frame/host_interfaces.h"

namespace pyx {
namespace {

TEST(Uuidof, NamesEachInterfaceByItsIid) {
  EXPECT_TRUE(SameGuid(__uuidof(IRemoteModule), IID_IRemoteModule));
  EXPECT_TRUE(SameGuid(__uuidof(IRegisterAccess), IID_IRegisterAccess));
  EXPECT_TRUE(SameGuid(__uuidof(IKeySink), IID_IKeySink));
  IKeySink* sink = nullptr;
  EXPECT_TRUE(SameGuid(__uuidof(sink), IID_IKeySink));
}

}  // namespace
}  // namespace pyx

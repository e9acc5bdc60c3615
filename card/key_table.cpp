#include "card/key_table.h"

#include "platform/ini_parse.h"

namespace pyx {

const KeyEntry CardKeyTable[kCardKeyCount] = {
#define PYX_KEY(code, name, command) {code, name, command},
#include "card/key_table.inc"
#undef PYX_KEY
};

#define PYX_KEY(code, name, command) +1
static_assert(0
#include "card/key_table.inc"
                  == kCardKeyCount,
              "every row of key_table.inc is in CardKeyTable");
#undef PYX_KEY

int32_t CardRowNamed(std::string_view name) {
  for (int32_t row = 0; row < kCardKeyCount; ++row) {
    if (platform::SameIniName(CardKeyTable[row].name, name)) return row;
  }
  return -1;
}

}  // namespace pyx

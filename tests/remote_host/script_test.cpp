// remote-host's script parser: every kind of step, and every kind of bad
// input turned into one clear message.
#include "script.h"

#include <gtest/gtest.h>

#include "keys.h"

namespace remote_host {
namespace {

TEST(Script, ParsesEveryKindOfStep) {
  const ParseResult r = ParseScript(
      "Power:2200 key_channelup,VOLUMEDOWN:50;code:4:500 code:63 wait:800\n"
      "clear # a comment: Nonsense:12\n  TV/FM:0\tKey_0:1");
  ASSERT_TRUE(r.ok()) << r.error;
  ASSERT_EQ(r.steps.size(), 9u);
  const struct {
    Step::Kind kind;
    int32_t code;
    uint32_t ms;
  } expected[] = {
      {Step::kPress, 30, 2200}, {Step::kPress, 31, 300}, {Step::kPress, 20, 50},
      {Step::kPress, 4, 500},   {Step::kPress, 63, 300}, {Step::kWait, 0, 800},
      {Step::kClear, 0, 0},     {Step::kPress, 3, 0},    {Step::kPress, 2, 1},
  };
  for (size_t i = 0; i < r.steps.size(); ++i) {
    EXPECT_EQ(r.steps[i].kind, expected[i].kind) << i;
    EXPECT_EQ(r.steps[i].code, expected[i].code) << i;
    EXPECT_EQ(r.steps[i].ms, expected[i].ms) << i;
  }
  EXPECT_EQ(r.steps[0].text, "Power:2200");
  EXPECT_EQ(r.steps[1].text, "key_channelup");
}

TEST(Script, KeysThatShareACodeKeepTheirOwnCode) {
  const ParseResult r = ParseScript("AutoScan Capture Audio");
  ASSERT_TRUE(r.ok());
  for (const Step& step : r.steps) EXPECT_EQ(step.code, 14);
}

TEST(Script, RejectsBadInputWithAMessageThatNamesTheStep) {
  const struct {
    const char* script;
    const char* message_part;
  } cases[] = {
      {"Power Foo:100", "step 2: unknown key 'Foo'; known keys: TV/FM, CD,"},
      {"Key_", "unknown key 'Key_'"},
      {"Power:", "bad duration ''"},
      {"Power:-5", "bad duration '-5'"},
      {"Power:1.5", "bad duration '1.5'"},
      {"Power:abc", "bad duration 'abc'"},
      {"Power:99999999999", "bad duration '99999999999'"},
      {"Power:3600001", "bad duration '3600001'"},
      {"Power:100:5", "expected KEY or KEY:MILLISECONDS"},
      {"wait", "expected wait:MILLISECONDS"},
      {"wait:1:2", "expected wait:MILLISECONDS"},
      {"wait:x", "bad duration 'x'"},
      {"clear:5", "clear takes no value"},
      {"code", "expected code:N"},
      {"code:64", "bad code '64'"},
      {"code:-1:5", "bad code '-1'"},
      {"code:4:", "bad duration ''"},
      {"code:4:5:6", "expected code:N"},
      {"", "the script has no steps"},
      {"  # only a comment\n", "the script has no steps"},
  };
  for (const auto& c : cases) {
    const ParseResult r = ParseScript(c.script);
    EXPECT_FALSE(r.ok()) << c.script;
    EXPECT_TRUE(r.steps.empty()) << c.script;
    EXPECT_NE(r.error.find(c.message_part), std::string::npos)
        << "'" << c.script << "' gave: " << r.error;
  }
}

// A key by name is sent as the code the keymap in force gives it: its own,
// or the one pyx.ini moved it to; a key with no code is refused.
TEST(Script, SendsEachKeyAsTheKeymapInForceSays) {
  const struct {
    const char* ini;
    const char* script;
    int32_t code;  // of the first step; -1: refused
    const char* message_part;
  } cases[] = {
      {"", "Power", 30, ""},
      {"[PYXRemote Keys]\nKey_Play=37\n", "Play:300", 37, ""},
      {"[PYXRemote Keys]\nKey_Power=5\nKey_Play=37\n", "Power code:30", 5, ""},
      {"[PYXRemote Keys]\nKey_Power=30\n", "Power", 30, ""},
      {"", "Power Play", -1,
       "step 2: Key_Play has code 255, which the card's receiver cannot send"},
      {"[PYXRemote Keys]\nKey_Play=37\n", "Cyan", -1, "give it one in pyx.ini's [PYXRemote Keys]"},
  };
  for (const auto& c : cases) {
    ParseResult r = ParseScript(c.script);
    ASSERT_TRUE(r.ok()) << c.script;
    const std::string error = SendKeysAs(Keymap::FromText(c.ini), &r.steps);
    EXPECT_NE(error.find(c.message_part), std::string::npos) << c.script << ": " << error;
    if (c.code >= 0) {
      EXPECT_EQ(r.steps[0].code, c.code) << c.script;
      EXPECT_TRUE(error.empty()) << c.script << ": " << error;
    }
  }
}

TEST(Script, FilesSavedAsUtf8WithAMarkOrAsUtf16ReadAsText) {
  EXPECT_EQ(ScriptText("\xEF\xBB\xBFPower:100"), "Power:100");
  EXPECT_EQ(ScriptText(std::string("\xFF\xFEP\0o\0w\0e\0r\0\xE9\0", 14)), "Power?");
  EXPECT_EQ(ScriptText(std::string("\xFE\xFF\0M\0u\0t\0e", 10)), "Mute");
  EXPECT_EQ(ScriptText("Power:100"), "Power:100");
}

}  // namespace
}  // namespace remote_host

// The simulated card's pins and the summary drawn from a run.
#include "sim_card.h"

#include <gtest/gtest.h>

#include "record.h"

namespace remote_host {
namespace {

uint32_t ReadData(IRegisterAccess* registers) {
  uint32_t value = 0xDEADBEEF;
  registers->ReadRegister(SimCard::kDataRegister, &value);
  return value;
}

TEST(SimCard, DataRegisterShowsTheHeldKeyAndLatchesItsCode) {
  SimCard card;
  void* out = nullptr;
  ASSERT_EQ(card.device()->QueryInterface(IID_IRegisterAccess, &out), S_OK);
  auto* registers = static_cast<IRegisterAccess*>(out);
  EXPECT_EQ(card.references_held(), 1);

  EXPECT_EQ(ReadData(registers), 0x4000u);  // idle, code lines 0
  card.HoldCode(30);
  EXPECT_EQ(ReadData(registers), 30u << 8);
  card.LetGo();
  EXPECT_EQ(ReadData(registers), (30u << 8) | 0x4000u);  // the latch keeps the code
  card.HoldCode(63);
  EXPECT_EQ(ReadData(registers), 63u << 8);
  card.HoldCode(1);  // another key at once
  EXPECT_EQ(ReadData(registers), 1u << 8);
  card.LetGo();
  card.ClearCode();
  EXPECT_EQ(ReadData(registers), 0x4000u);

  registers->Release();
  EXPECT_EQ(card.references_held(), 0);
}

TEST(SimCard, EnableRegisterKeepsWhatIsWrittenAndOtherQueriesAreRefused) {
  SimCard card;
  void* out = nullptr;
  ASSERT_EQ(card.device()->QueryInterface(IID_IRegisterAccess, &out), S_OK);
  auto* registers = static_cast<IRegisterAccess*>(out);
  uint32_t value = 1;
  registers->ReadRegister(SimCard::kEnableRegister, &value);
  EXPECT_EQ(value, 0u);
  registers->WriteRegister(SimCard::kEnableRegister, 0x00FF80FF);
  registers->ReadRegister(SimCard::kEnableRegister, &value);
  EXPECT_EQ(value, 0x00FF80FFu);
  registers->WriteRegister(SimCard::kDataRegister, 0);  // the data pins are inputs
  EXPECT_EQ(ReadData(registers), 0x4000u);
  registers->Release();

  out = &out;
  EXPECT_EQ(card.device()->QueryInterface(IID_IRemoteModule, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(card.references_held(), 0);
}

TEST(RunSummary, CountsPressesReportsLatenciesAndIntervalsPerKey) {
  RunRecord record;
  record.presses = {{31, "ChannelUp:2200", 100, 2300},
                    {22, "VolumeUp", 3000, 3300},
                    {22, "VolumeUp:1200", 4500, 5700},
                    {4, "code:4", 6000, 6300}};
  record.reports = {{104, "Key_ChannelUp", "ChannelUp"},  {1105, "Key_ChannelUp", "ChannelUp"},
                    {1605, "Key_ChannelUp", "ChannelUp"}, {2105, "Key_ChannelUp", "ChannelUp"},
                    {2605, "Key_ChannelUp", "ChannelUp"}, {3002, "Key_VolumeUp", "VolumeUp"},
                    {4510, "Key_VolumeUp", "VolumeUp"},   {5010, "Key_VolumeUp", "VolumeUp"}};
  const std::string summary = Summary(record);
  EXPECT_NE(summary.find("Key_ChannelUp            1       5  4                  1001 500 x 3"),
            std::string::npos)
      << summary;
  EXPECT_NE(summary.find("Key_VolumeUp             2       3  2, 10              - | 500"),
            std::string::npos)
      << summary;
  EXPECT_NE(summary.find("code 4 (no row)          1       0  -"), std::string::npos) << summary;

  const std::string timelines = Timelines(record, 80);
  EXPECT_NE(timelines.find("Key_ChannelUp (ChannelUp:2200) at 100 ms: held 2200 ms, 5 reports"),
            std::string::npos)
      << timelines;
  // Every press on the one scale that fits the longest: 2505 ms in 68 columns.
  size_t axes = 0;
  for (size_t at = 0; (at = timelines.find("1 char = 50 ms", at)) != std::string::npos; ++at)
    ++axes;
  EXPECT_EQ(axes, record.presses.size()) << timelines;
  for (size_t start = 0, end; (end = timelines.find('\n', start)) != std::string::npos;
       start = end + 1) {
    EXPECT_LE(end - start, 80u) << timelines.substr(start, end - start);
  }
}

// With the keymap pyx.ini sets: code 14 goes by the row moved to it, and a
// held Power that does not repeat is marked.
TEST(RunSummary, NamesKeysByTheKeymapInForceAndMarksWithheldRepeats) {
  RunRecord record;
  record.keymap = Keymap::FromText(
      "[PYXRemote]\nKeyFirstDelay=400\nKeyRepeatDelay=100\n[PYXRemote Keys]\nKey_AutoScan=14\n"
      "Key_Play=37\n[PYXRemote NoRepeat]\nKey_Power=1\n");
  record.presses = {
      {14, "Audio", 0, 300}, {30, "Power:3000", 1000, 4000}, {37, "code:37", 5000, 5100}};
  record.reports = {{2, "Key_AutoScan", ""}, {1003, "Key_Power", "Power"}, {5004, "Key_Play", ""}};
  const std::string summary = Summary(record);
  for (const char* line :
       {"Key_AutoScan             1       1", "Key_Power                1       1",
        "Key_Play                 1       1"}) {
    EXPECT_NE(summary.find(line), std::string::npos) << summary;
  }
  const std::string timelines = Timelines(record, 100);
  EXPECT_NE(timelines.find("held 3000 ms, 1 report, not repeated"), std::string::npos) << timelines;
  EXPECT_EQ(Keymap().ReportedFor(14)->name, std::string("Key_Audio"));
  EXPECT_EQ(Keymap::FromText("[PYXRemote Keys]\nKey_Power=5\n").ReportedFor(30), nullptr);
}

}  // namespace
}  // namespace remote_host

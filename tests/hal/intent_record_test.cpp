// The intent record: what is written reads back the same, and nothing else reads as a record.
#include "hal/intent_record.h"

#include <gtest/gtest.h>

namespace halshift::hal {
namespace {

IntentRecord Example() {
  IntentRecord record;
  record.currentType = "Multiprocessor Free";
  record.setupLogPath = "C:\\WINNT\\repair\\setup.log";
  record.systemRoot = "C:\\WINNT";
  record.files = {
      {"C:\\WINNT\\System32\\hsn1A2B.TMP", "C:\\WINNT\\System32\\HAL.DLL",
       "C:\\WINNT\\System32\\del1A2C.TMP", 0x21, 61424, 0x0123456789ABCDEFu, "HALMPS.DLL"},
      {"C:\\WINNT\\System32\\hsn1A2D.TMP", "C:\\WINNT\\System32\\UPHAL.DLL", "", 0, 0, 0, "HAL.DLL"},
  };
  return record;
}

TEST(IntentRecordTest, ReadsBackWhatWasWritten) {
  const IntentRecord record = Example();
  const std::string text = FormatIntentRecord(record);
  EXPECT_EQ(text.substr(0, 19), "halshift intent 1\r\n");
  EXPECT_EQ(text.substr(text.size() - 7), "End=2\r\n");
  EXPECT_EQ(ParseIntentRecord(text), record);

  IntentRecord bare;
  bare.files = {record.files[1]};
  EXPECT_EQ(ParseIntentRecord(FormatIntentRecord(bare)), bare);
}

TEST(IntentRecordTest, ARecordCutOffAnywhereIsNoRecord) {
  const std::string text = FormatIntentRecord(Example());
  for (std::size_t length = 0; length < text.size(); ++length) {
    EXPECT_FALSE(ParseIntentRecord(text.substr(0, length))) << length;
  }
}

TEST(IntentRecordTest, AnythingElseIsNoRecord) {
  const std::string good = FormatIntentRecord(Example());
  const auto replaced = [&](std::string_view from, std::string_view to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  const struct {
    const char* name;
    std::string text;
  } cases[] = {
      {"another version", replaced("intent 1", "intent 2")},
      {"a count that does not match", replaced("End=2", "End=3")},
      {"an unknown key", replaced("CurrentType=", "CurrentKind=")},
      {"a file line with a field too few", replaced("*HALMPS.DLL", "")},
      {"a size that is no number", replaced("*eff0*", "*effz*")},
      {"attributes beyond 32 bits", replaced("*21*", "*100000000*")},
      {"a line without CR", replaced("End=2\r\n", "End=2\n")},
      {"a second CurrentType", replaced("SetupLog=", "CurrentType=x\r\nSetupLog=")},
      {"CurrentType after the files", replaced("End=2", "CurrentType=x\r\nEnd=2")},
      {"an empty staged path", replaced("C:\\WINNT\\System32\\hsn1A2D.TMP", "")},
      {"a lone CR inside a line", replaced("HALMPS.DLL", "HALMPS\r.DLL")},
  };
  for (const auto& c : cases) {
    ASSERT_NE(c.text, good) << c.name;
    EXPECT_FALSE(ParseIntentRecord(c.text)) << c.name;
  }
}

TEST(IntentRecordTest, TheHashTellsACutOffFileFromAWholeOne) {
  EXPECT_EQ(ContentHash(""), 0xCBF29CE484222325u);  // FNV-1a's offset basis
  EXPECT_EQ(ContentHash("a"), 0xAF63DC4C8601EC8Cu);   // its published value for "a"
  EXPECT_NE(ContentHash("HAL image"), ContentHash("HAL imag"));
}

}  // namespace
}  // namespace halshift::hal

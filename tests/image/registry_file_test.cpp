// Tests of the REGEDIT4 parser and writer.
#include "platform/image/registry_file.h"

#include <gtest/gtest.h>

namespace halshift::image {
namespace {

using namespace std::string_literals;

std::string Header(const std::string& body) {
  return "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Test]\r\n" + body;
}

TEST(RegistryFileTest, ParsesEveryDataForm) {
  struct Case {
    const char* name;
    std::string line;
    std::string valueName;
    std::uint32_t type;
    std::string data;
  };
  const Case cases[] = {
      {"plain text", "\"CurrentType\"=\"Uniprocessor Free\"\r\n", "CurrentType", 1,
       "Uniprocessor Free\0"s},
      {"escapes", "\"Path\"=\"C:\\\\WINNT \\\"x\\\"\"\r\n", "Path", 1, "C:\\WINNT \"x\"\0"s},
      {"escaped name", "\"a\\\"b\\\\c\"=\"\"\r\n", "a\"b\\c", 1, "\0"s},
      {"default value", "@=\"d\"\r\n", "", 1, "d\0"s},
      {"dword", "\"CSDVersion\"=dword:00000600\r\n", "CSDVersion", 4, "\x00\x06\x00\x00"s},
      {"short dword", "\"N\"=dword:1F\r\n", "N", 4, "\x1F\x00\x00\x00"s},
      {"binary", "\"B\"=hex:de,ad,BE,ef\r\n", "B", 3, "\xde\xad\xbe\xef"s},
      {"empty binary", "\"B\"=hex:\r\n", "B", 3, ""s},
      {"expand string", "\"E\"=hex(2):25,00\r\n", "E", 2, "%\0"s},
      {"multi string continued", "\"M\"=hex(7):41,00,\\\r\n  42,00,\\\r\n  00\r\n", "M", 7,
       "A\0B\0\0"s},
      {"other type", "\"Q\"=hex(b):01,02\r\n", "Q", 0xB, "\x01\x02"s},
      {"blanks around =", "\"S\" = \"v\"  \r\n", "S", 1, "v\0"s},
  };
  for (const auto& c : cases) {
    std::string error;
    const auto file = RegistryFile::Parse(Header(c.line), error);
    ASSERT_TRUE(file) << c.name << ": " << error;
    const RegistryValue* value = file->Find("Software\\Test", c.valueName);
    ASSERT_NE(value, nullptr) << c.name;
    EXPECT_EQ(value->type, c.type) << c.name;
    EXPECT_EQ(value->data, c.data) << c.name;
  }
}

TEST(RegistryFileTest, DamagedLinesNameTheirLine) {
  struct Case {
    const char* name;
    std::string text;
    std::string error;
  };
  const Case cases[] = {
      {"no header", "[HKEY_LOCAL_MACHINE\\A]\r\n", "1: the file does not start with REGEDIT4"},
      {"empty file", "", "1: the file does not start with REGEDIT4"},
      {"value before key", "REGEDIT4\r\n\"a\"=\"b\"\r\n", "2: a value before any key"},
      {"unclosed key", Header("[HKEY_LOCAL_MACHINE\\B\r\n"), "4: a key line lacks its closing ']'"},
      {"unclosed text", Header("\"a\"=\"b\r\n"), "4: a quoted text is not closed"},
      {"unknown escape", Header("\"a\"=\"\\n\"\r\n"), "4: unknown escape '\\n'"},
      {"junk after text", Header("\"a\"=\"b\" c\r\n"), "4: unexpected text after the value"},
      {"long dword", Header("\"a\"=dword:123456789\r\n"), "4: a dword needs 1 to 8 hex digits"},
      {"bad hex byte", Header("\"a\"=hex:01,xy\r\n"),
       "4: hex data needs comma-separated bytes of two hex digits"},
      {"three digit byte", Header("\"a\"=hex:123\r\n"),
       "4: hex data needs comma-separated bytes of two hex digits"},
      {"bad byte on continuation", Header("\"a\"=hex:01,\\\r\n  02,\\\r\n  zz\r\n"),
       "6: hex data needs comma-separated bytes of two hex digits"},
      {"continuation past end", Header("\"a\"=hex:01,\\"),
       "4: the hex data goes on past the end of the file"},
      {"missing equals", Header("\"a\" \"b\"\r\n"), "4: expected '=' after the value name"},
      {"unknown data", Header("\"a\"=qword:1\r\n"), "4: unknown value data"},
      {"stray line", Header("hello\r\n"), "4: expected a key or a value"},
      {"value deletion", Header("\"a\"=-\r\n"), "4: deleting a value is not supported"},
      {"key deletion", Header("[-HKEY_LOCAL_MACHINE\\X]\r\n"), "4: deleting a key is not supported"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(RegistryFile::Parse(c.text, error)) << c.name;
    EXPECT_EQ(error, c.error) << c.name;
  }
}

TEST(RegistryFileTest, KeysAndNamesMatchWithoutCase) {
  std::string error;
  const auto file = RegistryFile::Parse(
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Windows]\n"
      "\"CSDVersion\"=dword:00000300\n\n[HKEY_CURRENT_USER\\Software\\X]\n\"U\"=\"u\"\n",
      error);
  ASSERT_TRUE(file) << error;
  EXPECT_NE(file->Find("SYSTEM\\currentcontrolset\\CONTROL\\windows", "csdversion"), nullptr);
  EXPECT_TRUE(file->KeyExists("system\\CurrentControlSet"));  // an ancestor of a written key
  EXPECT_TRUE(file->KeyExists("System\\CurrentControlSet\\Control\\Windows\\"));
  EXPECT_FALSE(file->KeyExists("System\\CurrentControlSet\\Control\\Win"));
  // Keys of other roots are kept but not served.
  EXPECT_FALSE(file->KeyExists("Software\\X"));
  EXPECT_EQ(file->Find("Software\\X", "U"), nullptr);
}

TEST(RegistryFileTest, UnchangedFileIsWrittenBackByteForByte) {
  const std::string text =
      "\xEF\xBB\xBFREGEDIT4\n; exported\n\n[HKEY_LOCAL_MACHINE\\A]\n\"x\"=hex(7):41,00,\\\n"
      "    00\n\n; between\n[HKEY_CURRENT_USER\\B]\n@=dword:0000000a\n\"y\" = \"z\"";
  std::string error;
  const auto file = RegistryFile::Parse(text, error);
  ASSERT_TRUE(file) << error;
  EXPECT_EQ(file->Text(), text);
}

TEST(RegistryFileTest, SettingValuesKeepsOrderAndOtherLines) {
  const std::string text =
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
      "\"CurrentType\"=\"Uniprocessor Free\"\r\n\"SystemRoot\"=\"C:\\\\WINNT\"\r\n\r\n"
      "[HKEY_LOCAL_MACHINE\\System\\Other]\r\n\"Keep\"=hex:01,\\\r\n  02\r\n";
  std::string error;
  auto file = RegistryFile::Parse(text, error);
  ASSERT_TRUE(file) << error;
  file->Set("software\\microsoft\\windows nt\\currentversion", "currenttype", 1,
            "Multiprocessor Free\0"s);
  file->Set("Software\\Microsoft\\Windows NT\\CurrentVersion", "New", 4, "\x01\x02\x03\x04"s);
  file->Set("System\\CurrentControlSet\\Control\\Session Manager", "PendingFileRenameOperations",
            7, "\\??\\C:\\a\0\0\0"s);
  EXPECT_EQ(file->Text(),
            "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion]\r\n"
            "\"CurrentType\"=\"Multiprocessor Free\"\r\n\"SystemRoot\"=\"C:\\\\WINNT\"\r\n"
            "\"New\"=dword:04030201\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\System\\Other]\r\n\"Keep\"=hex:01,\\\r\n  02\r\n\r\n"
            "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Session Manager]\r\n"
            "\"PendingFileRenameOperations\"=hex(7):5c,3f,3f,5c,43,3a,5c,61,00,00,00\r\n");
  // What was written reads back as what was set.
  const auto again = RegistryFile::Parse(file->Text(), error);
  ASSERT_TRUE(again) << error;
  const RegistryValue* pending = again->Find(
      "System\\CurrentControlSet\\Control\\Session Manager", "PendingFileRenameOperations");
  ASSERT_NE(pending, nullptr);
  EXPECT_EQ(pending->data, "\\??\\C:\\a\0\0\0"s);
}

TEST(RegistryFileTest, FormatsValuesThatTextCannotHoldAsHex) {
  struct Case {
    const char* name;
    std::uint32_t type;
    std::string data;
  };
  const Case cases[] = {
      {"string without zero", 1, "abc"},
      {"string with line end", 1, "a\r\nb\0"s},
      {"string with inner zero", 1, "a\0b\0"s},
      {"short dword", 4, "\x01\x02"s},
      {"long binary", 3, std::string(100, '\x7f')},
  };
  for (const auto& c : cases) {
    RegistryFile file = RegistryFile::Empty();
    file.Set("K", "v", c.type, c.data);
    std::string error;
    const auto again = RegistryFile::Parse(file.Text(), error);
    ASSERT_TRUE(again) << c.name << ": " << error << "\n" << file.Text();
    const RegistryValue* value = again->Find("K", "v");
    ASSERT_NE(value, nullptr) << c.name;
    EXPECT_EQ(value->type, c.type) << c.name;
    EXPECT_EQ(value->data, c.data) << c.name;
  }
}

}  // namespace
}  // namespace halshift::image

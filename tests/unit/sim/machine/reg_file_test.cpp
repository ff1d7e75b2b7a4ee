// registry.reg: what a real export holds loads, what the machine writes is stable and sorted,
// and a broken file is refused whole with its file and line.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "platform/port.h"
#include "platform/sim/machine/machine.h"
#include "platform/sim/sim.h"
#include "unit/machine_fixture.h"

namespace {

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void put(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// UTF-16LE with BOM and CR LF line ends, as `reg export` writes.
std::string as_reg_export(const std::string& utf8_ascii) {
  std::string out("\xFF\xFE", 2);
  for (char c : utf8_ascii) {
    if (c == '\n') {
      out += std::string("\r\0", 2);
    }
    out += c;
    out += '\0';
  }
  return out;
}

const char kExport[] =
    "Windows Registry Editor Version 5.00\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor]\n"
    "@=\"default text\"\n"
    "\"Quoted\"=\"say \\\"hi\\\" in C:\\\\Temp\\\\\"\n"
    "\"Number\"=dword:0000abcd\n"
    "\"Bytes\"=hex:01,02,ff,\\\n"
    "  00,10\n"
    "\"Empty\"=hex:\n"
    "\"Expand\"=hex(2):25,00,53,00,79,00,73,00,74,00,65,00,6d,00,52,00,6f,00,6f,00,74,00,\\\n"
    "  25,00,00,00\n"
    "\"Multi\"=hex(7):61,00,00,00,62,00,63,00,00,00,00,00\n"
    "\"Quad\"=hex(b):01,00,00,00,00,00,00,00\n"
    "\"Odd\"=hex(100):07\n"
    "\"a=b\"=hex:01,\\\n"
    "  02\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\application/x-test]\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor\\Sub]\n"
    "\n";

class RegFileTest : public MachineTest {
 protected:
  std::string reg_path() const { return dir() + "/registry.reg"; }

  void load_text(const std::string& bytes) {
    put(reg_path(), bytes);
    std::string error;
    ASSERT_TRUE(sim::use_machine(dir(), &error)) << error;
  }

  void expect_vendor_values() {
    const std::string key = "SOFTWARE\\Vendor";
    port::DWORD type = 0;
    std::vector<std::uint8_t> data;
    ASSERT_TRUE(sim::reg_get(key, "", &type, &data));
    EXPECT_EQ(type, port::REG_SZ);
    EXPECT_EQ(std::string(data.begin(), data.end()), std::string("default text\0", 13));
    ASSERT_TRUE(sim::reg_get(key, "quoted", &type, &data));
    EXPECT_EQ(std::string(data.begin(), data.end()), std::string("say \"hi\" in C:\\Temp\\\0", 21));
    port::DWORD number = 0;
    ASSERT_TRUE(sim::reg_get_dword(key, "Number", &number));
    EXPECT_EQ(number, 0xabcdu);
    ASSERT_TRUE(sim::reg_get(key, "Bytes", &type, &data));
    EXPECT_EQ(type, port::REG_BINARY);
    EXPECT_EQ(data, (std::vector<std::uint8_t>{1, 2, 0xff, 0, 0x10}));
    ASSERT_TRUE(sim::reg_get(key, "Empty", &type, &data));
    EXPECT_TRUE(data.empty());
    ASSERT_TRUE(sim::reg_get(key, "Expand", &type, &data));
    EXPECT_EQ(type, port::REG_EXPAND_SZ);
    EXPECT_EQ(std::string(data.begin(), data.end()), std::string("%SystemRoot%\0", 13));
    ASSERT_TRUE(sim::reg_get(key, "Multi", &type, &data));
    EXPECT_EQ(type, port::REG_MULTI_SZ);
    EXPECT_EQ(std::string(data.begin(), data.end()), std::string("a\0bc\0\0", 6));
    ASSERT_TRUE(sim::reg_get(key, "Quad", &type, &data));
    EXPECT_EQ(type, port::REG_QWORD);
    EXPECT_EQ(data.size(), 8u);
    ASSERT_TRUE(sim::reg_get(key, "Odd", &type, &data));
    EXPECT_EQ(type, 0x100u);
    ASSERT_TRUE(sim::reg_get(key, "A=B", &type, &data));
    EXPECT_EQ(data, (std::vector<std::uint8_t>{1, 2}));
    // '/' belongs to a key's name; only '\' separates keys.
    EXPECT_EQ(sim::reg_subkeys(key), (std::vector<std::string>{"application/x-test", "Sub"}));
    EXPECT_TRUE(sim::reg_key_exists("software\\VENDOR\\sub"));
  }
};

TEST_F(RegFileTest, Utf16ExportLoadsEveryValueType) {
  load_text(as_reg_export(kExport));
  expect_vendor_values();
}

TEST_F(RegFileTest, Utf8FileLoadsTheSame) {
  load_text("\xEF\xBB\xBF" + std::string(kExport));
  expect_vendor_values();
}

TEST_F(RegFileTest, SavedFormLoadsBackIdenticalAndIsStable) {
  load_text(kExport);
  sim::reg_set_dword("SOFTWARE\\Vendor", "Changed", 1);  // something to save
  std::string error;
  ASSERT_TRUE(sim::save_machine(&error)) << error;
  std::string first = slurp(reg_path());
  ASSERT_TRUE(sim::use_machine(dir(), &error)) << error;
  expect_vendor_values();
  sim::reg_set_dword("SOFTWARE\\Vendor", "Changed", 1);
  ASSERT_TRUE(sim::save_machine(&error)) << error;
  EXPECT_EQ(slurp(reg_path()), first);
  // UTF-8 without BOM, LF line ends, the default value first, then names sorted ignoring case.
  EXPECT_EQ(first.rfind("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE]\n", 0), 0u);
  EXPECT_EQ(first.find('\r'), std::string::npos);
  std::size_t at_default = first.find("@=\"default text\"");
  std::size_t bytes = first.find("\"Bytes\"=hex:01,02,ff,00,10");
  std::size_t changed = first.find("\"Changed\"=dword:00000001");
  std::size_t quoted = first.find("\"Quoted\"=\"say \\\"hi\\\" in C:\\\\Temp\\\\\"");
  ASSERT_NE(at_default, std::string::npos);
  ASSERT_NE(bytes, std::string::npos);
  ASSERT_NE(changed, std::string::npos);
  ASSERT_NE(quoted, std::string::npos);
  EXPECT_LT(at_default, bytes);
  EXPECT_LT(bytes, changed);
  EXPECT_LT(changed, quoted);
}

TEST_F(RegFileTest, StringsOutsideTheAnsiCodePageSurviveARewrite) {
  // "Ω" has no ANSI form: the program reads "?" but the file keeps the character.
  load_text(
      std::string("Windows Registry Editor Version "
                  "5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Vendor]\n\"Greek\"=\"\xCE\xA9\"\n"));
  port::DWORD type = 0;
  std::vector<std::uint8_t> data;
  ASSERT_TRUE(sim::reg_get("SOFTWARE\\Vendor", "Greek", &type, &data));
  EXPECT_EQ(std::string(data.begin(), data.end()), std::string("?\0", 2));
  sim::reg_set_dword("SOFTWARE\\Other", "x", 1);
  std::string error;
  ASSERT_TRUE(sim::save_machine(&error)) << error;
  ASSERT_TRUE(sim::use_machine(dir(), &error)) << error;
  sim::reg_set_dword("SOFTWARE\\Other", "x", 2);
  ASSERT_TRUE(sim::save_machine(&error)) << error;
  EXPECT_NE(slurp(reg_path()).find("\"Greek\"=hex(1):a9,03,00,00"), std::string::npos);
}

struct Broken {
  const char* name;
  std::string text;
  std::string message;
};

class BrokenRegFileTest : public RegFileTest, public ::testing::WithParamInterface<Broken> {};

TEST_P(BrokenRegFileTest, IsRefusedWithFileAndLineAndLoadsNothing) {
  sim::reg_set_dword("SOFTWARE\\Marker", "Before", 7);  // the machine in use, unsaved
  put(reg_path(), GetParam().text);
  std::string error;
  EXPECT_FALSE(sim::use_machine(dir(), &error));
  EXPECT_EQ(error, reg_path() + ":" + GetParam().message);
  // The machine in use is still the one from before.
  port::DWORD value = 0;
  EXPECT_TRUE(sim::reg_get_dword("SOFTWARE\\Marker", "Before", &value));
  EXPECT_FALSE(sim::reg_key_exists("SOFTWARE\\Half"));
}

const std::string kHead =
    "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Half]\n\"ok\"=dword:1\n";

INSTANTIATE_TEST_SUITE_P(
    Cases, BrokenRegFileTest,
    ::testing::Values(
        Broken{"NoHeader", "REGEDIT9\n",
               "1: not a registry export (expected \"Windows Registry "
               "Editor Version 5.00\")"},
        Broken{"UnterminatedString", kHead + "\"name\"=\"open\n", "5: unterminated string"},
        Broken{"UnterminatedName", kHead + "\"name=dword:1\n", "5: unterminated string"},
        Broken{"BadDword", kHead + "\"n\"=dword:12345678x\n", "5: bad dword value"},
        Broken{"BadHex", kHead + "\"n\"=hex:01,zz\n", "5: bad hex data"},
        Broken{"BadContinuation", kHead + "\"n\"=hex:01,\\\n  02,\\\n  0g\n", "5: bad hex data"},
        Broken{"UnknownType", kHead + "\"n\"=qword:1\n", "5: unknown value type"},
        Broken{"MissingEquals", kHead + "\"n\" dword:1\n", "5: expected '=' after the value name"},
        Broken{"OtherHive", kHead + "[HKEY_CURRENT_USER\\Software]\n",
               "5: key outside HKEY_LOCAL_MACHINE: HKEY_CURRENT_USER\\Software"},
        Broken{"UnclosedKey", kHead + "[HKEY_LOCAL_MACHINE\\SOFTWARE\n",
               "5: unterminated key name (missing ']')"},
        Broken{"ValueBeforeKey", "Windows Registry Editor Version 5.00\n\n\"n\"=dword:1\n",
               "3: value outside a key"}),
    [](const ::testing::TestParamInfo<Broken>& param_info) { return param_info.param.name; });

TEST_F(RegFileTest, NamesIgnoreCaseKeepTheirCaseAndEnumerateAlphabetically) {
  sim::reg_create_key("SOFTWARE\\Order\\beta");
  sim::reg_create_key("SOFTWARE\\Order\\Alpha");
  sim::reg_create_key("SOFTWARE\\Order\\_under");
  sim::reg_create_key("SOFTWARE\\Order\\Zulu");
  sim::reg_create_key("SOFTWARE\\ORDER\\BETA\\deeper");  // the existing key, not a second one
  // Windows compares names in upper case, so '_' sorts after the letters.
  EXPECT_EQ(sim::reg_subkeys("software\\order"),
            (std::vector<std::string>{"Alpha", "beta", "Zulu", "_under"}));
  EXPECT_EQ(sim::reg_subkeys("SOFTWARE\\Order\\beta"), std::vector<std::string>{"deeper"});

  port::HKEY key = nullptr;
  ASSERT_EQ(port::RegOpenKeyExA(port::HKEY_LOCAL_MACHINE, "software\\ORDER", 0, port::KEY_READ, &key), 0);
  std::vector<std::string> names;
  for (port::DWORD index = 0;; ++index) {
    char name[32];
    port::DWORD size = sizeof name;
    port::LSTATUS status = port::SHEnumKeyExA(key, index, name, &size);
    if (status == port::ERROR_NO_MORE_ITEMS) break;
    ASSERT_EQ(status, 0);
    EXPECT_EQ(size, std::string(name).size());
    names.push_back(name);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "beta", "Zulu", "_under"}));
  port::RegCloseKey(key);

  sim::reg_set_dword("SOFTWARE\\Order", "Value", 1);
  sim::reg_set_dword("SOFTWARE\\Order", "VALUE", 2);
  EXPECT_EQ(sim::reg_value_names("SOFTWARE\\Order"), std::vector<std::string>{"Value"});
  port::DWORD value = 0;
  EXPECT_TRUE(sim::reg_get_dword("SOFTWARE\\Order", "value", &value));
  EXPECT_EQ(value, 2u);
}

}  // namespace

// registry.reg is read and written a piece at a time.  Wherever the pieces end (inside a CR LF,
// a UTF-16 unit, a surrogate pair, a continued hex value, the byte-order mark), the machine read
// is the same, and so is every refusal with its line.
TEST(RegFilePieces, ReadingInPiecesChangesNothing) {
  std::vector<std::string> texts = {
      kExport, "\xEF\xBB\xBF" + std::string(kExport), as_reg_export(kExport),
      // "\U0001F600" as a surrogate pair, then an odd last byte.
      as_reg_export("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\S]\n"
                    "\"Face\"=\"") +
          std::string("\x3D\xD8\x00\xDE\"\0\r\0\n\0\x41", 11)};
  for (const std::string& broken : {kHead + "\"n\"=hex:01,\\\n  02,\\\n  0g\n", kHead + "\"n\"=\"open\n",
                                    std::string("REGEDIT9\n"), std::string()})
    texts.push_back(broken);
  // The first key line after the middle is what a hex value continued on the line before it
  // takes as its last line: no part may start there.
  std::string continued = kHead;
  for (int i = 0; i < 100; ++i) continued += "\"v" + std::to_string(i) + "\"=dword:00000001\n";
  continued += "\"v\"=hex:01,\\\n[HKEY_LOCAL_MACHINE\\Z]\n";
  for (int i = 0; i < 20; ++i) continued += "\"w" + std::to_string(i) + "\"=dword:00000001\n";
  texts.push_back(continued);
  for (const std::string& text : texts) {
    sim::internal::KeyPtr whole;
    std::string whole_error;
    bool whole_taken = sim::internal::parse_reg_file(text, "r.reg", &whole, &whole_error);
    // 0: in pieces of a megabyte, and in two parts side by side.
    for (std::size_t chunk : {0, 1, 2, 3, 4, 5, 7, 64}) {
      SCOPED_TRACE(text.substr(0, 60) + " in pieces of " + std::to_string(chunk));
      sim::internal::KeyPtr pieces;
      std::string error;
      ASSERT_EQ(chunk == 0
                    ? sim::internal::parse_reg_file(text, "r.reg", &pieces, &error, std::size_t{1} << 20, 0)
                    : sim::internal::parse_reg_file(text, "r.reg", &pieces, &error, chunk),
                whole_taken);
      if (whole_taken) {
        EXPECT_EQ(sim::internal::write_reg_text(*pieces), sim::internal::write_reg_text(*whole));
      } else {
        EXPECT_EQ(error, whole_error);
      }
    }
  }
}

// A registry.reg that is not a file (a pipe) is read as it comes, whole.
TEST(RegFilePieces, APipeIsReadAsItComes) {
  int ends[2];
  ASSERT_EQ(::pipe(ends), 0);
  std::string text = as_reg_export(kExport);
  ASSERT_EQ(::write(ends[1], text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(ends[1]);
  sim::internal::KeyPtr piped;
  sim::internal::KeyPtr whole;
  std::string error;
  EXPECT_TRUE(sim::internal::parse_reg_fd(ends[0], "r.reg", &piped, &error)) << error;
  ::close(ends[0]);
  ASSERT_TRUE(sim::internal::parse_reg_file(text, "r.reg", &whole, &error)) << error;
  ASSERT_NE(piped, nullptr);
  EXPECT_EQ(sim::internal::write_reg_text(*piped), sim::internal::write_reg_text(*whole));
}

// What is written a piece at a time is the text written whole, for a tree of several pieces.
TEST(RegFilePieces, WritingInPiecesWritesTheSameText) {
  std::string kBytes = "01";
  for (int i = 0; i < 19; ++i) kBytes += ",2f";
  std::string text = "Windows Registry Editor Version 5.00\n\n";
  for (int i = 0; i < 20000; ++i)
    text += "[HKEY_LOCAL_MACHINE\\SOFTWARE\\K" + std::to_string(i) + "]\n\"V\"=hex:" + kBytes + "\n\n";
  sim::internal::KeyPtr root;
  std::string error;
  ASSERT_TRUE(sim::internal::parse_reg_file(text, "r.reg", &root, &error)) << error;
  std::string whole = sim::internal::write_reg_text(*root);
  ASSERT_GT(whole.size(), std::size_t{2} << 20);
  std::string streamed;
  int pieces = 0;
  ASSERT_TRUE(sim::internal::write_reg_stream(*root, [&](std::string_view piece) {
    streamed += piece;
    ++pieces;
    return true;
  }));
  EXPECT_EQ(streamed, whole);
  EXPECT_GT(pieces, 1);
  // A failing write ends the writing with false.
  EXPECT_FALSE(sim::internal::write_reg_stream(*root, [](std::string_view) { return false; }));
}

// Hex data in the writers' form and in every other form the reader takes or refuses.
TEST(RegFilePieces, HexDataInAnyFormReadsAsItsBytes) {
  const struct {
    const char* hex;
    std::vector<std::uint8_t> bytes;
    bool taken;
  } cases[] = {{"", {}, true},
               {"01,ff,A0", {1, 0xff, 0xa0}, true},
               {"01,2", {1, 2}, true},
               {"1,2,3", {1, 2, 3}, true},
               {"01 , 02", {1, 2}, true},
               {"01,", {1}, true},
               {",", {}, false},
               {"012", {}, false},
               {"01,0g", {}, false},
               {"01,,02", {}, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.hex);
    sim::internal::KeyPtr root;
    std::string error;
    std::string text =
        std::string("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\K]\n\"v\"=hex:") + c.hex +
        "\n";
    ASSERT_EQ(sim::internal::parse_reg_file(text, "r.reg", &root, &error), c.taken) << error;
    if (!c.taken) continue;
    sim::internal::Value* value = root->find_subkey("K")->find_value("v");
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(value->data.vector(), c.bytes);
  }
}

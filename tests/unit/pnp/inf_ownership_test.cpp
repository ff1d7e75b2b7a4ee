// Which INF texts install the package: pure functions, no machine needed.
#include "pnp/inf_ownership.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "pnp/hardware_ids.h"
#include "pnp_fixture.h"

namespace {

bool ours(const std::string& text) {
  return inf_installs_package(text.data(), text.size());
}

TEST(InfOwnership, OnlyAnInstallationOfABoardOrTheServiceMakesAnInfOurs) {
  const std::string id = supported_hardware_ids[4];
  std::string lower = id;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::string manufacturer = "[Manufacturer]\r\n%Mfg% = Models\r\n";
  const std::string models = manufacturer + "[Models]\r\n";
  const struct {
    const char* label;
    std::string text;
    bool ours;
  } cases[] = {
      {"model line", package_inf(id), true},
      {"compatible ID", models + "%Dev% = Install, PCI\\VEN_8086&DEV_1234, " + id, true},
      {"decorated section", "[Manufacturer]\n%Mfg% = Models, NTamd64\n[Models.NTamd64]\nDev = Install, " + id,
       true},
      {"decorated with a version",
       "[manufacturer]\n%Mfg%=Models,NT.6.0,NTx86.5.1\n[MODELS.ntx86.5.1]\nD=I," + id, true},
      {"manufacturer named alone", "[Manufacturer]\nQuillant\n[Quillant]\nD = I, " + id, true},
      {"models before manufacturer", "[Models]\nD = I, " + id + "\n" + manufacturer, true},
      {"through a string token", models + "D = I, %Board%\n[Strings]\nboard = \"" + id + "\"\n", true},
      {"quoted with blanks around", models + "D = I ,  \"" + id + "\"  ; a comment\n", true},
      {"after a quoted ;", models + "D = I, \"a;b\", " + id + "\n", true},
      {"continued line", models + "D = I, \\ ; the boards\n    " + id + "\n", true},
      {"UTF-8 byte order mark", "\xEF\xBB\xBF" + package_inf(id), true},
      {"AddService", "[Install.NTx86.Services]\nAddService = halvik, 0x00000002, Service\n", true},
      {"AddService in other case, quoted", "[X.Services]\r\naddservice=\"HALVIK\",2,S\r\n", true},
      {"AddService through a token", "[X.Services]\nAddService=%Svc%,2,S\n[Strings]\nSvc=halvik\n", true},
      {"only in a comment", models + "D = I, PCI\\VEN_8086&DEV_1234 ; was " + id + "\n", false},
      {"only in a comment line", models + "; " + id + "\nD = I, PCI\\VEN_8086&DEV_1234\n", false},
      {"only in [Strings]", models + "D = I, %Other%\n[Strings]\nBoard = \"" + id + "\"\n", false},
      {"in another section", manufacturer + "[ControlFlags]\nExcludeFromSelect = " + id + "\n", false},
      {"in a section no manufacturer names", manufacturer + "[Other]\nD = I, " + id + "\n", false},
      {"as the install section", models + "D = " + id + "\n", false},
      {"in lower case", package_inf(lower), false},
      {"more specific ID", package_inf(id + "&REV_01"), false},
      {"another service", "[X.Services]\nAddService = halvik2, 2, S\nAddService = svc, 2, S ; halvik\n",
       false},
      {"AddService outside .Services", "[Install]\nAddService = halvik, 2, S\n", false},
      {"after a zero byte", "[Version]\n" + std::string(1, '\0') + package_inf(id), false},
      {"line before any section", "D = I\n" + package_inf(id), false},
      {"section name left open", "[Version\n" + package_inf(id), false},
  };
  for (const auto& c : cases) EXPECT_EQ(ours(c.text), c.ours) << c.label << ":\n" << c.text;
}

// The scan looks for what the IDs share and compares the rest where it is found: every ID is
// found after near misses of it, and nothing short of the whole ID counts.
TEST(InfOwnership, EveryIdIsFoundAndOnlyWhole) {
  for (std::uint32_t row = 0; row < supported_hardware_id_count; ++row) {
    std::string id = supported_hardware_ids[row];
    std::string near = id.substr(0, id.size() - 1) + (id.back() == 'C' ? 'D' : 'C');
    SCOPED_TRACE(id);
    EXPECT_TRUE(ours("; PCI\\VEN_1E5C PCI\\VEN_" + near + "\r\n" + package_inf(id)));
    EXPECT_FALSE(ours(package_inf(near)));
    EXPECT_FALSE(ours(package_inf(id.substr(0, id.size() - 1))));
    EXPECT_FALSE(ours(package_inf("PCI\\" + id)));
  }
}

TEST(InfOwnership, TheDriverPackageIsOurs) {
  std::ifstream file(std::string(HALVIK_SOURCE_DIR) + "/pnp/morvellan.inf", std::ios::binary);
  std::stringstream inf;
  inf << file.rdbuf();
  ASSERT_FALSE(inf.str().empty());
  EXPECT_TRUE(ours(inf.str()));
}

}  // namespace

namespace {

std::vector<std::string> copied(const std::string& text) {
  std::vector<std::string> files;
  EXPECT_TRUE(inf_copied_files(text.data(), text.size(), &files));
  return files;
}

// The source files an installation copies: the ways an INF names
// where a file lies (disk path, subfolder, platform sections, string tokens, "@" directives), and
// the package's own INF.
TEST(InfCopiedFiles, EveryPlatformsInstallSectionsNameTheirSourceFiles) {
  const std::string id = supported_hardware_ids[2];
  const std::string layout =
      "[SourceDisksNames]\n1 = Disk,,,\\drivers\n2 = Other,,,%Sub%\n[SourceDisksNames.amd64]\n1 = "
      "Disk,,,x64\n"
      "[SourceDisksFiles]\na.sys = 1\nb.dll = 2, extra\n[SourceDisksFiles.amd64]\na64.sys = 1\n"
      "[Strings]\nSub = \"second\"\nSection = \"Files\"\n";
  const struct {
    const char* label;
    std::string text;
    std::vector<std::string> files;
  } cases[] = {
      {"plain sections",
       "[Manufacturer]\nM\n[M]\nD = Inst, " + id + "\n[Inst]\nCopyFiles = %Section%, @c.cat\n" +
           "[Files]\na.sys\nnew.dll, b.dll\n" + layout,
       {"drivers\\a.sys", "second\\extra\\b.dll", "c.cat"}},
      {"the platform's install section and co-installers",
       "[Manufacturer]\nM = Mod, NTamd64\n[Mod.NTamd64]\nD = Inst, " + id +
           "\n[Inst.NTamd64]\nCopyFiles = F\n[Inst.NTamd64.CoInstallers]\nCopyFiles = "
           "@b.dll\n[Inst]\nCopyFiles = "
           "@unused.sys\n[F]\na.sys, a64.sys\n" +
           layout,
       {"x64\\a64.sys", "second\\extra\\b.dll"}},
      {"models of other devices copy nothing of ours",
       "[Manufacturer]\nM\n[M]\nD = Inst, PCI\\VEN_8086&DEV_1234\n[Inst]\nCopyFiles = @a.sys\n",
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(copied(c.text), c.files);
  }
  std::ifstream inf(std::string(HALVIK_SOURCE_DIR) + "/pnp/morvellan.inf", std::ios::binary);
  std::stringstream package;
  package << inf.rdbuf();
  EXPECT_EQ(copied(package.str()),
            (std::vector<std::string>{"halvik_x86.sys", "tsrgBdevpp_x86.dll", "tsrgBdevco_x86.dll",
                                      "halvik_amd64.sys", "tsrgBdevpp_amd64.dll", "tsrgBdevco_amd64.dll"}));
  std::vector<std::string> files;
  EXPECT_FALSE(inf_copied_files("text before a section", 21, &files));
}

}  // namespace

// The INF reader of the simulated machine, and the driver package it reads.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/sim/devices/inf.h"
#include "pnp/hardware_ids.h"

namespace {

using sim::inf::Inf;

std::string read_source_file(const std::string& relative) {
  std::ifstream in(std::string(HALVIK_SOURCE_DIR) + "/" + relative, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

TEST(InfReader, LinesFieldsStringsAndComments) {
  Inf inf = sim::inf::parse(
      "; leading comment\r\n"
      "[Version]\r\n"
      "Signature = \"$Windows NT$\"   ; trailing comment\r\n"
      "Provider  = %Maker%\r\n"
      "[Install]\r\n"
      "CopyFiles = Files.A, Files.B\r\n"
      "CopyFiles = @single.sys\r\n"
      "AddReg = \\\r\n"
      "    Continued.AddReg\r\n"
      "[Continued.AddReg]\r\n"
      "HKR,,Value,0,\"a, b; not a comment\"\r\n"
      "HKR,,Quoted,0,\"say \"\"hi\"\"\"\r\n"
      "HKR,,Percent,0,\"100%% of %12%\\x\"\r\n"
      "[strings]\r\n"
      "maker = \"Quillant, Inc.\"\r\n");
  EXPECT_EQ(inf.value("version", "SIGNATURE"), "$Windows NT$");
  EXPECT_EQ(inf.value("Version", "Provider"), "Quillant, Inc.");
  EXPECT_EQ(inf.list_values("Install", "CopyFiles"),
            (std::vector<std::string>{"Files.A", "Files.B", "@single.sys"}));
  EXPECT_EQ(inf.value("Install", "AddReg"), "Continued.AddReg");
  const sim::inf::Section* add_reg = inf.section("continued.addreg");
  ASSERT_NE(add_reg, nullptr);
  ASSERT_EQ(add_reg->lines.size(), 3u);
  EXPECT_EQ(add_reg->lines[0].fields,
            (std::vector<std::string>{"HKR", "", "Value", "0", "a, b; not a comment"}));
  EXPECT_EQ(add_reg->lines[1].fields.back(), "say \"hi\"");
  EXPECT_EQ(add_reg->lines[2].fields.back(), "100% of %12%\\x");
  EXPECT_EQ(inf.value("Version", "Missing"), "");
  EXPECT_EQ(inf.section("Nowhere"), nullptr);
}

TEST(InfReader, SectionsOfTheSameNameAreMerged) {
  Inf inf = sim::inf::parse("[A]\nx = 1\n[B]\ny = 2\n[a]\nz = 3\n");
  EXPECT_EQ(inf.value("A", "x"), "1");
  EXPECT_EQ(inf.value("A", "z"), "3");
  EXPECT_EQ(inf.sections.size(), 2u);
}

TEST(InfReader, Utf16WithByteOrderMarkIsRead) {
  std::string text = "[Version]\r\nClass=System\r\n";
  std::string wide("\xFF\xFE", 2);
  for (char c : text) {
    wide.push_back(c);
    wide.push_back('\0');
  }
  EXPECT_EQ(sim::inf::class_name(sim::inf::parse(wide)), "System");
}

struct DecorationCase {
  const char* platform;
  std::vector<std::string> decorations;
  const char* expected;
};

TEST(InfReader, ModelsSectionFitsThePlatform) {
  const DecorationCase cases[] = {
      {"x86", {"NTx86", "NTamd64"}, "Models.NTx86"},
      {"amd64", {"NTx86", "NTamd64"}, "Models.NTamd64"},
      {"amd64", {"ntamd64.6.1"}, "Models.ntamd64.6.1"},
      {"amd64", {"NT", "NTamd64"}, "Models.NTamd64"},
      {"x86", {"NT", "NTamd64"}, "Models.NT"},
      {"x86", {"NTamd64"}, ""},
      {"x86", {}, "Models"},
  };
  for (const DecorationCase& c : cases) {
    EXPECT_EQ(sim::inf::choose_models_section("Models", c.decorations, c.platform), c.expected)
        << c.platform << " " << c.decorations.size();
  }
}

TEST(InfReader, InstallSectionPrefersTheDecoratedOne) {
  Inf inf = sim::inf::parse("[Dev]\n[Dev.NT]\n[Dev.NTamd64]\n[Other]\n[Other.NT]\n[Plain]\n");
  EXPECT_EQ(sim::inf::choose_install_section(inf, "Dev", "amd64"), "Dev.NTamd64");
  EXPECT_EQ(sim::inf::choose_install_section(inf, "Dev", "x86"), "Dev.NT");
  EXPECT_EQ(sim::inf::choose_install_section(inf, "Other", "amd64"), "Other.NT");
  EXPECT_EQ(sim::inf::choose_install_section(inf, "Plain", "x86"), "Plain");
  EXPECT_EQ(sim::inf::choose_install_section(inf, "Absent", "x86"), "");
}

TEST(DriverPackage, LinesEndInCrLf) {
  std::string bytes = read_source_file("pnp/morvellan.inf");
  ASSERT_FALSE(bytes.empty());
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == '\n') {
      ASSERT_TRUE(i > 0 && bytes[i - 1] == '\r') << "bare LF at byte " << i;
    }
  }
}

TEST(DriverPackage, DefinesTheClassAndListsEverySupportedIdOnBothPlatforms) {
  Inf inf = sim::inf::parse(read_source_file("pnp/morvellan.inf"));
  EXPECT_EQ(inf.value("Version", "Signature"), "$Windows NT$");
  EXPECT_EQ(sim::inf::class_name(inf), "TessaridgeHardware");
  EXPECT_EQ(sim::inf::class_guid(inf), "{3D7A91C2-5B04-4E6F-A8D3-71C2E9B0F415}");
  const sim::inf::Section* class_reg = inf.section(inf.value("ClassInstall32", "AddReg"));
  ASSERT_NE(class_reg, nullptr);
  EXPECT_EQ(class_reg->lines[0].fields,
            (std::vector<std::string>{"HKR", "", "", "0", "Tessaridge Hardware"}));
  for (const char* platform : {"x86", "amd64"}) {
    std::vector<sim::inf::Model> models = sim::inf::models(inf, platform);
    ASSERT_EQ(models.size(), kSupportedHardwareIdCount) << platform;
    for (std::uint32_t row = 0; row < kSupportedHardwareIdCount; ++row) {
      EXPECT_EQ(models[row].ids, std::vector<std::string>{supported_hardware_ids[row]})
          << platform << " " << row;
      EXPECT_NE(models[row].description.find("Morvellan"), std::string::npos);
      EXPECT_EQ(sim::inf::choose_install_section(inf, models[row].install_section, platform),
                std::string("Morvellan_Device.NT") + platform);
    }
  }
}

TEST(DriverPackage, InstallsTheKernelServiceAndBothDlls) {
  Inf inf = sim::inf::parse(read_source_file("pnp/morvellan.inf"));
  for (std::string platform : {"x86", "amd64"}) {
    std::string install = sim::inf::choose_install_section(inf, "Morvellan_Device", platform);
    const sim::inf::Section* services = inf.section(install + ".Services");
    ASSERT_NE(services, nullptr) << platform;
    ASSERT_EQ(services->lines.size(), 1u);
    EXPECT_EQ(services->lines[0].key, "AddService");
    EXPECT_EQ(services->lines[0].fields[0], "halvik");
    std::string service = services->lines[0].fields[2];
    EXPECT_EQ(inf.value(service, "ServiceType"), "1");
    EXPECT_EQ(inf.value(service, "StartType"), "3");
    EXPECT_EQ(inf.value(service, "ErrorControl"), "1");
    EXPECT_EQ(inf.value(service, "ServiceBinary"), "%12%\\halvik.sys");
    EXPECT_EQ(inf.value(install + ".CoInstallers", "AddReg"), "Morvellan_CoInst_AddReg");

    // Installed name -> source name, and where it goes.
    std::map<std::string, std::string> files;
    std::set<std::string> destinations;
    for (const std::string& section : {install, install + ".CoInstallers"}) {
      for (const std::string& list : inf.list_values(section, "CopyFiles")) {
        ASSERT_NE(inf.section(list), nullptr) << list;
        for (const sim::inf::Line& line : inf.section(list)->lines) {
          ASSERT_EQ(line.fields.size(), 2u) << list;
          files[line.fields[0]] = line.fields[1];
          destinations.insert(line.fields[0] + " " + inf.value("DestinationDirs", list));
        }
      }
    }
    EXPECT_EQ(files,
              (std::map<std::string, std::string>{{"halvik.sys", "halvik_" + platform + ".sys"},
                                                  {"tsrgBdevco.dll", "tsrgBdevco_" + platform + ".dll"},
                                                  {"tsrgBdevpp.dll", "tsrgBdevpp_" + platform + ".dll"}}));
    EXPECT_EQ(destinations,
              (std::set<std::string>{"halvik.sys 12", "tsrgBdevco.dll 11", "tsrgBdevpp.dll 11"}));
    // Every source lies beside the INF: listed undecorated, on disk 1, with no subfolder.
    for (const auto& [installed, source] : files) {
      const sim::inf::Section* sources = inf.section("SourceDisksFiles");
      ASSERT_NE(sources, nullptr);
      bool listed = false;
      for (const sim::inf::Line& line : sources->lines) {
        if (line.key != source) continue;
        listed = true;
        EXPECT_EQ(line.fields, std::vector<std::string>{"1"}) << source;
      }
      EXPECT_TRUE(listed) << source;
    }
  }
  EXPECT_EQ(inf.section("SourceDisksFiles")->lines.size(), 6u);
  EXPECT_EQ(inf.section("SourceDisksFiles.x86"), nullptr);
  EXPECT_EQ(inf.section("SourceDisksFiles.amd64"), nullptr);
  EXPECT_EQ(inf.section("SourceDisksNames")->lines[0].fields,
            (std::vector<std::string>{"Quillant Tessaridge driver disk", "", "", ""}));
}

}  // namespace

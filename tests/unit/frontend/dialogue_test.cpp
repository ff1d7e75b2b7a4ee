#include "frontend/dialogue.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "frontend/settings.h"

namespace {

// Runs one part of the dialogue on the given answers; returns what it printed.
class Dialogue {
 public:
  explicit Dialogue(const std::string& answers) {
    reset_settings();
    input_ = std::tmpfile();
    std::fputs(answers.c_str(), input_);
    std::rewind(input_);
    set_answer_source(input_);
  }
  ~Dialogue() {
    set_answer_source(nullptr);
    std::fclose(input_);
  }
  template <typename Step>
  std::string run(Step step) {
    testing::internal::CaptureStdout();
    step();
    return testing::internal::GetCapturedStdout();
  }
  std::FILE* input() { return input_; }

 private:
  std::FILE* input_;
};

std::size_t count_of(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

TEST(DialogueTest, EmptyAnswersTakeTheDefaults) {
  Dialogue dialogue("\n\n\n\n\n\n\n");
  dialogue.run(ask_driver_parameters);
  EXPECT_EQ(max_pci_modules, 16u);
  EXPECT_EQ(phybufsize, 32768u);
  EXPECT_EQ(appbufsize, 10240u);
  EXPECT_EQ(machine_id, 1u);
  EXPECT_EQ(do_reset, 1);
  EXPECT_EQ(hist_enable, 0);
  EXPECT_EQ(dhsize, 1024000u);
  EXPECT_EQ(num_hists_phy, 0u);
  EXPECT_EQ(num_hists_apl, 0u);
  EXPECT_EQ(hist_phy_admin_only, 1u);
  // Declining the advanced parameters leaves them 0, not the defaults their prompts show.
  EXPECT_EQ(num_I2O_frames, 0u);
  EXPECT_EQ(fc_interval, 0u);
  EXPECT_EQ(mem_drv_alloc_min, 0u);
  EXPECT_EQ(mem_drv_alloc_quanta, 0u);
}

// Each case answers the first questions; the prompt named must appear the given number of times.
TEST(DialogueTest, RejectedAnswersRepeatTheQuestionWithTheSameDefault) {
  const struct {
    const char* answers;
    const char* prompt;
    std::size_t asked;
    std::uint32_t* setting;
    std::uint32_t expected;
  } cases[] = {
      {"0\n999\n", "Maximum number of PCI/cPCI hardware modules (default 16): ", 2, &max_pci_modules, 999},
      {"\n100\n600000\n-5\nk40\n  40000k\n", "Physical buffer size (default 32768): ", 5, &phybufsize, 40000},
      {"\n\n10239\n524289\n524288\n", "Application buffer size (default 10240): ", 3, &appbufsize, 524288},
      {"\n\n\nff\nFE\n", "Machine ID, in hex (default 1): ", 2, &machine_id, 254},
      {"\n\n\n0xfe\n", "Machine ID, in hex (default 1): ", 1, &machine_id, 254},
      {"\n\n\nqrs\n", "Machine ID, in hex (default 1): ", 1, &machine_id, 1},
      {"\n\n\nff\nzz\n", "Machine ID, in hex (default 1): ", 2, &machine_id, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answers);
    Dialogue dialogue(std::string(c.answers) + "\n\n\n\n\n\n\n");
    std::string out = dialogue.run(ask_driver_parameters);
    EXPECT_EQ(count_of(out, c.prompt), c.asked);
    EXPECT_EQ(*c.setting, c.expected);
  }
}

TEST(DialogueTest, FlagsAndHistorySettings) {
  {
    Dialogue dialogue("\n\n\n\n2\nabc\n\n\n");
    std::string out = dialogue.run(ask_driver_parameters);
    EXPECT_EQ(count_of(out, "Do initial reset (default 1): "), 2u);
    EXPECT_EQ(do_reset, 1);
  }
  {
    Dialogue dialogue("\n\n\n\n0\n1\n500\n2\n3\n0\n\n");
    std::string out = dialogue.run(ask_driver_parameters);
    EXPECT_EQ(do_reset, 0);
    EXPECT_EQ(hist_enable, 1);
    EXPECT_EQ(dhsize, 1024u);  // raised without a word
    EXPECT_EQ(num_hists_phy, 2u);
    EXPECT_EQ(num_hists_apl, 3u);
    EXPECT_EQ(hist_phy_admin_only, 0u);
    EXPECT_EQ(count_of(out, "Restrict physical channel histories to admin channel 1 (default 1): "), 1u);
  }
  {
    // Without physical channel histories the restriction isn't asked and keeps 1.
    Dialogue dialogue("\n\n\n\n\n1\n\n0\n\n\n");
    std::string out = dialogue.run(ask_driver_parameters);
    EXPECT_EQ(count_of(out, "Restrict physical"), 0u);
    EXPECT_EQ(hist_phy_admin_only, 1u);
    EXPECT_EQ(dhsize, 1024000u);
  }
}

TEST(DialogueTest, AdvancedParametersAndReservedModules) {
  Dialogue dialogue(
      "\n\n\n\n\n\n"
      "y\n12\n128\n49\n50\n\n\n"
      "1234\n5678 20\n0 5\n99 1\n99 fe\n\n"
      "y\n1\n2\nx\n");
  std::string out = dialogue.run(ask_driver_parameters);
  EXPECT_EQ(num_I2O_frames, 128u);
  EXPECT_EQ(count_of(out, "Number of I2O frames per module (default 16): "), 2u);
  EXPECT_EQ(fc_interval, 50u);
  EXPECT_EQ(mem_drv_alloc_min, 152u);
  EXPECT_EQ(mem_drv_alloc_quanta, 128u);
  ASSERT_EQ(num_reserved_modules, 2u);
  EXPECT_EQ(reserved_module_table[0].mod_id, 0x1234u);
  EXPECT_EQ(reserved_module_table[0].mod_num, 0xF0u);
  EXPECT_EQ(reserved_module_table[1].mod_id, 0x5678u);
  EXPECT_EQ(reserved_module_table[1].mod_num, 0x20u);
  EXPECT_NE(out.find("mod_id mod_num[f0]: mod_id mod_num[f1]: mod_id mod_num[21]: Bad mod_id value.\n"),
            std::string::npos);
  EXPECT_EQ(count_of(out, "Bad mod_num value.\n"), 2u);
  EXPECT_EQ(test1, 1u);
  EXPECT_EQ(test2, 2u);
  EXPECT_EQ(test3, 0u);
}

TEST(DialogueTest, AnOfferedDefaultAboveTheRangeIsRefusedWhenTaken) {
  Dialogue dialogue("\n\n\n\n\n\ny\n\n\n\n\n1 fd\n2\n\n");
  std::string out = dialogue.run(ask_driver_parameters);
  EXPECT_NE(out.find("mod_id mod_num[fe]: Bad mod_num value.\n"), std::string::npos);
  EXPECT_EQ(num_reserved_modules, 1u);
}

TEST(DialogueTest, UpperCaseYDeclinesTheAdvancedParameters) {
  Dialogue dialogue("\n\n\n\n\n\nY\n");
  std::string out = dialogue.run(ask_driver_parameters);
  EXPECT_EQ(count_of(out, "I2O"), 0u);
  EXPECT_EQ(num_I2O_frames, 0u);
}

const std::string kLongLineText = std::string(1000, 'x') + "\nn\n";
const char* const kLongLine = kLongLineText.c_str();

TEST(DialogueTest, OverwriteQuestion) {
  const struct {
    const char* answers;
    bool overwrite;
    std::size_t asked;
  } cases[] = {
      {"\n", true, 1}, {"yes\n", true, 1}, {"N\n n\nn\n", false, 3},
      // End of input keeps the installation: nothing answered is no yes.
      {"", false, 1}, {"N\n", false, 2},
      // One line is one answer, however long: the rest of it is not asked about again.
      {kLongLine, false, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answers);
    Dialogue dialogue(c.answers);
    bool answer = false;
    std::string out = dialogue.run([&] { answer = ask_overwrite(); });
    EXPECT_EQ(answer, c.overwrite);
    EXPECT_EQ(count_of(out, "Do you want to overwrite the existing installation?\n"), 1u);
    EXPECT_EQ(count_of(out, "Overwrite? (y or n, default y): "), c.asked);
  }
}

TEST(DialogueTest, InstallOptions) {
  const struct {
    const char* answers;
    int auto_start;
    int do_adj;
    std::uint32_t meg;
    int already_opt;
    std::size_t node_asked;
  } cases[] = {
      {"\nn\n", 0, 0, 0, 0, 1},
      {"x\n y\n y\n", 1, 0, 0, 0, 2},
      {"n\ny\n\n\n5\n2\n", 0, 1, 32, 2, 1},
      {"n\nyes\n256 MB\nx\n3\n", 0, 1, 256, 3, 1},
      // End of input: no device node, no adjustment; once asked for, the adjustment skips an
      // earlier one.
      {"", 0, 0, 0, 0, 1},
      {"\ny\n", 0, 1, 32, 1, 1},
      {"\ny\n64\n9\n", 0, 1, 64, 1, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answers);
    Dialogue dialogue(c.answers);
    std::string out = dialogue.run(ask_install_options);
    EXPECT_EQ(auto_start, c.auto_start);
    EXPECT_EQ(do_adj, c.do_adj);
    EXPECT_EQ(meg_in_system, c.meg);
    EXPECT_EQ(already_opt, c.already_opt);
    EXPECT_EQ(count_of(out, "Load driver with no devices present? (y or n, default n): "), c.node_asked);
    EXPECT_EQ(count_of(out, "Enter the number of MB"), c.do_adj == 1 ? 1u : 0u);
  }
}

TEST(DialogueTest, EndOfInputTakesEveryDefault) {
  const char* cases[] = {"",
                         "0\n",
                         "\n\n\nff\n",
                         "\n\n\n\n2\n",
                         "\n\n\n\n\n1\n",
                         "\n\n\n\n\n\ny\n12\n",
                         "\n\n\n\n\n\ny\n\n\n\n\n1234\n"};
  for (const char* answers : cases) {
    SCOPED_TRACE(answers);
    Dialogue dialogue(answers);
    dialogue.run(ask_driver_parameters);
    EXPECT_EQ(max_pci_modules, 16u);
    EXPECT_EQ(machine_id, 1u);
    EXPECT_EQ(do_reset, 1);
    EXPECT_EQ(dhsize, 1024000u);
    EXPECT_EQ(test1, 0u);
  }
}

TEST(DialogueTest, NothingIsReadAfterInputHasEnded) {
  Dialogue dialogue("");
  char line[kAnswerSize];
  EXPECT_FALSE(read_answer(line));
  std::fputs("y\n", dialogue.input());
  std::rewind(dialogue.input());
  EXPECT_FALSE(read_answer(line));
  bool reboot = true;
  dialogue.run([&] { reboot = ask_reboot(); });
  EXPECT_FALSE(reboot);
}

TEST(DialogueTest, ParseUnsignedAnswer) {
  const struct {
    const char* line;
    bool accepted;
    std::uint32_t value;
  } cases[] = {
      {"\n", true, 7},    {"   \n", true, 7}, {"12abc\n", true, 12}, {" 40000\n", true, 40000},
      {"-5\n", false, 7}, {"+5\n", false, 7}, {"k40\n", false, 7},   {"0x10\n", true, 0},
  };
  for (const auto& c : cases) {
    std::uint32_t value = 7;
    EXPECT_EQ(parse_unsigned_answer(c.line, &value), c.accepted) << c.line;
    EXPECT_EQ(value, c.value) << c.line;
  }
}

TEST(DialogueTest, SummaryShowsHistoryOnlyWhenEnabled) {
  Dialogue dialogue("");
  phybufsize = 40000;
  appbufsize = 10240;
  machine_id = 0xAB;
  std::string disabled = dialogue.run(print_configuration_summary);
  EXPECT_EQ(disabled,
            "Configuring Halvik driver:\n    Phys buf size 40000\n    App buf size 10240\n    Machine ID AB\n"
            "        History disabled\n");
  hist_enable = 1;
  dhsize = 2048;
  num_hists_phy = 2;
  num_hists_apl = 3;
  hist_phy_admin_only = 1;
  std::string enabled = dialogue.run(print_configuration_summary);
  EXPECT_EQ(enabled,
            "Configuring Halvik driver:\n    Phys buf size 40000\n    App buf size 10240\n    Machine ID AB\n"
            "        History size 2048\n        Num phys hist bufs 2\n        Num apl hist bufs 3\n"
            "    Restrict phys hists 1\n");
}

}  // namespace

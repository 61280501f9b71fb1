// The manual page and the bash completion stay in step with the tool: each
// names every command the tool's help lists, and the completion script
// parses and offers them.
#include <regex>
#include <set>

#include "tools/tool_harness.h"

namespace zrfs::test {
namespace {

// The commands a help text lists under "Subcommands:".
std::set<std::string> ListedCommands(const std::string &help) {
  std::set<std::string> names;
  size_t at = help.find("Subcommands:\n");
  if (at == std::string::npos) return names;
  std::istringstream lines(help.substr(at + 13));
  std::string line;
  std::smatch m;
  while (std::getline(lines, line) && !line.empty())
    if (std::regex_match(line, m, std::regex(R"(\s+([a-z-]+)\s.*)"))) names.insert(m[1]);
  return names;
}

std::string SourceFile(const std::string &name) {
#ifdef ZRFS_TOOL_SOURCE_DIR
  return ReadFile(std::string(ZRFS_TOOL_SOURCE_DIR) + "/" + name);
#else
  (void)name;
  return {};
#endif
}

// Output of a bash script.
std::string Bash(const std::string &script, int *status) {
  std::string out;
  FILE *pipe = popen(("bash -c '" + script + "' 2>&1").c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  while (size_t n = fread(buffer, 1, sizeof buffer, pipe)) out.append(buffer, n);
  int rc = pclose(pipe);
  *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

TEST(ToolManualTest, ManPageDescribesEveryCommandOptionAndExitStatus) {
  SKIP_WITHOUT_TOOL();
  std::set<std::string> commands = ListedCommands(RunTool({"--help"}).out);
  ASSERT_GT(commands.size(), 10u);
  std::set<std::string> ipc = ListedCommands(RunTool({"ipc", "--help"}).out);
  ASSERT_EQ(ipc, (std::set<std::string>{"status", "clean"}));
  std::string page = SourceFile("zrfs.1");
  ASSERT_FALSE(page.empty());
  // roff writes a hyphen in a name as "\-".
  page = std::regex_replace(page, std::regex(R"(\\-)"), "-");
  for (const std::string &command : commands) {
    if (command == "help" || command == "ipc") continue;
    EXPECT_NE(page.find(".SS \"" + command + " "), std::string::npos)
        << "zrfs.1 has no section for " << command;
  }
  for (const std::string &sub : ipc)
    EXPECT_NE(page.find(".SS \"ipc " + sub + " "), std::string::npos) << "ipc " << sub;
  EXPECT_NE(page.find(".B zrfs help"), std::string::npos);
  // Every option of every command is in the page.
  for (const std::string &command : commands) {
    std::string help = RunTool({command, "--help"}).out;
    static const std::regex option(R"(  (--[a-z-]+))");
    for (auto it = std::sregex_iterator(help.begin(), help.end(), option);
         it != std::sregex_iterator(); ++it)
      EXPECT_NE(page.find((*it)[1].str()), std::string::npos)
          << "zrfs.1 does not mention " << command << " " << (*it)[1].str();
  }
  for (const char *status : {".B 16", ".B 8", ".B 4", ".B 1"})
    EXPECT_NE(page.find(status), std::string::npos) << status;
  EXPECT_NE(page.find(".SH JSON OUTPUT"), std::string::npos);
}

TEST(ToolManualTest, BashCompletionParsesAndOffersTheCommands) {
  SKIP_WITHOUT_TOOL();
#ifdef ZRFS_TOOL_SOURCE_DIR
  std::string script = std::string(ZRFS_TOOL_SOURCE_DIR) + "/zrfs.bash-completion";
  int status = -1;
  std::string out = Bash("bash -n " + script, &status);
  EXPECT_EQ(status, 0) << out;
  auto complete = [&](const std::string &words, int cword) {
    return Bash("source " + script + "; COMP_WORDS=(" + words +
                    "); COMP_CWORD=" + std::to_string(cword) + "; _zrfs; echo \"${COMPREPLY[*]}\"",
                &status);
  };
  std::string offered = complete("zrfs \"\"", 1);
  EXPECT_EQ(status, 0) << offered;
  std::set<std::string> words;
  std::istringstream split(offered);
  for (std::string w; split >> w;) words.insert(w);
  for (const std::string &command : ListedCommands(RunTool({"--help"}).out))
    EXPECT_TRUE(words.count(command)) << "the completion does not offer " << command;
  EXPECT_EQ(complete("zrfs --root /tmp ipc \"\"", 4), "status clean --help\n");
  EXPECT_EQ(complete("zrfs check disk.img --r", 3), "--repair\n");
  EXPECT_EQ(complete("zrfs format disk.img --f", 3), "--force\n");
#endif
}

}  // namespace
}  // namespace zrfs::test

// docs/integration.md is what application teams build their side from, so it must say what
// the program does. These tests compare it with what the program exports: the command words
// with the dispatcher's whitelist, the status words with the job states, the job-file example
// with the service's own reader and writer; and every text in double quotes must stand in
// the program's sources, so a message changed in one place and not the other is seen.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/text.h"
#include "hotupdate/job_status.h"
#include "service/dispatcher.h"
#include "state/hot_update_job.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

std::string ReadSource(const std::string& relative) {
  std::ifstream in(std::string(VOVU_SOURCE_DIR) + "/" + relative, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// True when `text`, written as a C++ string literal's content would be, stands in a line of
// code of the program's sources: the document quotes the program's own messages and names.
// Comment lines are left out, since comments quote messages too.
bool IsProgramText(const std::string& text) {
  static const std::string sources = [] {
    std::string all;
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(std::string(VOVU_SOURCE_DIR) + "/src")) {
      const std::string extension = entry.path().extension().string();
      if (!entry.is_regular_file() || (extension != ".cpp" && extension != ".h"))
        continue;
      std::istringstream lines(ReadSource(entry.path().lexically_relative(VOVU_SOURCE_DIR)));
      for (std::string line; std::getline(lines, line);) {
        const std::size_t start = line.find_first_not_of(' ');
        if (start != std::string::npos && line.compare(start, 2, "//") != 0)
          all += line + "\n";
      }
    }
    return all;
  }();
  std::string escaped;
  for (const char c : text) {
    if (c == '\\' || c == '"')
      escaped += '\\';
    escaped += c;
  }
  return sources.find(escaped) != std::string::npos;
}

// ---- The document ----

// One paragraph, list item, table row or heading, outside code blocks, with the section it
// stands in.
struct Block {
  int line = 0;
  std::string text;
  std::string section;  // the "## " heading
};

std::vector<Block> DocumentBlocks(const std::string& document) {
  std::vector<Block> blocks;
  std::istringstream in(document);
  std::string line;
  std::string section;
  bool fenced = false;
  bool open = false;  // the last block takes continuation lines
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.rfind("```", 0) == 0) {
      fenced = !fenced;
      open = false;
      continue;
    }
    if (fenced || line.empty()) {
      open = false;
      continue;
    }
    const bool heading = line[0] == '#';
    if (line.rfind("## ", 0) == 0)
      section = line;
    const bool startsItem =
        line[0] == '|' || heading || std::regex_search(line, std::regex("^\\d+\\. |^- "));
    if (open && !startsItem) {
      blocks.back().text += " " + line.substr(line.find_first_not_of(' '));
    } else {
      blocks.push_back({number, line, section});
    }
    open = !heading && line[0] != '|';
  }
  return blocks;
}

std::string WithoutCodeSpans(const std::string& text) {
  return std::regex_replace(text, std::regex("`[^`]*`"), "");
}

std::vector<std::string> QuotedTexts(const std::string& text) {
  std::vector<std::string> texts;
  const std::string plain = WithoutCodeSpans(text);
  const std::regex quoted("\"([^\"]*)\"");
  for (std::sregex_iterator it(plain.begin(), plain.end(), quoted), last; it != last; ++it)
    texts.push_back((*it)[1]);
  return texts;
}

// The first cells (quotes removed) of the first table below the heading that starts with
// `heading`.
std::vector<std::string> FirstTableColumn(const std::vector<Block>& blocks,
                                          const std::string& heading) {
  std::vector<std::string> cells;
  bool inTable = false;
  for (const Block& block : blocks) {
    if (block.section.rfind(heading, 0) != 0)
      continue;
    if (block.text[0] != '|') {
      if (inTable)
        break;
      continue;
    }
    inTable = true;
    const std::vector<std::string> quoted =
        QuotedTexts(block.text.substr(0, block.text.find('|', 1)));
    if (quoted.size() == 1)
      cells.push_back(quoted[0]);
  }
  return cells;
}

const std::string& Document() {
  static const std::string document = ReadSource("docs/integration.md");
  return document;
}

TEST(IntegrationDoc, CommandWordsAreTheWhitelistInItsOrder) {
  ASSERT_FALSE(Document().empty()) << "docs/integration.md not found";
  std::vector<std::string> whitelist;
  for (const std::u16string& word : WhitelistedCommandWords())
    whitelist.push_back(WideToUtf8(word));
  EXPECT_EQ(FirstTableColumn(DocumentBlocks(Document()), "## 4. Command words"), whitelist)
      << "every whitelisted word and no other, documented in its order";
}

TEST(IntegrationDoc, StatusWordsAreTheJobStatesInOrder) {
  std::vector<std::string> states;
  for (const char16_t* status : kJobStatuses)
    states.push_back(WideToUtf8(status));
  EXPECT_EQ(FirstTableColumn(DocumentBlocks(Document()), "## 6. Status words"), states);
}

TEST(IntegrationDoc, EveryQuotedTextIsTheProgramsOwn) {
  int checked = 0;
  for (const Block& block : DocumentBlocks(Document())) {
    for (const std::string& text : QuotedTexts(block.text)) {
      EXPECT_TRUE(IsProgramText(text)) << "docs/integration.md:" << block.line << ": \"" << text
                                       << "\" is not a text of the program";
      ++checked;
    }
  }
  EXPECT_GT(checked, 100);
}

TEST(IntegrationDoc, JobFileExampleIsTheServicesOwnLayout) {
  const std::string& document = Document();
  const std::size_t start = document.find("```json\n");
  ASSERT_NE(start, std::string::npos);
  const std::size_t begin = start + 8;
  const std::string example = document.substr(begin, document.find("```", begin) - begin);

  testing::TestMachine machine;
  const std::u16string path = machine.Path(u"job.json");
  testing::TestMachine::WriteBytes(path, example);
  HotUpdateJob job;
  ASSERT_TRUE(ReadJobFile(path, &job));
  EXPECT_EQ(WideToUtf8(FormatJobFile(job)), example);
  EXPECT_EQ(job.deadlineAt - job.startedAt, 90000);
}

}  // namespace
}  // namespace vovu

// docs/integration.md is what application teams build their side from, so it must say what
// the program does. These tests compare it with the sources: the command words with the
// dispatcher's whitelist, the status words with the job states, every text in double quotes
// with the program's string literals, and the job-file example with the service's own layout.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/text.h"
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

// ---- The program's string literals ----

// The content of the literal whose opening quote is at `*i`; `*i` ends past the closing one.
std::string ReadLiteral(const std::string& code, std::size_t* i) {
  std::string text;
  for (++*i; *i < code.size() && code[*i] != '"'; ++*i) {
    if (code[*i] != '\\' || *i + 1 >= code.size()) {
      text += code[*i];
      continue;
    }
    const char escaped = code[++*i];
    text += escaped == 'n' ? '\n' : escaped == 't' ? '\t' : escaped == 'r' ? '\r' : escaped;
  }
  ++*i;
  return text;
}

// Every string literal of one source file, comments and character literals skipped, with
// adjacent literals ("a" "b") joined as the compiler joins them.
void CollectLiterals(const std::string& code, std::vector<std::string>* literals) {
  bool continues = false;  // the previous token was a literal
  for (std::size_t i = 0; i < code.size();) {
    const char c = code[i];
    if (code.compare(i, 2, "//") == 0) {
      i = code.find('\n', i);
    } else if (code.compare(i, 2, "/*") == 0) {
      i = code.find("*/", i);
      i = i == std::string::npos ? i : i + 2;
    } else if (c == '\'') {
      for (++i; i < code.size() && code[i] != '\''; ++i) {
        if (code[i] == '\\')
          ++i;
      }
      ++i;
      continues = false;
    } else if (c == '"') {
      std::string text = ReadLiteral(code, &i);
      if (continues)
        literals->back() += text;
      else
        literals->push_back(std::move(text));
      continues = true;
    } else {
      const bool prefix = (c == 'u' || c == 'U' || c == 'L' || c == '8') && i + 1 < code.size() &&
                          (code[i + 1] == '"' || code[i + 1] == '8');
      if (!prefix && c != ' ' && c != '\n' && c != '\t' && c != '\r')
        continues = false;
      ++i;
    }
    if (i == std::string::npos)
      break;
  }
}

const std::vector<std::string>& ProgramLiterals() {
  static const std::vector<std::string> literals = [] {
    std::vector<std::string> all;
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(std::string(VOVU_SOURCE_DIR) + "/src")) {
      const std::string extension = entry.path().extension().string();
      if (entry.is_regular_file() && (extension == ".cpp" || extension == ".h"))
        CollectLiterals(ReadSource(entry.path().lexically_relative(VOVU_SOURCE_DIR)), &all);
    }
    return all;
  }();
  return literals;
}

bool IsProgramText(const std::string& text) {
  return std::any_of(
      ProgramLiterals().begin(), ProgramLiterals().end(),
      [&](const std::string& literal) { return literal.find(text) != literal.npos; });
}

// ---- What the program has ----

// The command words of the dispatcher's whitelist, in the order it tests them.
std::vector<std::string> WhitelistWords() {
  const std::string code = ReadSource("src/service/dispatcher.cpp");
  const std::size_t start = code.find("kWhitelistEntries[]");
  const std::size_t end = code.find("};", start);
  std::vector<std::string> words;
  if (start == std::string::npos || end == std::string::npos)
    return words;
  const std::string table = code.substr(start, end - start);
  const std::regex entry(R"re(\{\s*u"([^"]+)")re");
  for (std::sregex_iterator it(table.begin(), table.end(), entry), last; it != last; ++it)
    words.push_back((*it)[1]);
  return words;
}

// The job status words, in the order of their declarations.
std::vector<std::string> StatusWords() {
  const std::string code = ReadSource("src/hotupdate/job_status.h");
  const std::regex status(R"re(kStatus\w+\[\]\s*=\s*u"([a-z]+)")re");
  std::vector<std::string> words;
  for (std::sregex_iterator it(code.begin(), code.end(), status), last; it != last; ++it)
    words.push_back((*it)[1]);
  return words;
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
  const std::vector<std::string> whitelist = WhitelistWords();
  ASSERT_FALSE(whitelist.empty()) << "the dispatcher's whitelist table was not found";
  EXPECT_EQ(FirstTableColumn(DocumentBlocks(Document()), "## 4. Command words"), whitelist)
      << "every whitelisted word and no other, documented in its order";
}

TEST(IntegrationDoc, StatusWordsAreTheJobStatesInOrder) {
  const std::vector<std::string> states = StatusWords();
  ASSERT_EQ(states.size(), 11u);
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

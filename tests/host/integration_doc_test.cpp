// docs/integration.md is what application teams build their side from, so it must say what
// the program does. These tests compare it with the sources: the command words with the
// dispatcher's whitelist, the status words with the job states, every text in double quotes
// with the program's string literals, and the job-file example with the service's own layout.
//
// Hot-update words that the dispatcher does not have yet are the system's contract already;
// a quoted text whose section or line names such a word is reported as not yet checkable
// instead of failing, and is checked as soon as the word joins the whitelist.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "foundation/text.h"
#include "state/hot_update_job.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

const std::vector<std::string> kHotUpdateWords = {"hot-update-prepare", "hot-update-commit",
                                                  "hot-update-confirm", "hot-update-cancel"};

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

bool IsPending(const std::string& word) {
  static const std::vector<std::string> whitelist = WhitelistWords();
  return std::find(whitelist.begin(), whitelist.end(), word) == whitelist.end();
}

// ---- The document ----

// One paragraph, list item, table row or heading, outside code blocks, with the headings it
// stands under.
struct Block {
  int line = 0;
  std::string text;
  std::string section;     // the "## " heading
  std::string subsection;  // the "### " heading
};

std::vector<Block> DocumentBlocks(const std::string& document) {
  std::vector<Block> blocks;
  std::istringstream in(document);
  std::string line;
  std::string section;
  std::string subsection;
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
      section = line, subsection.clear();
    if (line.rfind("### ", 0) == 0)
      subsection = line;
    const bool startsItem =
        line[0] == '|' || heading || std::regex_search(line, std::regex("^\\d+\\. |^- "));
    if (open && !startsItem) {
      blocks.back().text += " " + line.substr(line.find_first_not_of(' '));
    } else {
      blocks.push_back({number, line, section, subsection});
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

std::string Joined(const std::vector<std::string>& words) {
  std::string text;
  for (const std::string& word : words)
    text += (text.empty() ? "" : ", ") + word;
  return text;
}

TEST(IntegrationDoc, CommandWordsAreTheWhitelistInItsOrder) {
  ASSERT_FALSE(Document().empty()) << "docs/integration.md not found";
  const std::vector<std::string> whitelist = WhitelistWords();
  ASSERT_FALSE(whitelist.empty()) << "the dispatcher's whitelist table was not found";
  const std::vector<std::string> documented =
      FirstTableColumn(DocumentBlocks(Document()), "## 4. Command words");

  std::vector<std::string> documentedKnown;  // the documented words the program has
  std::vector<std::string> pending;
  for (const std::string& word : documented) {
    if (!IsPending(word)) {
      documentedKnown.push_back(word);
    } else if (std::find(kHotUpdateWords.begin(), kHotUpdateWords.end(), word) !=
               kHotUpdateWords.end()) {
      pending.push_back(word);
    } else {
      ADD_FAILURE() << "documented, but not in the whitelist: " << word;
    }
  }
  EXPECT_EQ(documentedKnown, whitelist) << "every whitelisted word, documented in its order";
  std::cout << "[ doc ] command words checked: " << Joined(documentedKnown) << "\n";
  if (!pending.empty())
    std::cout << "[ doc ] not yet in the whitelist, not checked: " << Joined(pending) << "\n";
}

TEST(IntegrationDoc, StatusWordsAreTheJobStatesInOrder) {
  const std::vector<std::string> states = StatusWords();
  ASSERT_EQ(states.size(), 11u);
  EXPECT_EQ(FirstTableColumn(DocumentBlocks(Document()), "## 6. Status words"), states);
}

TEST(IntegrationDoc, EveryQuotedTextIsTheProgramsOwn) {
  int checked = 0;
  std::set<std::string> pendingWords;
  int pendingTexts = 0;
  for (const Block& block : DocumentBlocks(Document())) {
    std::vector<std::string> scope = QuotedTexts(block.section);
    for (const std::string& text : QuotedTexts(block.subsection))
      scope.push_back(text);
    for (const std::string& text : QuotedTexts(block.text))
      scope.push_back(text);
    std::vector<std::string> waitingFor;
    for (const std::string& word : kHotUpdateWords) {
      if (IsPending(word) && std::find(scope.begin(), scope.end(), word) != scope.end())
        waitingFor.push_back(word);
    }
    for (const std::string& text : QuotedTexts(block.text)) {
      if (IsProgramText(text)) {
        ++checked;
      } else if (!waitingFor.empty()) {
        ++pendingTexts;
        pendingWords.insert(waitingFor.begin(), waitingFor.end());
      } else {
        ADD_FAILURE() << "docs/integration.md:" << block.line << ": \"" << text
                      << "\" is not a text of the program";
      }
    }
  }
  EXPECT_GT(checked, 100);
  std::cout << "[ doc ] quoted texts found in the program: " << checked << "\n";
  if (pendingTexts > 0) {
    std::cout << "[ doc ] quoted texts of words not yet in the whitelist, not checked: "
              << pendingTexts << " (" << Joined({pendingWords.begin(), pendingWords.end()})
              << ")\n";
  }
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

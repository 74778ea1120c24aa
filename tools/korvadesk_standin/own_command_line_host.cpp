#include <fstream>
#include <iterator>

#include "own_command_line.h"

namespace vovu::standin {

std::string OwnCommandLine() {
  std::ifstream in("/proc/self/cmdline", std::ios::binary);
  std::string words((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  while (!words.empty() && words.back() == '\0')
    words.pop_back();
  for (char& c : words) {
    if (c == '\0')
      c = ' ';
  }
  return words;
}

}  // namespace vovu::standin

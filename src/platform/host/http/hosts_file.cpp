#include "platform/host/http/hosts_file.h"

#include <arpa/inet.h>

#include <fstream>
#include <sstream>

#include "platform/host/core/host_util.h"
#include "platform/host/core/machine_root.h"

namespace vovu::platform::host {
namespace {

bool IsAddress(const std::string& text) {
  unsigned char buffer[16];
  return inet_pton(AF_INET, text.c_str(), buffer) == 1 ||
         inet_pton(AF_INET6, text.c_str(), buffer) == 1;
}

}  // namespace

bool LookUpHostsFile(const std::string& name, std::string* address) {
  std::string path;
  if (!ToHostPath(kHostsFilePath, &path))
    return false;
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) {
    const std::size_t hash = line.find('#');
    if (hash != std::string::npos)
      line.resize(hash);
    std::istringstream words(line);
    std::string candidate;
    if (!(words >> candidate) || !IsAddress(candidate))
      continue;
    for (std::string alias; words >> alias;) {
      if (EqualIgnoringAsciiCase(alias, name)) {
        *address = candidate;
        return true;
      }
    }
  }
  return false;
}

}  // namespace vovu::platform::host

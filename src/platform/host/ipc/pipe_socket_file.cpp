#include "platform/host/ipc/pipe_socket_file.h"

#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vovu::platform::host {
namespace {

bool IsOwnSocketFile(const PipeObject& pipe, const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0 && st.st_dev == pipe.device && st.st_ino == pipe.inode;
}

}  // namespace

bool RenameOwnSocketFile(const PipeObject& pipe, const std::string& from, const std::string& to) {
  return IsOwnSocketFile(pipe, from) && rename(from.c_str(), to.c_str()) == 0;
}

void RemoveOwnSocketFile(const PipeObject& pipe, const std::string& path) {
  if (IsOwnSocketFile(pipe, path))
    unlink(path.c_str());
}

}  // namespace vovu::platform::host

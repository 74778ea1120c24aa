#include "platform/host/core/machine_root.h"
#include "platform/host/core/host_util.h"

#include <dirent.h>
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

#include "platform/error.h"
#include "platform/text_codec.h"

namespace vovu::platform::host {
namespace {

char LowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

// The name under `directory` that matches `name` ignoring ASCII case: `name` itself when
// it exists as given or nothing matches.
std::string MatchComponent(const std::string& directory, const std::string& name) {
  const std::string exact = directory == "/" ? "/" + name : directory + "/" + name;
  if (Exists(exact))
    return name;
  DIR* dir = opendir(directory.c_str());
  if (dir == nullptr)
    return name;
  std::string found = name;
  while (dirent* entry = readdir(dir)) {
    if (EqualIgnoringAsciiCase(entry->d_name, name)) {
      found = entry->d_name;
      break;
    }
  }
  closedir(dir);
  return found;
}

std::string CurrentDirectory() {
  std::vector<char> buffer(4096);
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE)
      return "/";
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

bool IsSeparator(char16_t c) {
  return c == u'\\' || c == u'/';
}

}  // namespace

std::string MachineRoot() {
  const char* root = std::getenv(kMachineRootVariable);
  std::string result = (root != nullptr && *root != '\0') ? root : kDefaultMachineRoot;
  while (result.size() > 1 && result.back() == '/')
    result.pop_back();
  return result;
}

bool ToHostPath(const std::u16string& windowsPath, std::string* hostPath) {
  std::u16string rest = windowsPath;
  std::string base;
  if (rest.size() >= 2 && IsSeparator(rest[0]) && IsSeparator(rest[1])) {
    SetLastErrorCode(kErrorInvalidName);  // UNC and \\?\ paths: not emulated
    return false;
  }
  if (rest.size() >= 2 && rest[1] == u':' &&
      ((rest[0] >= u'A' && rest[0] <= u'Z') || (rest[0] >= u'a' && rest[0] <= u'z'))) {
    const char drive = LowerAscii(static_cast<char>(rest[0]));
    base = drive == 'z' ? "/" : MachineRoot() + "/drive_" + drive;
    rest = rest.substr(2);
  } else if (!rest.empty() && IsSeparator(rest[0])) {
    base = MachineRoot() + "/drive_c";
  } else {
    base = CurrentDirectory();
  }

  // Split into components and resolve "." and ".." lexically.
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (start <= rest.size()) {
    std::size_t end = start;
    while (end < rest.size() && !IsSeparator(rest[end]))
      ++end;
    const std::u16string piece = rest.substr(start, end - start);
    if (piece == u"..") {
      if (!parts.empty())
        parts.pop_back();
    } else if (!piece.empty() && piece != u".") {
      parts.push_back(WideToMultiByteUtf8(piece));
    }
    start = end + 1;
  }

  std::string path = base;
  bool parentExists = true;
  for (const std::string& part : parts) {
    const std::string name = parentExists ? MatchComponent(path, part) : part;
    path = path == "/" ? "/" + name : path + "/" + name;
    if (parentExists)
      parentExists = Exists(path);
  }
  *hostPath = path;
  return true;
}

std::u16string ToWindowsPath(const std::string& hostPath) {
  const std::string root = MachineRoot() + "/drive_";
  std::string windows;
  if (hostPath.compare(0, root.size(), root) == 0 && hostPath.size() > root.size() &&
      (hostPath.size() == root.size() + 1 || hostPath[root.size() + 1] == '/')) {
    windows.push_back(static_cast<char>(hostPath[root.size()] - 'a' + 'A'));
    windows += ":";
    windows += hostPath.size() == root.size() + 1 ? "/" : hostPath.substr(root.size() + 1);
  } else {
    windows = "Z:" + hostPath;
  }
  for (char& c : windows) {
    if (c == '/')
      c = '\\';
  }
  return MultiByteUtf8ToWide(windows.data(), windows.size());
}

std::uint32_t Win32ErrorFromErrno(int err, const std::string& hostPath) {
  switch (err) {
    case ENOENT: {
      const std::size_t slash = hostPath.find_last_of('/');
      const std::string parent = slash == std::string::npos ? "." : hostPath.substr(0, slash);
      struct stat st;
      const bool parentIsDirectory =
          parent.empty() || (stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode));
      return parentIsDirectory ? kErrorFileNotFound : kErrorPathNotFound;
    }
    case ENOTDIR:
      return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
      return kErrorAccessDenied;
    case EEXIST:
      return kErrorFileExists;
    case ENOTEMPTY:
      return kErrorDirNotEmpty;
    case ENOSPC:
    case EDQUOT:
      return kErrorDiskFull;
    case EBUSY:
    case ETXTBSY:
    case EWOULDBLOCK:
      return kErrorSharingViolation;
    case ENAMETOOLONG:
      return kErrorFilenameExcedRange;
    case EINVAL:
      return kErrorInvalidParameter;
    case EXDEV:
      return kErrorNotSameDevice;
    case EBADF:
      return kErrorInvalidHandle;
    case EINTR:
      return 995;  // ERROR_OPERATION_ABORTED: a blocking call cancelled (CancelSynchronousIo)
    case ENOMEM:
      return kErrorNotEnoughMemory;
    case ELOOP:
      return 1921;  // ERROR_CANT_RESOLVE_FILENAME
    default:
      return 31;  // ERROR_GEN_FAILURE
  }
}

}  // namespace vovu::platform::host

// A test fixture, not product code: the stand-in for the system's tar.exe that the wine stage
// installs as C:\windows\system32\tar.exe, because wine ships none. It keeps to what the
// service relies on of the system tar, for the zip packages the release tooling makes:
//
//   tar.exe -tf ARCHIVE            one member name per line (UTF-8, LF) on standard output
//   tar.exe -xf ARCHIVE [-C DIR]   the members written below DIR (default: the current
//                                  directory), replacing files that exist
//
// Exit code 0 on success; 1 when the archive cannot be read or a member cannot be written
// (a reason on standard error; extraction goes on with the other members, as tar does); 2
// for a command line it does not understand. It reads only stored zip members (see
// zip_archive.h) and, like tar, refuses member names that are absolute, name a drive or
// climb out of DIR with "..".
#include <string>
#include <vector>

#include "zip_archive.h"

namespace {

using tarstandin::ZipArchive;
using tarstandin::ZipMember;

void Write(DWORD which, const std::string& text) {
  DWORD written = 0;
  WriteFile(GetStdHandle(which), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

void Complain(const std::string& text) {
  Write(STD_ERROR_HANDLE, "tar.exe: " + text + "\n");
}

int Usage() {
  Complain("usage: tar.exe -tf ARCHIVE | tar.exe -xf ARCHIVE [-C DIR]");
  return 2;
}

bool ToWide(const std::string& text, std::wstring* wide) {
  if (text.empty()) {
    wide->clear();
    return true;
  }
  const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                         static_cast<int>(text.size()), nullptr, 0);
  if (length <= 0)
    return false;
  wide->assign(static_cast<std::size_t>(length), L'\0');
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                             static_cast<int>(text.size()), wide->data(), length) == length;
}

// The member's path components; false for a name tar would not write where it was asked to.
bool SafeComponents(const std::wstring& name, std::vector<std::wstring>* parts) {
  if (name.empty() || name[0] == L'/' || name[0] == L'\\' || name.find(L':') != std::wstring::npos)
    return false;
  std::wstring part;
  for (std::size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == L'/' || name[i] == L'\\') {
      if (part == L"..")
        return false;
      if (!part.empty() && part != L".")
        parts->push_back(part);
      part.clear();
    } else {
      part += name[i];
    }
  }
  return true;
}

bool MakeDirectory(const std::wstring& path) {
  if (CreateDirectoryW(path.c_str(), nullptr))
    return true;
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Writes one member below `root`; false with `error` set when it cannot.
bool ExtractMember(ZipArchive& archive, const ZipMember& member, const std::wstring& root,
                   std::string* error) {
  std::wstring name;
  std::vector<std::wstring> parts;
  if (!ToWide(member.name, &name)) {
    *error = member.name + ": member name is not UTF-8";
    return false;
  }
  if (!SafeComponents(name, &parts)) {
    *error = member.name + ": unsafe member path refused";
    return false;
  }
  const bool isDirectory = member.name.back() == '/' || member.name.back() == '\\';
  std::wstring path = root;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    path += L"\\" + parts[i];
    const bool last = i + 1 == parts.size();
    if ((!last || isDirectory) && !MakeDirectory(path)) {
      *error = member.name + ": cannot create a directory (error " +
               std::to_string(GetLastError()) + ")";
      return false;
    }
  }
  if (isDirectory || parts.empty())
    return true;
  HANDLE out = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
  if (out == INVALID_HANDLE_VALUE) {
    *error = member.name + ": cannot create (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  const bool copied = archive.CopyMember(member, out, error);
  CloseHandle(out);
  if (!copied)
    DeleteFileW(path.c_str());
  return copied;
}

int List(ZipArchive& archive) {
  std::string listing;
  for (const ZipMember& member : archive.members())
    listing += member.name + "\n";
  Write(STD_OUTPUT_HANDLE, listing);
  return 0;
}

int Extract(ZipArchive& archive, std::wstring root) {
  const DWORD attributes = GetFileAttributesW(root.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    Complain("could not chdir to the destination directory");
    return 1;
  }
  while (root.size() > 1 && (root.back() == L'\\' || root.back() == L'/'))
    root.pop_back();
  int status = 0;
  for (const ZipMember& member : archive.members()) {
    std::string error;
    if (!ExtractMember(archive, member, root, &error)) {
      Complain(error);
      status = 1;
    }
  }
  return status;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::vector<std::wstring> args(argv + 1, argv + argc);
  const bool list = args.size() == 2 && args[0] == L"-tf";
  const bool extract =
      (args.size() == 2 || (args.size() == 4 && args[2] == L"-C")) && args[0] == L"-xf";
  if (!list && !extract)
    return Usage();
  ZipArchive archive;
  std::string error;
  if (!archive.Open(args[1], &error)) {
    Complain(error);
    return 1;
  }
  if (list)
    return List(archive);
  return Extract(archive, args.size() == 4 ? args[3] : L".");
}

// make-package: what a release pipeline runs to publish a hot update. The three application
// files are signed before (osslsigncode for PE files, sign-elf for the host's ELF stand-ins).
//
//   make-package --version VERSION --url PACKAGE_URL --out DIR
//                KORVACF_EXE ADDON_NODE APP_ASAR
//                [--min-app-version V] [--max-app-version V] [--rollout-percent P]
//
// Writes DIR/manifest.json (the package's own manifest: the version and each file's name,
// SHA-256 and size) and DIR/package.zip (a flat archive of exactly manifest.json,
// korvaCF.exe, addon.node and app.asar, stored, which the system tar lists and extracts),
// then prints on standard output the official manifest that offers the package: its win32
// entry with the version, the package address, the package's SHA-256 and size, and the
// optional applicability fields. Exit code 0 on success, 1 when a file cannot be read or
// written, 2 for a usage error (a version or size the service would refuse included).
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "package_zip.h"

namespace {

namespace fs = std::filesystem;
using vovu::tools::ZipEntryFacts;
using vovu::tools::ZipInput;

constexpr std::uint64_t kMaxBytes = 2147483648ull;  // the service's limit per file and package
constexpr char kUsage[] =
    "usage: make-package --version VERSION --url PACKAGE_URL --out DIR\n"
    "                    KORVACF_EXE ADDON_NODE APP_ASAR\n"
    "                    [--min-app-version V] [--max-app-version V] [--rollout-percent P]\n";

struct Options {
  std::string version;
  std::string url;
  fs::path out;
  std::vector<fs::path> files;  // korvaCF.exe, addon.node, app.asar
  std::string minAppVersion;
  std::string maxAppVersion;
  std::string rolloutPercent;
};

int UsageError(const std::string& message) {
  std::fprintf(stderr, "make-package: %s\n%s", message.c_str(), kUsage);
  return 2;
}

int Failure(const std::string& message) {
  std::fprintf(stderr, "make-package: %s\n", message.c_str());
  return 1;
}

// The version text the service accepts in a request: 1 to 64 characters from A-Z, a-z,
// 0-9, '.', '-' and '_', without "..".
bool IsRequestVersion(const std::string& version) {
  if (version.empty() || version.size() > 64 || version.find("..") != std::string::npos)
    return false;
  for (char c : version) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '-' || c == '_';
    if (!ok)
      return false;
  }
  return true;
}

bool IsJsonNumber(const std::string& text) {
  if (text.empty())
    return false;
  char* end = nullptr;
  std::strtod(text.c_str(), &end);
  return *end == '\0';
}

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// Reads the command line; an empty string on success, else the usage error.
std::string ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    std::string* value = nullptr;
    if (arg == "--version")
      value = &options->version;
    else if (arg == "--url")
      value = &options->url;
    else if (arg == "--min-app-version")
      value = &options->minAppVersion;
    else if (arg == "--max-app-version")
      value = &options->maxAppVersion;
    else if (arg == "--rollout-percent")
      value = &options->rolloutPercent;
    if (value != nullptr || arg == "--out") {
      if (i + 1 >= argc)
        return arg + " needs a value";
      if (value != nullptr)
        *value = argv[++i];
      else
        options->out = argv[++i];
    } else if (arg.rfind("--", 0) == 0) {
      return "unknown option " + arg;
    } else {
      options->files.emplace_back(arg);
    }
  }
  if (options->version.empty() || options->url.empty() || options->out.empty() ||
      options->files.size() != 3) {
    return "--version, --url, --out and the three files are required";
  }
  if (!IsRequestVersion(options->version))
    return "the version must be 1 to 64 of A-Z a-z 0-9 . - _ without \"..\"";
  if (options->url.rfind("https://", 0) != 0)
    return "the package address must be https://";
  if (!options->rolloutPercent.empty() && !IsJsonNumber(options->rolloutPercent))
    return "--rollout-percent must be a number";
  return "";
}

std::string PackageManifest(const std::string& version, const std::vector<ZipInput>& inputs,
                            const std::vector<ZipEntryFacts>& facts) {
  std::string text = "{\n  \"version\": " + Quoted(version) + ",\n  \"files\": [\n";
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    text += "    { \"name\": " + Quoted(inputs[i].name) +
            ", \"sha256\": " + Quoted(facts[i].sha256) +
            ", \"size\": " + std::to_string(facts[i].size) + " }";
    text += i + 1 < inputs.size() ? ",\n" : "\n";
  }
  return text + "  ]\n}\n";
}

std::string OfficialManifest(const Options& options, const ZipEntryFacts& package) {
  std::string text = "{\n  \"win32\": {\n";
  text += "    \"version\": " + Quoted(options.version) + ",\n";
  text += "    \"packageUrl\": " + Quoted(options.url) + ",\n";
  text += "    \"packageSha256\": " + Quoted(package.sha256) + ",\n";
  text += "    \"packageSize\": " + std::to_string(package.size);
  if (!options.minAppVersion.empty())
    text += ",\n    \"minAppVersion\": " + Quoted(options.minAppVersion);
  if (!options.maxAppVersion.empty())
    text += ",\n    \"maxAppVersion\": " + Quoted(options.maxAppVersion);
  if (!options.rolloutPercent.empty())
    text += ",\n    \"rolloutPercent\": " + options.rolloutPercent;
  return text + "\n  }\n}\n";
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::string(argv[i]) == "--help") {
      std::printf("%s", kUsage);
      return 0;
    }
  }
  Options options;
  const std::string usage = ParseOptions(argc, argv, &options);
  if (!usage.empty())
    return UsageError(usage);

  // The three files under the names the service expects, each measured once.
  std::vector<ZipInput> files = {{"korvaCF.exe", options.files[0]},
                                 {"addon.node", options.files[1]},
                                 {"app.asar", options.files[2]}};
  std::vector<ZipEntryFacts> fileFacts(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    if (!vovu::tools::MeasureFile(files[i].source, &fileFacts[i]))
      return Failure("cannot read " + files[i].source.string());
    if (fileFacts[i].size == 0 || fileFacts[i].size > kMaxBytes)
      return UsageError(files[i].source.string() + " must hold 1 byte to 2 GiB");
  }

  std::error_code ignored;
  fs::create_directories(options.out, ignored);
  const fs::path manifestPath = options.out / "manifest.json";
  {
    std::ofstream manifest(manifestPath, std::ios::binary | std::ios::trunc);
    manifest << PackageManifest(options.version, files, fileFacts);
    manifest.close();
    if (!manifest)
      return Failure("cannot write " + manifestPath.string());
  }

  std::vector<ZipInput> entries = {{"manifest.json", manifestPath}};
  std::vector<ZipEntryFacts> entryFacts(1);
  if (!vovu::tools::MeasureFile(manifestPath, &entryFacts[0]))
    return Failure("cannot read " + manifestPath.string());
  entries.insert(entries.end(), files.begin(), files.end());
  entryFacts.insert(entryFacts.end(), fileFacts.begin(), fileFacts.end());
  if (vovu::tools::StoredZipSize(entries, entryFacts) > kMaxBytes)
    return UsageError("the package would be larger than 2 GiB");

  const fs::path packagePath = options.out / "package.zip";
  std::string error;
  if (!vovu::tools::WriteStoredZip(packagePath, entries, entryFacts, &error))
    return Failure(error);
  ZipEntryFacts package;
  if (!vovu::tools::MeasureFile(packagePath, &package))
    return Failure("cannot read " + packagePath.string());
  std::printf("%s", OfficialManifest(options, package).c_str());
  return 0;
}

// Package contents verification over real signed files: PE images signed by osslsigncode
// with certificates chained to the machine's root store, a payload as tar extracts it, and
// packages made by make-package.
#include "hotupdate/package_contents.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

#include "foundation/json.h"
#include "foundation/sha256.h"
#include "foundation/text.h"
#include "platform/environment.h"
#include "platform/files.h"
#include "support/host/code_signing.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

namespace fs = std::filesystem;
using testing::Signer;
using testing::TestMachine;

class PackageContents : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::CanSignPeFiles())
      GTEST_SKIP() << "osslsigncode is not installed";
    ASSERT_TRUE(files_.ok);
    testing::TrustSigningRoot();
    platform::SetModulePathForTesting(install_ + u"\\vovudidavuda.exe");
    ASSERT_TRUE(platform::CreateDirectoryAt(install_));
    ASSERT_TRUE(platform::CreateDirectoryAt(payload_));
    Place(files_.korvaCf, install_ + u"\\korvaCF.exe");
    Place(files_.korvaCf, payload_ + u"\\korvaCF.exe");
    Place(files_.addon, payload_ + u"\\addon.node");
    TestMachine::WriteBytes(asar_, "the application's archive, not signed");
    Place(TestMachine::Native(asar_), payload_ + u"\\app.asar");
    job_.version = u"2.11.0";
    job_.dir = payload_;
    for (const char* name : {"korvaCF.exe", "addon.node", "app.asar"})
      entries_[name] = Describe(name);
  }

  static void Place(const fs::path& from, const std::u16string& to) {
    fs::copy_file(from, TestMachine::Native(to), fs::copy_options::overwrite_existing);
  }

  // The manifest element for the payload file `name` as it is now.
  std::string Describe(const std::string& name) const {
    const std::u16string path = JoinPath(payload_, Utf8ToWide(name));
    std::u16string sha;
    std::u16string error;
    EXPECT_TRUE(FileSha256Hex(path, &sha, &error));
    return "{\"name\": \"" + name + "\", \"sha256\": \"" + WideToUtf8(sha) +
           "\", \"size\": " + std::to_string(TestMachine::ReadBytes(path).size()) + "}";
  }

  // Writes manifest.json with `version` and the elements, then verifies: "OK" or the reason.
  std::u16string Verify(const std::string& version = "2.11.0") {
    std::string files;
    for (const auto& [name, element] : entries_)
      files += (files.empty() ? "" : ", ") + element;
    WriteManifest("{\"version\": \"" + version + "\", \"files\": [" + files + "]}");
    return VerifyNow();
  }

  std::u16string VerifyNow() {
    std::u16string failure;
    return VerifyPackageContents(job_, &failure) ? u"OK" : failure;
  }

  void WriteManifest(const std::string& text) {
    TestMachine::WriteBytes(payload_ + u"\\manifest.json", text);
  }

  const testing::SignedPeFiles& files_ = testing::SignedRelease();
  TestMachine machine_;
  const std::u16string install_ = machine_.Path(u"Korva");
  const std::u16string payload_ = machine_.Path(u"payload");
  const std::u16string asar_ = machine_.Path(u"app.asar");  // the release's app.asar
  HotUpdateJob job_;
  std::map<std::string, std::string> entries_;  // the manifest's elements, by name
};

TEST_F(PackageContents, ManifestRulesInOrderAndNamesIgnoringCase) {
  EXPECT_EQ(Verify(), u"OK");
  const std::u16string invalid = u"invalid or duplicate manifest file metadata";
  std::u16string digest;
  std::u16string error;
  ASSERT_TRUE(FileSha256Hex(payload_ + u"\\app.asar", &digest, &error));
  const std::string sha = WideToUtf8(digest);
  const std::string size = std::to_string(TestMachine::ReadBytes(payload_ + u"\\app.asar").size());
  const auto asar = [&](const std::string& name, const std::string& digest,
                        const std::string& sizeJson) {
    return "{\"name\": \"" + name + "\", \"sha256\": \"" + digest + "\", \"size\": " + sizeJson +
           "}";
  };
  struct Case {
    std::string element;  // replaces app.asar's element
    std::u16string outcome;
  };
  std::string upperSha = sha;
  for (char& c : upperSha)
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const Case cases[] = {
      {asar("APP.ASAR", upperSha, size), u"OK"},
      {asar("App.Asar", sha, size), u"OK"},
      {asar("resources\\\\app.asar", sha, size), invalid},
      {asar("resources/app.asar", sha, size), invalid},
      {asar("app.asar", sha, "\"" + size + "\""), invalid},
      {asar("app.asar", sha, "0"), invalid},
      {asar("app.asar", sha, size + ".5"), invalid},
      {asar("app.asar", sha, "2147483649"), invalid},
      {asar("app.asar", sha.substr(1), size), invalid},
      {asar("app.asar", sha.substr(1) + "g", size), invalid},
      {asar("readme.txt", sha, size), invalid},
      {"\"app.asar\"", invalid},
  };
  for (const Case& c : cases) {
    entries_["app.asar"] = c.element;
    EXPECT_EQ(Verify(), c.outcome) << c.element;
  }
  // Listed twice, and addon.node not at all.
  entries_["app.asar"] = asar("app.asar", sha, size);
  entries_["addon.node"] = asar("app.asar", sha, size);
  EXPECT_EQ(Verify(), invalid);
  entries_["addon.node"] = Describe("addon.node");

  // The version exactly; three elements exactly.
  EXPECT_EQ(Verify("2.11.0 "), u"manifest version mismatch");
  EXPECT_EQ(Verify("2.11.0-RC"), u"manifest version mismatch");
  job_.version = u"2.11.0-rc";
  EXPECT_EQ(Verify("2.11.0-RC"), u"manifest version mismatch");
  job_.version = u"2.11.0";
  entries_["zzz"] = Describe("app.asar");
  EXPECT_EQ(Verify(), u"manifest must describe exactly three files");
  entries_.erase("zzz");
  entries_.erase("app.asar");
  EXPECT_EQ(Verify(), u"manifest must describe exactly three files");
  WriteManifest("{\"version\": \"2.11.0\", \"files\": {}}");
  EXPECT_EQ(VerifyNow(), u"manifest must describe exactly three files");
  WriteManifest("[\"2.11.0\"]");
  EXPECT_EQ(VerifyNow(), u"manifest version mismatch");
  WriteManifest("{\"version\": \"2.11.0\", ");
  EXPECT_EQ(VerifyNow(), u"manifest parse failed");
}

TEST_F(PackageContents, ManifestIsBoundedBeforeItIsRead) {
  ASSERT_EQ(Verify(), u"OK");
  std::string text = TestMachine::ReadBytes(payload_ + u"\\manifest.json");
  text.resize(kMaxPackageManifestBytes, ' ');
  WriteManifest(text);
  EXPECT_EQ(VerifyNow(), u"OK");
  WriteManifest(text + " ");
  EXPECT_EQ(VerifyNow(), u"manifest missing or too large");
  ASSERT_TRUE(platform::DeleteFileAt(payload_ + u"\\manifest.json"));
  EXPECT_EQ(VerifyNow(), u"manifest missing or too large");
  ASSERT_TRUE(platform::CreateDirectoryAt(payload_ + u"\\manifest.json"));
  EXPECT_EQ(VerifyNow(), u"manifest missing or too large");
}

TEST_F(PackageContents, EachFileBySizeThenDigestThenSigner) {
  const auto replace = [&](const fs::path& from, const char16_t* name) {
    Place(from, payload_ + u"\\" + name);
  };
  // Described sizes and digests are those of the files placed in SetUp.
  replace(files_.unsignedKorvaCf, u"korvaCF.exe");  // the same image without its signature
  EXPECT_EQ(Verify(), u"file size mismatch: korvaCF.exe");
  entries_["korvaCF.exe"] = Describe("korvaCF.exe");
  EXPECT_EQ(Verify(), u"signature invalid: korvaCF.exe: signature invalid, rc=2148204800");
  replace(files_.korvaCf, u"korvaCF.exe");
  entries_["korvaCF.exe"] = Describe("korvaCF.exe");

  replace(files_.addonByOther, u"addon.node");
  entries_["addon.node"] = Describe("addon.node");
  EXPECT_EQ(Verify(), u"publisher mismatch (thumbprint): addon.node");
  replace(files_.addon, u"addon.node");
  entries_["addon.node"] = Describe("addon.node");
  ASSERT_EQ(Verify(), u"OK");

  // A file longer than described and with another digest: the size is reported.
  TestMachine::WriteBytes(payload_ + u"\\app.asar", "the application's archive, changed!!");
  EXPECT_EQ(Verify(), u"file size mismatch: app.asar");
  TestMachine::WriteBytes(payload_ + u"\\app.asar", "the application's archive, NOT signed");
  EXPECT_EQ(Verify(), u"file sha mismatch: app.asar");

  // Missing, a folder in its place, a link in its place.
  ASSERT_TRUE(platform::DeleteFileAt(payload_ + u"\\addon.node"));
  EXPECT_EQ(Verify(), u"missing in package: addon.node");
  ASSERT_TRUE(platform::CreateDirectoryAt(payload_ + u"\\addon.node"));
  EXPECT_EQ(Verify(), u"missing in package: addon.node");
  ASSERT_TRUE(platform::RemoveDirectoryAt(payload_ + u"\\addon.node"));
  replace(files_.addon, u"addon.node");
  fs::remove(TestMachine::Native(payload_ + u"\\app.asar"));
  fs::create_symlink(TestMachine::Native(asar_), TestMachine::Native(payload_ + u"\\app.asar"));
  EXPECT_EQ(Verify(), u"package entry is not a regular file: app.asar");
}

TEST_F(PackageContents, TheInstalledHelperNamesThePublisherAfterTheManifestChecks) {
  const std::u16string installed = install_ + u"\\korvaCF.exe";
  ASSERT_TRUE(platform::DeleteFileAt(installed));
  EXPECT_EQ(Verify("2.0.0"), u"manifest version mismatch");
  EXPECT_EQ(Verify(), u"installed korvaCF.exe not found: " + installed);
  ASSERT_TRUE(platform::CreateDirectoryAt(installed));
  EXPECT_EQ(Verify(), u"installed korvaCF.exe not found: " + installed);
  ASSERT_TRUE(platform::RemoveDirectoryAt(installed));
  Place(files_.unsignedKorvaCf, installed);
  EXPECT_EQ(Verify(), u"cannot read installed korvaCF signer: signature invalid, rc=2148204800");

  // Installed and packaged files signed by "other": the installed signer is the publisher.
  Place(files_.addonByOther, installed);
  EXPECT_EQ(Verify(), u"publisher mismatch (thumbprint): korvaCF.exe");
}

TEST_F(PackageContents, MakePackageMakesWhatTarListsAndVerificationAccepts) {
  const fs::path out = TestMachine::Native(machine_.Path(u"release"));
  const std::string command =
      std::string("'") + VOVU_MAKE_PACKAGE_PATH + "' --version 2.11.0 --url " +
      "https://updates.korvasync.example/p/package.zip --out '" + out.string() + "' '" +
      files_.korvaCf.string() + "' '" + files_.addon.string() + "' '" +
      (TestMachine::Native(asar_)).string() + "' --min-app-version 2.10.0 > '" +
      (out.parent_path() / "official.json").string() + "'";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;

  // The archive holds exactly the four names, flat.
  const std::string listing = (out.parent_path() / "listing").string();
  ASSERT_EQ(
      std::system(
          ("bsdtar -tf '" + (out / "package.zip").string() + "' > '" + listing + "'").c_str()),
      0);
  EXPECT_EQ(TestMachine::ReadBytes(machine_.Path(u"listing")),
            "manifest.json\nkorvaCF.exe\naddon.node\napp.asar\n");

  // Extracted into a fresh payload, it verifies.
  fs::remove_all(TestMachine::Native(payload_));
  fs::create_directories(TestMachine::Native(payload_));
  ASSERT_EQ(std::system(("bsdtar -xf '" + (out / "package.zip").string() + "' -C '" +
                         TestMachine::Native(payload_).string() + "'")
                            .c_str()),
            0);
  EXPECT_EQ(VerifyNow(), u"OK");

  // The official manifest's entry names this package, as the service will match it.
  JsonValue official;
  std::u16string error;
  ASSERT_TRUE(ParseJson(Utf8ToWide(TestMachine::ReadBytes(machine_.Path(u"official.json"))),
                        &official, &error))
      << WideToUtf8(error);
  const JsonValue* win32 = FindMember(official, u"win32");
  ASSERT_NE(win32, nullptr);
  std::u16string sha;
  ASSERT_TRUE(FileSha256Hex(machine_.Path(u"release\\package.zip"), &sha, &error));
  EXPECT_EQ(GetStringMember(*win32, u"version"), u"2.11.0");
  EXPECT_EQ(GetStringMember(*win32, u"packageUrl"),
            u"https://updates.korvasync.example/p/package.zip");
  EXPECT_EQ(GetStringMember(*win32, u"packageSha256"), sha);
  EXPECT_EQ(
      GetNumberMember(*win32, u"packageSize", -1),
      static_cast<double>(TestMachine::ReadBytes(machine_.Path(u"release\\package.zip")).size()));
  EXPECT_EQ(GetStringMember(*win32, u"minAppVersion"), u"2.10.0");
}

}  // namespace
}  // namespace vovu

#include "platform/host/image/root_store.h"

#include <openssl/err.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>
#include <vector>

#include "platform/host/core/machine_root.h"

namespace vovu::platform::host {
namespace {

bool IsCertificateFile(const std::filesystem::path& path) {
  std::string extension = path.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return extension == ".pem" || extension == ".crt";
}

// Adds every PEM certificate of one file to `store`.
void AddCertificatesOfFile(const std::filesystem::path& path, X509_STORE* store) {
  BioPtr bio(BIO_new_file(path.c_str(), "r"));
  if (!bio)
    return;
  while (X509Ptr certificate{PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)}) {
    // A certificate already present is not an error worth stopping for.
    X509_STORE_add_cert(store, certificate.get());
  }
  ERR_clear_error();  // the end of the file reads as an error
}

}  // namespace

std::string RootStorePath() {
  return MachineRoot() + "/" + kRootStoreDirectory;
}

X509StorePtr LoadRootStore() {
  X509StorePtr store(X509_STORE_new());
  if (!store)
    return store;
  std::error_code error;
  std::vector<std::filesystem::path> files;
  std::filesystem::directory_iterator it(RootStorePath(), error);
  for (; !error && it != std::filesystem::directory_iterator(); it.increment(error)) {
    std::error_code typeError;
    if (it->is_regular_file(typeError) && IsCertificateFile(it->path()))
      files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());  // a stable order, whatever the directory's
  for (const std::filesystem::path& file : files)
    AddCertificatesOfFile(file, store.get());
  return store;
}

}  // namespace vovu::platform::host

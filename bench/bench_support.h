// What the benchmarks share: a private network, files of pseudo-random bytes, timed child
// runs, and the update host serving a folder over HTTPS with a certificate of a CA made for
// the run. Host-only; the network and the update host need root.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

namespace vovu::bench {

// Enters a network namespace of its own with its loopback up. False (with a line on stderr)
// when it cannot.
bool EnterPrivateNetwork();

// Writes `mib` MiB of pseudo-random bytes to `path`, the same for the same `seed` in every
// run.
void MakeFile(const std::filesystem::path& path, std::size_t mib, unsigned seed = 12345);

// Runs `words` (the program looked up in PATH unless given with a slash) to its end, its
// standard output discarded: its exit status (128 when it did not exit), wall time and peak
// resident memory in KiB (of the process and the children it waited for).
int Run(const std::vector<std::string>& words, double* seconds, long* maxRssKiB);

// Makes in `top` a CA (ca.pem, ca.key) and a server certificate for `host` (server.pem,
// server.key); with `signer`, also a code-signing certificate (signer.pem, signer.key).
// False (with a line on stderr) when openssl fails.
bool MakeCertificates(const std::filesystem::path& top, const std::string& host, bool signer);

// Starts the update host `tool` serving `top`/www with `top`'s server certificate, and waits
// until `url` on it answers (curl trusting `top`/ca.pem). The server's pid, for kill.
pid_t StartUpdateHost(const char* tool, const std::filesystem::path& top, const std::string& host,
                      const std::string& url);

// Ends the update host started above.
void StopUpdateHost(pid_t server);

}  // namespace vovu::bench

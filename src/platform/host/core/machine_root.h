// The emulated Windows machine of the host target: where its root lies and how Windows
// paths map into it. Host-only; used by the host platform, the host tools and host tests.
//
// The root is named by the environment variable VOVU_MACHINE_ROOT (default
// /var/lib/vovudidavuda/machine). Drive X: is the directory drive_x below the root, except
// Z:, which is the host's own "/" (as under wine), so host files outside the machine can be
// named too. Components are matched ignoring ASCII case where a matching entry exists.
#pragma once

#include <cstdint>
#include <string>

namespace vovu::platform::host {

inline constexpr char kMachineRootVariable[] = "VOVU_MACHINE_ROOT";
inline constexpr char kDefaultMachineRoot[] = "/var/lib/vovudidavuda/machine";

// The datagram socket in the root where a debugger-output listener binds (see
// tools/debug_view); each datagram is one debug string in UTF-8.
inline constexpr char kDebugSocketName[] = "debug.sock";

// The machine root, without a trailing slash.
[[nodiscard]] std::string MachineRoot();

// Maps a Windows path to a host path. "." and ".." are resolved lexically, as Windows does
// for full paths. A path without a drive is relative to the process's current directory; a
// path starting with one separator is on drive C:. False (last error 123) for UNC and
// device paths, which the emulation does not have.
[[nodiscard]] bool ToHostPath(const std::u16string& windowsPath, std::string* hostPath);

// The Windows form of an absolute host path: inside the root as its drive, else on Z:.
[[nodiscard]] std::u16string ToWindowsPath(const std::string& hostPath);

// Maps an errno value of a failed file-system call on `hostPath` to the Win32 error the
// same failure gives on Windows (ENOENT is 2 when the parent exists, 3 when it does not).
[[nodiscard]] std::uint32_t Win32ErrorFromErrno(int err, const std::string& hostPath);

}  // namespace vovu::platform::host

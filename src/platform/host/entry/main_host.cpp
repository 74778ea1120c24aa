// The executable's entry point on the host: arguments arrive as UTF-8.
#include <signal.h>

#include <cstring>
#include <vector>

#include "platform/host/entry/kill_step_host.h"
#include "platform/program_entry.h"
#include "platform/text_codec.h"

int main(int argc, char** argv) {
  // A client that goes away must fail a write, not end the process.
  signal(SIGPIPE, SIG_IGN);
  vovu::platform::host::InstallKillAtStepFromEnvironment();
  std::vector<std::u16string> args;
  for (int i = 0; i < argc; ++i) {
    args.push_back(vovu::platform::MultiByteUtf8ToWide(argv[i], std::strlen(argv[i])));
  }
  return vovu::ProgramMain(args);
}

// pipe-send: sends one request to the running service over its pipe and prints the reply.
//
//   pipe-send [--check] [--] WORD [ARGUMENT...]
//
// The request is the word and each argument on a line of its own, exactly as the command
// line forwards it. Prints the reply on standard output. Exit code 0 when a reply came; with
// --check only when the reply is "OK", and 3 for any other reply ("ERROR ..."), so that a
// script can tell the two apart; 1 when there was no exchange; 2 for a usage error. The
// service strips leading dashes from a word itself, so a word such as --Frob is sent as it
// stands; only --help, --check and -- are read here. Unlike the service it writes to the
// console: it is a tool for people and scripts.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/text.h"
#include "service/command_line.h"
#include "service/pipe_client.h"
#include "tool_common.h"

namespace {

constexpr int kExitNotOk = 3;

constexpr char kUsage[] =
    "usage: pipe-send [--check] [--] WORD [ARGUMENT...]\n"
    "Sends one request to the running service and prints its reply. Exit code 0 when a\n"
    "reply came (with --check: only when it is OK, else 3); 1 when there was no exchange;\n"
    "2 for a usage error.\n";

}  // namespace

int main(int argc, char** argv) {
  bool check = false;
  int first = 1;
  for (; first < argc; ++first) {
    const std::string argument = argv[first];
    if (vovu::tools::IsHelpArgument(argument))
      return vovu::tools::ShowUsage(kUsage);
    if (argument == "--check") {
      check = true;
      continue;
    }
    if (argument == "--")
      ++first;
    break;
  }
  if (first >= argc)
    return vovu::tools::UsageError("pipe-send", "expected a WORD", kUsage);
  vovu::tools::NoteMachineRoot("pipe-send");

  std::vector<std::u16string> args;
  for (int i = first + 1; i < argc; ++i)
    args.push_back(vovu::Utf8ToWide(argv[i], std::strlen(argv[i])));
  const std::u16string request =
      vovu::BuildPipeRequest(vovu::Utf8ToWide(argv[first], std::strlen(argv[first])), args);
  std::u16string reply;
  if (!vovu::SendPipeRequest(request, &reply)) {
    std::fprintf(stderr, "pipe-send: no exchange with the service\n");
    return vovu::tools::kExitFailure;
  }
  std::printf("%s\n", vovu::WideToUtf8(reply).c_str());
  if (check && reply != u"OK")
    return kExitNotOk;
  return vovu::tools::kExitSuccess;
}

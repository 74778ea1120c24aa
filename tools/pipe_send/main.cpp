// pipe-send: sends one request to the running service over its pipe and prints the reply.
//
//   pipe-send WORD [ARGUMENT...]
//
// The request is the word and each argument on a line of its own, exactly as the command
// line forwards it. Prints the reply on standard output and exits 0 when one came, 1 when
// there was no exchange. Unlike the service it writes to the console: it is a tool for
// people and scripts.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "foundation/text.h"
#include "service/command_line.h"
#include "service/pipe_client.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: pipe-send WORD [ARGUMENT...]\n");
    return 2;
  }
  std::vector<std::u16string> args;
  for (int i = 2; i < argc; ++i) args.push_back(vovu::Utf8ToWide(argv[i], std::strlen(argv[i])));
  const std::u16string request =
      vovu::BuildPipeRequest(vovu::Utf8ToWide(argv[1], std::strlen(argv[1])), args);
  std::u16string reply;
  if (!vovu::SendPipeRequest(request, &reply)) {
    std::fprintf(stderr, "pipe-send: no exchange with the service\n");
    return 1;
  }
  std::printf("%s\n", vovu::WideToUtf8(reply).c_str());
  return 0;
}

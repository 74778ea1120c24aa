// Fuzzes a request as it comes off the command pipe: the message bytes (at most the 8190 the
// server reads) decoded to text, split into the command word and its arguments, and
// dispatched through the service's real whitelist for a caller whose identity could not be
// read (no SID, no session, no token: what any connection the service cannot identify gets).
// The process runs in a throwaway machine root, so no handler can reach a real machine; for
// such a caller none of them gets past its own checks anyway, which is one of the invariants.
//
// Invariants: decoding takes every pair of bytes and nothing else; the split gives one
// argument per line break and lines without breaks; the word the dispatcher sees is the
// first line without leading '/' and '-' and without ASCII capitals; a word outside the
// whitelist is answered "ERROR unknown command: <word>", a word of the whitelist never is;
// and the unidentified caller never gets "OK".
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "caller/request_context.h"
#include "service/dispatcher.h"
#include "service/pipe_message.h"
#include "service/pipe_server.h"
#include "support/fuzz_machine.h"

namespace {

using vovu::fuzzing::Broken;

constexpr const char16_t* kWhitelist[] = {
    u"unregister-com",
    u"ensure-cloudfiles-handlers",
    u"remove-cloudfiles-handlers",
    u"start-korvacf",
    u"cleanup",
    u"hot-update-prepare",
    u"hot-update-commit",
    u"hot-update-confirm",
    u"hot-update-cancel",
};

bool IsWhitelisted(const std::u16string& word) {
  for (const char16_t* entry : kWhitelist) {
    if (word == entry)
      return true;
  }
  return false;
}

// What the recording dispatcher saw of the last request.
struct Seen {
  std::u16string word;
  std::vector<std::u16string> args;
  bool called = false;
};
Seen gSeen;

bool Record(const std::u16string& word, const std::vector<std::u16string>& args,
            const vovu::RequestContext&, std::u16string* failure) {
  gSeen.word = word;
  gSeen.args = args;
  gSeen.called = true;
  *failure = u"recorded";
  return args.size() % 2 == 0;
}

void CheckSplit(const std::u16string& text) {
  const vovu::RequestContext nobody;
  gSeen = Seen();
  const std::u16string reply = vovu::ReplyForRequest(text, nobody, Record);
  if (!gSeen.called)
    Broken("a request was answered without being dispatched");
  if (reply != (gSeen.args.size() % 2 == 0 ? u"OK" : u"ERROR recorded"))
    Broken("the reply is not the dispatcher's answer");
  std::size_t breaks = 0;
  for (char16_t c : text)
    breaks += c == u'\n' ? 1 : 0;
  if (gSeen.args.size() != breaks)
    Broken("not one argument per line break");
  for (const std::u16string& arg : gSeen.args) {
    if (arg.find(u'\n') != std::u16string::npos)
      Broken("an argument holds a line break");
  }
  const std::u16string& word = gSeen.word;
  if (!word.empty() && (word[0] == u'/' || word[0] == u'-'))
    Broken("the word keeps a leading '/' or '-'");
  for (char16_t c : word) {
    if (c == u'\n' || (c >= u'A' && c <= u'Z'))
      Broken("the word holds a line break or an ASCII capital");
  }
}

void CheckDispatch(const std::u16string& text) {
  const vovu::RequestContext nobody;
  gSeen = Seen();
  (void)vovu::ReplyForRequest(text, nobody, Record);
  const std::u16string word = gSeen.word;
  const std::u16string reply = vovu::ReplyForRequest(text, nobody, vovu::ExecuteWhitelistedCommand);
  if (reply == u"OK")
    Broken("a caller without identity got OK");
  const bool answeredUnknown = reply == u"ERROR unknown command: " + word;
  if (answeredUnknown == IsWhitelisted(word))
    Broken(answeredUnknown ? "a whitelisted word answered as unknown"
                           : "a word outside the whitelist was dispatched");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  vovu::fuzzing::UseFreshMachine();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0 || size > vovu::kMaxRequestBytes)
    return 0;  // the server never reads such a request
  const auto count = static_cast<std::uint32_t>(size);
  const std::u16string text = vovu::PipeMessageText(data, count);
  if (text.size() != count / 2)
    Broken("decoded text is not one unit per byte pair");
  const std::vector<std::uint8_t> again = vovu::PipeMessageBytes(text);
  if (again.size() != count / 2 * 2 || !std::equal(again.begin(), again.end(), data))
    Broken("decoded text does not encode back to the bytes read");
  CheckSplit(text);
  CheckDispatch(text);
  return 0;
}

// How a request text becomes a command word, arguments and a reply.
#include <gtest/gtest.h>

#include <stdexcept>

#include "service/dispatcher.h"
#include "service/pipe_server.h"
#include "support/debug_capture.h"
#include "support/test_machine.h"

namespace vovu {
namespace {

struct Seen {
  std::u16string word;
  std::vector<std::u16string> args;
};
Seen seen;

bool Record(const std::u16string& word, const std::vector<std::u16string>& args,
            const RequestContext&, std::u16string* failure) {
  seen = {word, args};
  *failure = u"text that is never shown";
  return word == u"hot-update-confirm";
}

bool Throw(const std::u16string&, const std::vector<std::u16string>&, const RequestContext&,
           std::u16string*) {
  throw std::runtime_error("boom");
}

using Args = std::vector<std::u16string>;

TEST(RequestFraming, WordIsNormalisedArgumentsStayExactlyAsSent) {
  const RequestContext context;
  EXPECT_EQ(ReplyForRequest(u"--HOT-UPDATE-CONFIRM\r\nC:\\Users\\A\\Job.json\r\n", context, Record),
            u"OK");
  EXPECT_EQ(seen.word, u"hot-update-confirm");
  EXPECT_EQ(seen.args, Args({u"C:\\Users\\A\\Job.json", u""}));

  EXPECT_EQ(ReplyForRequest(u"/hot-update-confirm", context, Record), u"OK");
  EXPECT_EQ(seen.args, Args());

  EXPECT_EQ(ReplyForRequest(u"Other\n\n Two \nthree", context, Record),
            u"ERROR text that is never shown");
  EXPECT_EQ(seen.word, u"other");
  EXPECT_EQ(seen.args, Args({u"", u" Two ", u"three"}));

  // Unknown words are refused with the word.
  EXPECT_EQ(ReplyForRequest(u"frobnicate\narg", context, ExecuteWhitelistedCommand),
            u"ERROR unknown command: frobnicate");
  EXPECT_EQ(ReplyForRequest(u"", context, ExecuteWhitelistedCommand), u"ERROR unknown command: ");
  // A trailing blank makes a different word.
  EXPECT_EQ(ReplyForRequest(u"cleanup \n", context, ExecuteWhitelistedCommand),
            u"ERROR unknown command: cleanup ");
  EXPECT_EQ(ReplyForRequest(u"-/-\n", context, ExecuteWhitelistedCommand),
            u"ERROR unknown command: ");
}

TEST(RequestFraming, AThrowingCommandBecomesInternalServiceError) {
  testing::TestMachine machine;
  testing::DebugCapture debug;
  EXPECT_EQ(ReplyForRequest(u"Explode\nx", RequestContext(), Throw),
            u"ERROR internal service error");
  if (testing::DebugCapture::Supported()) {
    ASSERT_TRUE(debug.Available());
    EXPECT_EQ(debug.Lines(),
              std::vector<std::string>({"[VovudIdavUda] pipe command threw: explode\n"}));
  }
}

}  // namespace
}  // namespace vovu

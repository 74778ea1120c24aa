// Whose connection is served next: each user's share of the serving threads and its bound
// of held connections, in the order the connections came.
#include "service/pipe_turns.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vovu {
namespace {

// One step of a scenario: a connection arrives ('+', with whether it is admitted), one is
// taken ('>', with the id expected, 0 for none), or a served one of a user ends ('-').
struct Step {
  char op;
  std::u16string user;
  std::uint64_t id;
  bool admitted = true;
};

TEST(PipeTurns, EachUserGetsItsShareAndItsBoundInArrivalOrder) {
  const std::u16string a = u"S-1-5-21-1-1-1-1001";
  const std::u16string b = u"S-1-5-21-1-1-1-1002";
  struct Scenario {
    const char* name;
    PipeTurnLimits limits;
    std::vector<Step> steps;
  };
  const std::vector<Scenario> scenarios = {
      {"arrival order among users with room",
       {2, 8},
       {{'+', a, 1}, {'+', b, 2}, {'+', a, 3}, {'>', u"", 1}, {'>', u"", 2}, {'>', u"", 3}}},
      {"a user at its share waits while another goes ahead of it",
       {2, 8},
       {{'+', a, 1},
        {'+', a, 2},
        {'+', a, 3},
        {'+', b, 4},
        {'>', u"", 1},
        {'>', u"", 2},
        {'>', u"", 4},
        {'>', u"", 0},
        {'-', a, 0},
        {'>', u"", 3}}},
      {"the bound counts served and waiting connections, and frees with each end",
       {1, 2},
       {{'+', a, 1},
        {'+', a, 2},
        {'+', a, 3, false},
        {'+', b, 4},
        {'>', u"", 1},
        {'+', a, 5, false},
        {'-', a, 0},
        {'+', a, 6},
        {'>', u"", 2},
        {'>', u"", 4},
        {'>', u"", 0}}},
      {"users who cannot be told apart share one bound",
       {1, 1},
       {{'+', u"", 1}, {'+', u"", 2, false}, {'+', a, 3}, {'>', u"", 1}, {'>', u"", 3}}},
      {"an end without a served connection changes nothing",
       {1, 1},
       {{'-', a, 0}, {'+', a, 1}, {'-', a, 0}, {'+', a, 2, false}, {'>', u"", 1}}},
  };
  for (const Scenario& scenario : scenarios) {
    SCOPED_TRACE(scenario.name);
    PipeTurns turns(scenario.limits);
    for (std::size_t i = 0; i < scenario.steps.size(); ++i) {
      const Step& step = scenario.steps[i];
      SCOPED_TRACE(i);
      if (step.op == '+') {
        EXPECT_EQ(turns.Admit(step.user, step.id), step.admitted);
      } else if (step.op == '-') {
        turns.Finish(step.user);
      } else {
        std::uint64_t id = 0;
        std::u16string user;
        EXPECT_EQ(turns.Take(&id, &user), step.id != 0);
        EXPECT_EQ(id, step.id);
      }
    }
  }
}

}  // namespace
}  // namespace vovu

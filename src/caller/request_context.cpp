#include "caller/request_context.h"

#include "platform/impersonation.h"

namespace vovu {
namespace {

void FillFromToken(platform::TokenHandle token, RequestContext* context) {
  std::u16string sid;
  if (vovu::GetTokenUserSid(token, &sid))
    context->userSid = sid;
  std::uint32_t session = platform::kNoSession;
  if (vovu::GetTokenSessionId(token, &session))
    context->sessionId = session;
  context->token = std::move(token);
  context->hasToken = true;
}

}  // namespace

void RequestContext::Release() {
  token.reset();
  userSid.clear();
}

RequestContext BuildPipeCallerContext(const platform::PipeHandle& pipe) {
  RequestContext context;
  platform::TokenHandle token;
  {
    const platform::ImpersonationScope scope(pipe);
    if (!scope.active())
      return context;
    token = platform::OpenCurrentThreadToken();
  }
  if (token.valid())
    FillFromToken(std::move(token), &context);
  return context;
}

RequestContext BuildLocalContext() {
  RequestContext context;
  context.isLocal = true;
  platform::TokenHandle token = platform::OpenCurrentProcessToken();
  if (token.valid())
    FillFromToken(std::move(token), &context);
  return context;
}

bool GetTokenUserSid(const platform::TokenHandle& token, std::u16string* sid) {
  return platform::GetTokenUserSidString(token, sid);
}

bool GetTokenSessionId(const platform::TokenHandle& token, std::uint32_t* session) {
  return platform::GetTokenSessionId(token, session);
}

bool IsAdminCaller(const RequestContext& context) {
  if (context.userSid == platform::kLocalSystemSid)
    return true;
  if (!context.hasToken)
    return false;
  bool member = false;
  if (!platform::CheckAdministratorsMembership(context.token, &member))
    return false;
  return member;
}

}  // namespace vovu

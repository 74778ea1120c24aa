// Untrusted rights on Windows: the owner and the allow entries of the DACL.
#include <cwchar>
#include <vector>

#include "platform/object_rights.h"
#include "platform/win32/windows_api.h"
// After <windows.h>.
#include <sddl.h>

namespace vovu::platform {
namespace {

constexpr char16_t kTrustedInstaller[] =
    u"S-1-5-80-956008885-3426868-1784454542-1984327617-4253416960";

std::u16string SidText(PSID sid) {
  LPWSTR text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text))
    return u"?";
  std::u16string result = win32::FromW(text, std::wcslen(text));
  ::LocalFree(text);
  return result;
}

// The process's own user, trusted only under wine (see the header).
std::u16string WineUserSid() {
  HANDLE token = nullptr;
  if (!win32::RunsUnderWine() || !::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token))
    return {};
  DWORD needed = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &needed);
  std::vector<BYTE> buffer(needed == 0 ? 1 : needed);
  std::u16string sid;
  if (::GetTokenInformation(token, TokenUser, buffer.data(), needed, &needed))
    sid = SidText(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
  ::CloseHandle(token);
  // The groups every user is in are never the wine user.
  for (const char16_t* open : {u"S-1-1-0", u"S-1-5-32-545", u"S-1-5-11", u"S-1-5-4"}) {
    if (sid == open)
      return {};
  }
  return sid;
}

bool Trusted(const std::u16string& sid, const std::u16string& wineUser) {
  return sid == u"S-1-5-18" || sid == u"S-1-5-32-544" || sid == kTrustedInstaller ||
         sid == u"S-1-3-0" || sid == u"S-1-3-1" || (!wineUser.empty() && sid == wineUser);
}

void Note(std::u16string* slot, const std::u16string& sid) {
  if (slot->empty())
    *slot = sid;
}

}  // namespace

bool ReadUntrustedRights(const std::u16string& path, UntrustedRights* rights) {
  *rights = UntrustedRights();
  const SECURITY_INFORMATION wanted = OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
  DWORD needed = 0;
  ::GetFileSecurityW(win32::W(path), wanted, nullptr, 0, &needed);
  if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER)
    return false;
  std::vector<BYTE> buffer(needed);
  if (!::GetFileSecurityW(win32::W(path), wanted, buffer.data(), needed, &needed))
    return false;
  const std::u16string wineUser = WineUserSid();

  PSID owner = nullptr;
  BOOL defaulted = FALSE;
  if (!::GetSecurityDescriptorOwner(buffer.data(), &owner, &defaulted))
    return false;
  const std::u16string ownerSid = owner != nullptr ? SidText(owner) : u"(none)";
  if (!Trusted(ownerSid, wineUser))
    rights->owner = ownerSid;

  BOOL present = FALSE;
  PACL dacl = nullptr;
  if (!::GetSecurityDescriptorDacl(buffer.data(), &present, &dacl, &defaulted))
    return false;
  if (!present || dacl == nullptr) {
    // No DACL: everybody may do everything.
    const std::u16string everyone = u"S-1-1-0";
    *rights = UntrustedRights{rights->owner, everyone, everyone, everyone, everyone, everyone};
    return true;
  }
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    ACE_HEADER* header = nullptr;
    if (!::GetAce(dacl, i, reinterpret_cast<void**>(&header)))
      return false;
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0)
      continue;
    ACCESS_MASK mask = 0;
    PSID sid = nullptr;
    switch (header->AceType) {
      case ACCESS_ALLOWED_ACE_TYPE:
      case ACCESS_ALLOWED_CALLBACK_ACE_TYPE: {
        auto* ace = reinterpret_cast<ACCESS_ALLOWED_ACE*>(header);
        mask = ace->Mask;
        sid = &ace->SidStart;
        break;
      }
      case ACCESS_ALLOWED_OBJECT_ACE_TYPE:
      case ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE: {
        auto* ace = reinterpret_cast<ACCESS_ALLOWED_OBJECT_ACE*>(header);
        mask = ace->Mask;
        // The SID follows the GUIDs that are present.
        BYTE* at = reinterpret_cast<BYTE*>(&ace->ObjectType);
        if (ace->Flags & ACE_OBJECT_TYPE_PRESENT)
          at += sizeof(GUID);
        if (ace->Flags & ACE_INHERITED_OBJECT_TYPE_PRESENT)
          at += sizeof(GUID);
        sid = reinterpret_cast<PSID>(at);
        break;
      }
      default:
        continue;  // deny and audit entries grant nothing
    }
    const std::u16string who = SidText(sid);
    if (Trusted(who, wineUser))
      continue;
    if (mask & (FILE_WRITE_DATA | GENERIC_WRITE | GENERIC_ALL))
      Note(&rights->writeData, who);
    if (mask & (FILE_APPEND_DATA | GENERIC_WRITE | GENERIC_ALL))
      Note(&rights->appendData, who);
    if (mask & (DELETE | GENERIC_ALL))
      Note(&rights->deleteSelf, who);
    if (mask & (FILE_DELETE_CHILD | GENERIC_ALL))
      Note(&rights->deleteChild, who);
    if (mask & (WRITE_DAC | WRITE_OWNER | GENERIC_ALL))
      Note(&rights->changeSecurity, who);
  }
  return true;
}

}  // namespace vovu::platform

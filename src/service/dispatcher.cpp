#include "service/dispatcher.h"

#include <span>

#include "service/helper_commands.h"
#include "service/hot_update_commands.h"
#include "service/shell_commands.h"

namespace vovu {
namespace {

using CommandHandler = bool (*)(const std::vector<std::u16string>& args,
                                const RequestContext& context, std::u16string* failure);

struct WhitelistEntry {
  const char16_t* word;
  CommandHandler run;
};

// The whitelist, in the order words are tested.
constexpr WhitelistEntry kWhitelistEntries[] = {
    {u"unregister-com", RunUnregisterCom},
    {u"ensure-cloudfiles-handlers", RunEnsureCloudFilesHandlers},
    {u"remove-cloudfiles-handlers", RunRemoveCloudFilesHandlers},
    {u"start-korvacf", RunStartKorvaCf},
    {u"cleanup", RunCleanup},
    {u"hot-update-prepare", RunHotUpdatePrepare},
    {u"hot-update-commit", RunHotUpdateCommit},
    {u"hot-update-confirm", RunHotUpdateConfirm},
    {u"hot-update-cancel", RunHotUpdateCancel},
};
constexpr std::span<const WhitelistEntry> kWhitelist{kWhitelistEntries};

}  // namespace

bool ExecuteWhitelistedCommand(const std::u16string& word, const std::vector<std::u16string>& args,
                               const RequestContext& context, std::u16string* failure) {
  for (const WhitelistEntry& entry : kWhitelist) {
    if (word == entry.word)
      return entry.run(args, context, failure);
  }
  *failure = u"unknown command: " + word;
  return false;
}

std::vector<std::u16string> WhitelistedCommandWords() {
  std::vector<std::u16string> words;
  for (const WhitelistEntry& entry : kWhitelist)
    words.emplace_back(entry.word);
  return words;
}

}  // namespace vovu

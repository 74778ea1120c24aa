// The new files of a commit written beside the installed ones before the application is
// asked to stop, so that its downtime is two renames per file and not a copy of the package.
//
// Each staged file of the job's payload is copied to "<installed file>.new" in the
// installation directory by the service itself, created new (never through a name that
// already exists, a link included), with the installation directory's own default rights:
// the protected directory's rights never travel with it, as a rename out of the payload
// directory would carry them. The copy is then read back and must have the size and the
// SHA-256 that the package's manifest gives the file. Only the service may add, rename or
// delete entries in the installation directory (service/installation_folder.h checks that
// at every start and the hot update is refused while it does not hold), so nobody else can
// swap a checked copy before its rename.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "state/hot_update_job.h"

namespace vovu {

struct Replacement {
  const char16_t* installed;  // relative to the installation directory
  const char16_t* staged;     // in the payload directory
};

// The order commit copies and replaces in.
inline constexpr std::array<Replacement, 3> kReplacements = {{
    {u"korvaCF.exe", u"korvaCF.exe"},
    {u"resources\\app.asar.unpacked\\Release\\addon.node", u"addon.node"},
    {u"resources\\app.asar", u"app.asar"},
}};

// The start of the refusal when the installation volume cannot hold the copies.
inline constexpr char16_t kNotEnoughDiskSpace[] =
    u"not enough disk space on the installation volume: ";

// Removes the ".new" copy of every replaceable file (see DiscardNewCopy). True when none is
// left; else false with the first failure.
[[nodiscard]] bool DiscardNewCopies(std::u16string* reason);

// Whether the installation volume can hold the three copies of `job`'s payload (the sum of
// the staged files' sizes). False with kNotEnoughDiskSpace + "<n> bytes needed, <m>
// available", or "cannot read the free space of the installation volume: <error text>", or
// "cannot read file metadata: <staged file>".
[[nodiscard]] bool EnoughSpaceForNewCopies(const HotUpdateJob& job, std::u16string* reason);

// Copies each staged file to its ".new" beside the installed file, in kReplacements order,
// and checks each copy against the manifest's size and SHA-256 (HotUpdateStep::kNewCopyPlaced
// after each, with its row). Earlier ".new" copies must have been discarded. False with
// "copy failed (<.new path>): <error text>" or "copy does not match the package (<.new
// path>)" or a manifest failure; the copies made so far stay for the caller to discard. A
// service stop ends the copy under way (error 995), so a stop never waits for a whole package.
[[nodiscard]] bool PlaceNewCopies(const HotUpdateJob& job, std::u16string* reason);

}  // namespace vovu

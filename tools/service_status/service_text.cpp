#include "service_text.h"

#include <utility>

namespace vovu::tools {
namespace {

template <std::size_t N>
std::string Lookup(const std::pair<std::uint32_t, const char*> (&table)[N], std::uint32_t value) {
  for (const auto& [number, name] : table) {
    if (number == value)
      return name;
  }
  return "UNKNOWN";
}

}  // namespace

std::string ServiceStateName(std::uint32_t state) {
  static const std::pair<std::uint32_t, const char*> kNames[] = {
      {1, "STOPPED"},          {2, "START_PENDING"}, {3, "STOP_PENDING"}, {4, "RUNNING"},
      {5, "CONTINUE_PENDING"}, {6, "PAUSE_PENDING"}, {7, "PAUSED"}};
  return Lookup(kNames, state);
}

std::string ServiceTypeName(std::uint32_t type) {
  static const std::pair<std::uint32_t, const char*> kFlags[] = {
      {0x1, "SERVICE_KERNEL_DRIVER"},
      {0x2, "SERVICE_FILE_SYSTEM_DRIVER"},
      {0x10, "SERVICE_WIN32_OWN_PROCESS"},
      {0x20, "SERVICE_WIN32_SHARE_PROCESS"},
      {0x100, "SERVICE_INTERACTIVE_PROCESS"}};
  std::string text;
  std::uint32_t rest = type;
  for (const auto& [flag, name] : kFlags) {
    if ((type & flag) == 0)
      continue;
    text += (text.empty() ? "" : " | ") + std::string(name);
    rest &= ~flag;
  }
  if (rest != 0 || text.empty())
    text += (text.empty() ? "" : " | ") + std::string("UNKNOWN");
  return text;
}

std::string StartTypeName(std::uint32_t startType) {
  static const std::pair<std::uint32_t, const char*> kNames[] = {{0, "BOOT_START"},
                                                                 {1, "SYSTEM_START"},
                                                                 {2, "AUTO_START"},
                                                                 {3, "DEMAND_START"},
                                                                 {4, "DISABLED"}};
  return Lookup(kNames, startType);
}

std::string ErrorControlName(std::uint32_t errorControl) {
  static const std::pair<std::uint32_t, const char*> kNames[] = {
      {0, "IGNORE"}, {1, "NORMAL"}, {2, "SEVERE"}, {3, "CRITICAL"}};
  return Lookup(kNames, errorControl);
}

std::string ControlsAcceptedText(std::uint32_t controlsAccepted) {
  std::string text = (controlsAccepted & 0x1) != 0 ? "STOPPABLE" : "NOT_STOPPABLE";
  if ((controlsAccepted & 0x4) != 0)
    text += ", ACCEPTS_SHUTDOWN";
  if ((controlsAccepted & 0x80) != 0)
    text += ", ACCEPTS_SESSIONCHANGE";
  return "(" + text + ")";
}

std::string FailureActionName(std::uint32_t type) {
  static const std::pair<std::uint32_t, const char*> kNames[] = {
      {0, "NONE"}, {1, "RESTART"}, {2, "REBOOT"}, {3, "RUN_COMMAND"}};
  return Lookup(kNames, type);
}

}  // namespace vovu::tools

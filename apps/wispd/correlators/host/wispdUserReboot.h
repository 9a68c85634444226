// Reboot, power-off and account-lock reports of the user-level correlator:
// each posts its flare and leaves a record in host state.
#pragma once

#include <string>

#include "pellibs/wisp.h"

// The reboot and power-off reports: flare, then the reboot-reason record.
void UserReboot_Handle(const Wisp *wisp);
// An account lock: flare, then the platform audit log.
void UserReboot_AccountLocked(const Wisp *wisp);

// The reason after the first colon with leading blanks skipped; false when
// the text holds no colon.
bool UserReboot_ReasonText(const char *text, std::string *reason);

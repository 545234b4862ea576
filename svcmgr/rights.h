// Who may do what with the manager and its services.
//
// Anyone may connect to the manager and query services (status,
// configuration, dependents, interrogate). Everything else on a service
// (start, stop, pause, its own control codes, changing or deleting it) is for
// root, the account the service runs as and the members of the
// administrators' group (platform/accounts.h: "vigilo", or $VIGILO_GROUP);
// everything else on the manager (creating services, locking) is for root.
// Generic rights are mapped first.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace svcmgr {

uint32_t MapServiceAccess(uint32_t access);
uint32_t MapManagerAccess(uint32_t access);

// The uid of account `user`; empty names root. nullopt for an unknown account.
std::optional<uid_t> AccountUid(const std::string& user);

// True when a caller with uid `peer` may hold `access` on a service that runs
// as `serviceUser`. Group membership is looked up at each call: a member
// added while the manager runs has the rights at once.
bool MayOpenService(uid_t peer, const std::string& serviceUser, uint32_t access);

bool MayOpenManager(uid_t peer, uint32_t access);

// The service right a control code needs; 0 for a code no client may send
// (shutdown, which only the manager sends, and codes outside 1-4 and 128-255).
uint32_t RightForControl(uint32_t control);

}  // namespace svcmgr

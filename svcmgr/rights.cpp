#include "svcmgr/rights.h"

#include "platform/accounts.h"
#include "platform/scm.h"

namespace svcmgr {
namespace {

using namespace platform;

constexpr uint32_t kReadControl = 0x20000;
constexpr uint32_t kStandardWrite = kReadControl;
constexpr uint32_t kStandardExecute = kReadControl;
constexpr uint32_t kGenericMask = kGenericRead | kGenericWrite | kGenericExecute | kGenericAll;

constexpr uint32_t kServicePublic = kServiceQueryConfig | kServiceQueryStatus |
                                    kServiceEnumerateDependents | kServiceInterrogate |
                                    kReadControl;
constexpr uint32_t kManagerPublic =
    kScManagerConnect | kScManagerEnumerateService | kScManagerQueryLockStatus | kReadControl;

}  // namespace

uint32_t MapServiceAccess(uint32_t access) {
  uint32_t mapped = access & ~kGenericMask;
  if (access & kGenericRead) mapped |= kServicePublic;
  if (access & kGenericWrite) mapped |= kStandardWrite | kServiceChangeConfig;
  if (access & kGenericExecute) {
    mapped |= kStandardExecute | kServiceStart | kServiceStop | kServicePauseContinue |
              kServiceUserDefinedControl;
  }
  if (access & kGenericAll) mapped |= kServiceAllAccess;
  return mapped;
}

uint32_t MapManagerAccess(uint32_t access) {
  uint32_t mapped = access & ~kGenericMask;
  if (access & kGenericRead) mapped |= kManagerPublic;
  if (access & kGenericWrite)
    mapped |= kStandardWrite | kScManagerCreateService | kScManagerModifyBootConfig;
  if (access & kGenericExecute) mapped |= kStandardExecute | kScManagerConnect | kScManagerLock;
  if (access & kGenericAll) mapped |= kScManagerAllAccess;
  return mapped;
}

std::optional<uid_t> AccountUid(const std::string& user) {
  if (user.empty()) return 0;
  std::optional<Account> account = LookUpAccount(user);
  if (!account) return std::nullopt;
  return account->uid;
}

bool MayOpenService(uid_t peer, const std::string& serviceUser, uint32_t access) {
  uint32_t mapped = MapServiceAccess(access);
  if ((mapped & ~kServicePublic) == 0 || peer == 0) return true;
  std::optional<uid_t> owner = AccountUid(serviceUser);
  if (owner && *owner == peer) return true;
  // The administrators' group holds what the service's own account holds.
  return IsAdminGroupMember(peer);
}

bool MayOpenManager(uid_t peer, uint32_t access) {
  return peer == 0 || (MapManagerAccess(access) & ~kManagerPublic) == 0;
}

uint32_t RightForControl(uint32_t control) {
  switch (control) {
    case kServiceControlStop:
      return kServiceStop;
    case kServiceControlPause:
    case kServiceControlContinue:
      return kServicePauseContinue;
    case kServiceControlInterrogate:
      return kServiceInterrogate;
    default:
      if (control >= kServiceControlUserFirst && control <= kServiceControlUserLast) {
        return kServiceUserDefinedControl;
      }
      return 0;
  }
}

}  // namespace svcmgr

#include "frontend/rights.h"

#include "platform/port.h"

int check_administrator_rights(bool* administrator, FailureInfo* failure) {
  *administrator = false;
  port::SID_IDENTIFIER_AUTHORITY nt_authority = port::SECURITY_NT_AUTHORITY;
  port::PSID administrators = nullptr;
  if (!port::AllocateAndInitializeSid(&nt_authority, 2, port::SECURITY_BUILTIN_DOMAIN_RID,
                                      port::DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &administrators)) {
    failure->context = "AllocateAndInitializeSid";
    failure->code = port::GetLastError();
    return 1;
  }
  // No token given: the process's own, as the thread impersonates no one.
  port::BOOL member = port::FALSE;
  int status = 0;
  if (!port::CheckTokenMembership(nullptr, administrators, &member)) {
    failure->context = "CheckTokenMembership";
    failure->code = port::GetLastError();
    status = 1;
  }
  port::FreeSid(administrators);
  *administrator = status == 0 && member != port::FALSE;
  return status;
}

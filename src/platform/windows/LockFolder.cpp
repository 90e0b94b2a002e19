#include "platform/windows/LockFolder.h"

#include "platform/windows/WinStructures.h"
// clang-format off
#include <aclapi.h>
#include <sddl.h>
// clang-format on

#include <memory>
#include <vector>

namespace qvfw::platform::windows_os {
namespace {

struct LocalFreer {
  void operator()(void* p) const { ::LocalFree(p); }
};

// Whether this process runs with the administrators' rights (an elevated token).
bool Elevated() {
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD size = sizeof sid;
  BOOL member = FALSE;
  return ::CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &size) &&
         ::CheckTokenMembership(nullptr, sid, &member) && member;
}

// The user this process runs as.
std::vector<BYTE> ProcessUser() {
  HANDLE token = nullptr;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  UniqueHandle held(token);
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<BYTE> buffer(size);
  if (size == 0 || !::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return {};
  const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
  const auto* sid = static_cast<const BYTE*>(user->User.Sid);
  return std::vector<BYTE>(sid, sid + ::GetLengthSid(user->User.Sid));
}

// Whether `folder` is owned by the system, the administrators or this process's user.
bool OwnedByAdministrators(const std::filesystem::path& folder, std::string* why) {
  PSID owner = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD status = ::GetNamedSecurityInfoW(folder.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                               nullptr, nullptr, nullptr, &descriptor);
  if (status != ERROR_SUCCESS) {
    *why = folder.string() + ": its owner cannot be read: " + OsErrorText(status);
    return false;
  }
  std::unique_ptr<void, LocalFreer> release(descriptor);
  if (::IsWellKnownSid(owner, WinLocalSystemSid) || ::IsWellKnownSid(owner, WinBuiltinAdministratorsSid)) return true;
  std::vector<BYTE> me = ProcessUser();
  if (!me.empty() && ::EqualSid(owner, me.data())) return true;
  *why = folder.string() + " belongs to another user: the device locks there are not trusted";
  return false;
}

}  // namespace

std::filesystem::path AdministratorsLockFolder(std::string* why) {
  std::string unused;
  if (!why) why = &unused;
  wchar_t base[MAX_PATH] = {};
  const DWORD n = ::GetEnvironmentVariableW(L"ProgramData", base, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) {
    *why = "%ProgramData% is not set";
    return {};
  }
  // One level below %ProgramData% (which the system owns), so that no folder on the way can be
  // another user's.
  const std::filesystem::path folder = std::filesystem::path(base) / L"qvfw";
  if (!Elevated()) {
    // Without administrator rights no bridge can be opened anyway; making the folder now would
    // leave it to this user, and the administrators could not trust it afterwards.
    if (::GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES) {
      *why = folder.string() + " is made by the first run with administrator rights";
      return {};
    }
    return OwnedByAdministrators(folder, why) ? folder : std::filesystem::path();
  }
  // The system and the administrators may do anything there, nobody else anything at all; what
  // is made inside inherits it.
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
                                                               SDDL_REVISION_1, &descriptor, nullptr)) {
    *why = "the access list of " + folder.string() + " cannot be made: " + OsErrorText(::GetLastError());
    return {};
  }
  std::unique_ptr<void, LocalFreer> release(descriptor);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  if (!::CreateDirectoryW(folder.c_str(), &attributes) && ::GetLastError() != ERROR_ALREADY_EXISTS) {
    *why = "cannot make " + folder.string() + ": " + OsErrorText(::GetLastError());
    return {};
  }
  const DWORD attributesOf = ::GetFileAttributesW(folder.c_str());
  if (attributesOf == INVALID_FILE_ATTRIBUTES || !(attributesOf & FILE_ATTRIBUTE_DIRECTORY) ||
      (attributesOf & FILE_ATTRIBUTE_REPARSE_POINT)) {
    *why = folder.string() + " is not a folder of its own";
    return {};
  }
  return OwnedByAdministrators(folder, why) ? folder : std::filesystem::path();
}

}  // namespace qvfw::platform::windows_os

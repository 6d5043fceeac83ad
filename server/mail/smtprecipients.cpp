// qmsTSMTPSession: sorting recipients into local users and remote domains, following the
// users' "ForwardTo" settings.
#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "server/core/group.h"
#include "server/core/service.h"
#include "server/mail/smtpsession.h"
#include "server/users/user.h"
#include "server/users/userdatabase.h"
#include "toolbox/platform.h"
#include "toolbox/qmstools.h"
#include "toolbox/trace.h"

namespace {

std::vector<std::string> SplitAtSpaces(const std::string& text) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < text.size()) {
    size_t j = text.find(' ', i);
    if (j == std::string::npos) j = text.size();
    if (j > i) out.push_back(text.substr(i, j - i));
    i = j + 1;
  }
  return out;
}

bool ContainsNoCase(const std::vector<std::string>& list, const std::string& word) {
  return std::any_of(list.begin(), list.end(),
                     [&](const std::string& w) { return jvb::EqualNoCase(w, word); });
}

}  // namespace

int qmsTSMTPSession::AddRecipient(const std::string& address, ForwardTrail& trail) {
  jvbTraceArgs("qmsTSMTPSession.AddRecipient", jvbTraceValue::Str(address));
  size_t at = address.find('@');
  Ident = address.substr(0, at);
  Domain = at == std::string::npos ? std::string() : address.substr(at);
  if (at == std::string::npos || IsLocalDomain(Domain)) {
    if (AddLocal(std::string(), Ident, trail)) return rcLocal;
    if (AddLocal(std::string(), CatchAllIdent, trail)) return rcCatchAll;
    return rcNotFound;
  }
  if (ForwardAllowed()) {
    AddForward(false, Domain, Ident);
    return rcRemote;
  }
  if (IsForwardDomain(Domain)) {
    AddForward(true, Domain, Ident);
    return rcRemote;
  }
  return rcForwardNotAllowed;
}

bool qmsTSMTPSession::AddLocal(const std::string& from, const std::string& name,
                               ForwardTrail& trail, int depth) {
  jvbTraceArgs("qmsTSMTPSession.AddLocal", jvbTraceValue::Str(from), jvbTraceValue::Str(name));
  if (name.empty() || !Header || !Group() || !Group()->Users()) return false;
  if (depth > kForwardDepthMax) {
    Log("Mail forwarding stopped after " + std::to_string(kForwardDepthMax) + " steps at " +
        qmsQuoted(name));
    return false;
  }
  std::unique_ptr<qmsTUser> user;
  if (!Group()->Users()->FindUser(name, user)) return false;
  const std::string& service = Service()->Section();
  if (user->DenyService(service)) return true;
  const std::string username = user->GetUsername();
  trail.marks.emplace(jvb::AsciiLower(name), ForwardTrail::kInProgress);
  trail.marks.emplace(jvb::AsciiLower(username), ForwardTrail::kInProgress);
  const std::vector<std::string> targets = SplitAtSpaces(user->ForwardTo(service));
  if (targets.empty() || jvb::EqualNoCase(username, from)) {
    AddLocalIdent(username);
    return true;
  }
  bool taken = false, circular = false;
  for (const std::string& target : targets)
    if (ForwardTarget(*user, target, trail, depth, circular)) taken = true;
  if (!taken && circular) {
    // Every way on leads back to a user already on the way: the mail stays here.
    AddLocalIdent(username);
    return true;
  }
  return taken;
}

bool qmsTSMTPSession::ForwardTarget(qmsTUser& user, const std::string& target, ForwardTrail& trail,
                                    int depth, bool& circular) {
  const std::string username = user.GetUsername();
  size_t at = target.find('@');
  if (at == std::string::npos) {
    // Forwarding to oneself keeps a copy (the user's own name is the "from" of the step).
    if (jvb::EqualNoCase(target, username)) {
      if (!AddLocal(username, target, trail, depth + 1)) return false;
      trail.followed.push_back(target);
      return true;
    }
    const std::string key = jvb::AsciiLower(target);
    auto it = trail.marks.find(key);
    if (it != trail.marks.end()) {
      if (it->second == ForwardTrail::kTaken) return true;  // reached along another way
      if (it->second == ForwardTrail::kInProgress) {
        Log("Circular mail forwarding detected from " + qmsQuoted(username) + " to " +
            qmsQuoted(target));
        circular = true;
      }
      return false;
    }
    trail.marks[key] = ForwardTrail::kInProgress;
    bool ok = AddLocal(username, target, trail, depth + 1);
    trail.marks[key] = ok ? ForwardTrail::kTaken : ForwardTrail::kFailed;
    if (ok) trail.followed.push_back(target);
    return ok;
  }
  const std::string ident = target.substr(0, at), domain = target.substr(at);
  if (!qmsTQueueFile::ValidAddressPart(ident) || domain.size() < 2 ||
      !qmsTQueueFile::ValidAddressPart(domain) || domain.find('@', 1) != std::string::npos) {
    Log("Forward target " + qmsQuoted(target) + " of " + qmsQuoted(username) + " not allowed");
    return false;
  }
  AddForward(false, domain, ident);
  trail.followed.push_back(target);
  return true;
}

void qmsTSMTPSession::AddLocalIdent(const std::string& username) {
  std::vector<std::string> idents = Header->ReadList("LOCAL", "Idents");
  // One copy per user, however many ways lead there.
  if (ContainsNoCase(idents, username)) return;
  idents.push_back(username);
  Header->SetList("LOCAL", "Idents", idents);
}

void qmsTSMTPSession::AddForward(bool primaryOnly, const std::string& domain,
                                 const std::string& ident) {
  jvbTraceArgs("qmsTSMTPSession.AddForward", jvbTraceValue::Boolean(primaryOnly),
               jvbTraceValue::Str(domain), jvbTraceValue::Str(ident));
  if (!Header) return;
  std::string existing;
  if (Header->Read(domain, "Idents", existing)) {
    std::vector<std::string> idents = Header->ReadList(domain, "Idents");
    // Local parts are case-sensitive; the same one twice would be sent twice.
    if (std::find(idents.begin(), idents.end(), ident) == idents.end()) {
      idents.push_back(ident);
      Header->SetList(domain, "Idents", idents);
    }
  } else {
    std::vector<std::string> domains = Header->ReadList("HEADER", "Domains");
    if (!ContainsNoCase(domains, domain)) {
      domains.push_back(domain);
      Header->SetList("HEADER", "Domains", domains);
    }
    Header->SetList(domain, "Idents", {ident});
  }
  if (primaryOnly) Header->Set(domain, "PrimaryOnly", "1");
}

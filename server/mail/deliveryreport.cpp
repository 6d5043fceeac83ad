#include "server/mail/deliveryreport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "server/mail/deliveryheader.h"
#include "server/mail/queuefile.h"
#include "server/mail/smtpsession.h"
#include "toolbox/platform.h"
#include "toolbox/textconfig.h"

namespace {

bool Contains(const std::vector<std::string>& list, const std::string& word) {
  for (const auto& w : list)
    if (w == word) return true;
  return false;
}

// The reason of a numbered error entry: its text after the time stamp.
std::string Reason(const qmsTDeliveryHeader& header, const std::string& domain, const char* kind) {
  const int32_t count = header.ReadInteger(domain, std::string(kind) + "s", 0);
  std::string entry = header.ReadString(domain, std::string(kind) + "[" + std::to_string(count) + "]");
  const size_t blank = entry.find(' ');
  return blank == std::string::npos ? std::string() : entry.substr(blank + 1);
}

}  // namespace

qmsTDeliveryReport::Lists qmsTDeliveryReport::FailureLists(const qmsTDeliveryHeader& header) {
  Lists lists;
  const std::vector<std::string> success = header.ReadList("HEADER", "Success");
  for (const std::string& domain : header.ReadList("HEADER", "Domains")) {
    const std::vector<std::string> idents = header.ReadList(domain, "Idents");
    // A refusal of the whole transaction (MAIL, DATA ...) names every recipient of it.
    std::string domainError;
    header.Read("ERROR", domain, domainError);
    bool anyServed = false;
    for (const std::string& ident : idents) {
      const std::string address = ident + domain;
      if (Contains(success, address)) anyServed = true;
      std::string entry;
      if (header.Read("ERROR", address, entry) || !domainError.empty())
        lists.mailbox += "\t" + address + "\t" + (entry.empty() ? domainError : entry) + "\r\n";
    }
    if (anyServed) continue;
    if (header.ReadInteger(domain, "ConnectErrors", 0) > 0)
      lists.connect += "\t" + domain + "\t" + Reason(header, domain, "ConnectError") + "\r\n";
    else if (header.ReadInteger(domain, "LookupErrors", 0) > 0)
      lists.lookup += "\t" + domain + "\t" + Reason(header, domain, "LookupError") + "\r\n";
  }
  return lists;
}

qmsTDeliveryReport::Recipients qmsTDeliveryReport::ReportRecipients(
    const std::string& reversePath, const std::function<bool(const std::string&)>& isLocalDomain) {
  Recipients r;
  const size_t at = reversePath.find('@');
  const std::string ident = reversePath.substr(0, at);
  const std::string domain = at == std::string::npos ? std::string() : reversePath.substr(at);
  // A sender the queue could not record as a recipient gets no copy; the postmaster does.
  const bool valid = qmsTQueueFile::ValidAddressPart(ident) &&
                     (domain.empty() || (domain.size() > 1 && qmsTQueueFile::ValidAddressPart(domain)));
  if (valid && (domain.empty() || (isLocalDomain && isLocalDomain(domain)))) {
    r.local.push_back(ident);
  } else if (valid) {
    r.domain = domain;
    r.ident = ident;
  }
  if (r.local.empty() || !jvb::EqualNoCase(r.local.front(), "postmaster"))
    r.local.push_back("postmaster");
  return r;
}

std::string qmsTDeliveryReport::DateText(const jvb::DateTime& t) {
  char b[64];
  snprintf(b, sizeof b, "%s, %d %s %04d %02d:%02d:%02d", jvb::WeekdayShort(t.weekday), t.day,
           jvb::MonthShort(t.month), t.year, t.hour, t.minute, t.second);
  return b;
}

std::string qmsTDeliveryReport::ZoneText(int64_t epochMs) {
  const time_t t = static_cast<time_t>(epochMs / 1000);
  const jvb::DateTime local = jvb::ToLocal(t), gmt = jvb::ToGmt(t);
  auto secondsOf = [](const jvb::DateTime& d) {
    return static_cast<int64_t>(jvb::DayNumber(d)) * 86400 + d.hour * 3600 + d.minute * 60 +
           d.second;
  };
  const int64_t offset = secondsOf(local) - secondsOf(gmt);
  const int64_t minutes = std::llabs(offset) / 60;
  char b[16];
  snprintf(b, sizeof b, "%c%02d%02d", offset < 0 ? '-' : '+', static_cast<int>(minutes / 60 % 100),
           static_cast<int>(minutes % 60));
  return b;
}

std::string qmsTDeliveryReport::Build(qmsTSMTPSession& session, Kind kind,
                                      const qmsTDeliveryHeader& header,
                                      const std::string& messageName,
                                      const std::string& reversePath, int64_t nowMs) {
  jvbTIdentValueList& vars = session.Variables();
  jvbTTextConfig* messages = session.Messages();
  auto expand = [&](const char* section) {
    std::string text;
    if (!messages || !messages->ReadSectionText(section, text)) return std::string();
    return session.ReturnFIB(text);
  };

  const Lists lists = FailureLists(header);
  // Always set, so that no list of an earlier report shows through.
  vars.AddValue("smtp.lookupfailures", lists.lookup);
  vars.AddValue("smtp.connectfailures", lists.connect);
  vars.AddValue("smtp.mailboxfailures", lists.mailbox);
  std::string failures;
  if (!lists.lookup.empty()) failures += expand("DELIVERY.LOOKUP");
  if (!lists.connect.empty()) failures += expand("DELIVERY.CONNECT");
  if (!lists.mailbox.empty()) failures += expand("DELIVERY.MAILBOX");
  vars.AddValue("smtp.failures", failures);
  vars.AddValue("smtp.from", "\"QMS PostMaster\" <postmaster@" + session.LocalDomain + ">");
  int64_t seconds = nowMs / 1000;
  vars.AddValue("smtp.date", DateText(jvb::ToLocal(static_cast<time_t>(seconds))));
  vars.AddValue("smtp.timezone", ZoneText(nowMs));
  vars.AddValue("smtp.reversepath", reversePath);

  // The reported message stands in for the session's own while the report is expanded.
  std::vector<std::string> added;
  auto put = [&](const std::string& name, const std::string& value) {
    std::string previous;
    if (!vars.FindValue(name, previous)) added.push_back(name);
    vars.AddValue(name, value);
  };
  put("messagename", messageName + qmsTQueueFile::kBodySuffix);
  const std::string path = header.Path();
  put("messagepath", qmsTQueueFile::Stem(path) + qmsTQueueFile::kBodySuffix);
  for (const auto& [field, value] : header.Keys("MESSAGE.HEADER")) put("smtp.!" + field, value);

  std::string text = expand(kind == kFinal ? "DELIVERY.FINAL" : "DELIVERY.INTERMEDIATE");
  for (const std::string& name : added) vars.DeleteValue(name);
  return text;
}

bool qmsTDeliveryReport::Queue(qmsTSMTPSession& session, const std::string& reversePath,
                               const std::string& text, int64_t nowMs, std::string& name,
                               int& error) {
  qmsTQueueFile report;
  error = 0;
  if (!report.Create(session.QueueDirectory, session.QueueThreadId(), &error)) return false;
  report.Set("HEADER", "ReceivedAt", qmsTDeliveryHeader::FormatStamp(nowMs));
  report.Set("HEADER", "RemoteDomain", session.LocalDomain);
  report.Set("HEADER", "ReversePath", "");
  const Recipients to = ReportRecipients(
      reversePath, [&](const std::string& domain) { return session.IsLocalDomain(domain); });
  report.SetList("LOCAL", "Idents", to.local);
  if (!to.domain.empty()) {
    report.SetList("HEADER", "Domains", {to.domain});
    report.SetList(to.domain, "Idents", {to.ident});
  }
  // Nothing counts as queued before the header has its final name; a failed step
  // leaves no file behind (the object removes what it made).
  if (!report.Flush() || !report.CreateBody() || !report.WriteBody(text) || !report.CloseBody() ||
      !report.Commit()) {
    error = report.LastError();
    report.Discard();
    return false;
  }
  name = report.Name();
  session.Count(mcMailQueued);
  return true;
}

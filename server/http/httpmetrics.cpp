// The metrics page "/!metrics": every service of every group with its state, sessions,
// connection, byte and login counters, the SMTP services' message counters and queue
// length, and the server's uptime and heap, in the text exposition format. The service
// figures are read under each group's service-list lock (qmsTGroup::ServiceStatus).
#include <string>
#include <vector>

#include "server/core/application.h"
#include "server/core/group.h"
#include "server/core/metrics.h"
#include "server/core/service.h"
#include "server/http/httpsession.h"
#include "server/mail/queuefile.h"
#include "toolbox/platform.h"
#include "toolbox/textconfig.h"
#include "toolbox/trace.h"

namespace {

struct ServiceRow {
  std::string group;
  qmsTServiceStatus status;
  int64_t queueLength = -1;  // SMTP services whose queue directory could be listed
};

struct CounterFamily {
  const char* name;
  qmsTCounter counter;
  bool smtpOnly;
  const char* help;
};

constexpr CounterFamily kCounters[] = {
    {"qms32_connections_accepted_total", mcAccepted, false, "Connections accepted and greeted."},
    {"qms32_connections_refused_total", mcRefused, false,
     "Connections refused by address rules or hooks, or for want of a session."},
    {"qms32_received_bytes_total", mcBytesIn, false, "Bytes received from clients."},
    {"qms32_sent_bytes_total", mcBytesOut, false, "Bytes sent to clients."},
    {"qms32_logins_ok_total", mcLoginsOk, false, "Successful logins."},
    {"qms32_logins_failed_total", mcLoginsFailed, false, "Failed logins."},
    {"qms32_smtp_messages_received_total", mcMailReceived, true, "Messages accepted from clients."},
    {"qms32_smtp_messages_queued_total", mcMailQueued, true,
     "Messages put into the mail queue, delivery reports included."},
    {"qms32_smtp_delivered_local_total", mcDeliveredLocal, true,
     "Message copies stored in local mailboxes."},
    {"qms32_smtp_delivered_remote_total", mcDeliveredRemote, true,
     "Message transactions accepted by remote servers."},
    {"qms32_smtp_deferred_total", mcDeferred, true,
     "Delivery attempts that left a message in the queue for a later try."},
    {"qms32_smtp_expired_total", mcExpired, true, "Messages given up after their maximum age."},
};

int64_t QueueLength(qmsTGroup& group, const std::string& section) {
  std::string dir;
  if (!group.Config() || !group.Config()->ReadValue(section, "QueueDirectory", dir) || dir.empty())
    return -1;
  std::vector<jvb::DirEntry> files;
  const int rc =
      jvb::FindFiles(jvb::NativePath(dir), qmsTQueueFile::Mask(qmsTQueueFile::kHeaderSuffix),
                     jvb::faReadOnly | jvb::faArchive, files);
  if (rc != 0 && rc != jvb::kErrFileNotFound) return -1;  // an empty queue finds nothing
  return static_cast<int64_t>(files.size());
}

std::vector<ServiceRow> CollectRows(qmsTApplication& application) {
  std::vector<ServiceRow> rows;
  for (qmsTGroup* g : application.Groups()) {
    for (qmsTServiceStatus& st : g->ServiceStatus()) {
      ServiceRow row{g->Name(), std::move(st)};
      if (row.status.protocol == prSMTP) row.queueLength = QueueLength(*g, row.status.section);
      rows.push_back(std::move(row));
    }
  }
  return rows;
}

qmsTExposition::Labels LabelsOf(const ServiceRow& r) {
  return {{"group", r.group}, {"service", r.status.section}};
}

void WriteServices(qmsTExposition& x, const std::vector<ServiceRow>& rows) {
  x.Family("qms32_service_info", "gauge", "Services by protocol; always 1.");
  for (const ServiceRow& r : rows) {
    auto labels = LabelsOf(r);
    labels.emplace_back("protocol", qmsProtocolInfo(r.status.protocol).name);
    x.Sample("qms32_service_info", labels, 1);
  }
  x.Family("qms32_service_state", "gauge",
           "Service state: 0 allocating, 1 created, 2 running, 3 suspending, 4 suspended, "
           "5 stopping, 6 leaving, 7 released.");
  for (const ServiceRow& r : rows) x.Sample("qms32_service_state", LabelsOf(r), r.status.state);
  x.Family("qms32_sessions_active", "gauge", "Sessions serving a client or a queue scan.");
  for (const ServiceRow& r : rows) x.Sample("qms32_sessions_active", LabelsOf(r), r.status.active);
  x.Family("qms32_sessions_pooled", "gauge", "Sessions waiting in the pool.");
  for (const ServiceRow& r : rows) x.Sample("qms32_sessions_pooled", LabelsOf(r), r.status.pool);
  for (const CounterFamily& f : kCounters) {
    x.Family(f.name, "counter", f.help);
    for (const ServiceRow& r : rows)
      if (!f.smtpOnly || r.status.protocol == prSMTP)
        x.Sample(f.name, LabelsOf(r), static_cast<double>(r.status.counters[f.counter]));
  }
  x.Family("qms32_smtp_queue_length", "gauge", "Messages in the mail queue.");
  for (const ServiceRow& r : rows)
    if (r.queueLength >= 0) x.Sample("qms32_smtp_queue_length", LabelsOf(r), r.queueLength);
}

}  // namespace

std::string qmsMetricsPage(qmsTApplication& application) {
  qmsTExposition x;
  x.Family("qms32_uptime_seconds", "gauge", "Seconds since the server started.");
  x.Sample("qms32_uptime_seconds", {}, application.UptimeSeconds());
  x.Family("qms32_heap_bytes", "gauge", "Heap of the server process (mallinfo2).");
  x.Sample("qms32_heap_bytes", {{"kind", "in_use"}},
           static_cast<double>(jvb::HeapBytesAllocated()));
  x.Sample("qms32_heap_bytes", {{"kind", "free"}}, static_cast<double>(jvb::HeapBytesFree()));
  WriteServices(x, CollectRows(application));
  return x.Text();
}

void qmsTHTTPSession::SendMetrics() {
  jvbTraceScope trace("qmsTHTTPSession.SendMetrics");
  const std::string page = qmsMetricsPage(*Group()->Application());
  ContentType = qmsTExposition::kContentType;
  SendHeader(-1, static_cast<int64_t>(page.size()), 200);
  SendWithBody(page.data(), page.size());
  BytesSent = Request.methodCode == hmHEAD ? 0 : static_cast<int64_t>(page.size());
}

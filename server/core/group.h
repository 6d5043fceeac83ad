// qmsTGroup: a site personality group - a sub-directory of config/ with its own
// configuration "config/<name>/<name>.cfg", user database and services. The unnamed group
// carries the management service and reads "config/qms.cfg". Its service list is guarded
// by the inherited lock; services add and remove themselves from their own threads.
#pragma once

#include <array>
#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "server/core/class.h"
#include "server/core/metrics.h"
#include "server/users/loginthrottle.h"

class qmsTApplication;
class qmsTService;
class qmsTSession;
class qmsTUserDatabase;

// One service's figures as the administration link shows them.
struct qmsTServiceStatus {
  std::string section;
  int protocol = 0, state = 0, pool = 0, active = 0;
  std::array<uint64_t, mcCounterCount> counters{};  // the service's metrics
};

class qmsTGroup : public qmsTClass {
 public:
  qmsTGroup(qmsTApplication* application, const std::string& name);
  ~qmsTGroup() override;

  const std::string& Name() const { return name_; }
  qmsTApplication* Application() const { return application_; }
  qmsTUserDatabase* Users() const { return users_.get(); }
  void SetUsers(std::unique_ptr<qmsTUserDatabase> users);

  // False (and nothing added) when the section is already in the list.
  bool AddService(qmsTService* service);
  bool RemoveService(qmsTService* service);
  // In section-name order. The pointers stay valid only while the caller is the one that
  // stops the services (the main loop); other threads use ServiceStatus.
  std::vector<qmsTService*> Services();
  // Read under the list lock: a service leaves the list before it is freed.
  std::vector<qmsTServiceStatus> ServiceStatus();
  // qmsTService::WithSession over the services of the group, under the list lock.
  bool WithSession(const std::string& key, const std::function<void(qmsTSession&)>& f);
  int ServiceThreads() const { return service_threads_; }
  void ServiceThreadStarted() { ++service_threads_; }
  void ServiceThreadEnded() { --service_threads_; }
  // Failed logins per client address, shared by all services of the group.
  qmsTLoginThrottle& LoginThrottle() { return login_throttle_; }

 private:
  qmsTApplication* application_;
  std::string name_;
  std::unique_ptr<qmsTUserDatabase> users_;
  std::map<std::string, qmsTService*> services_;
  std::atomic<int> service_threads_{0};
  qmsTLoginThrottle login_throttle_;
};

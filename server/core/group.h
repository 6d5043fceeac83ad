// qmsTGroup: a site personality group - a sub-directory of config/ with its own
// configuration "config/<name>/<name>.cfg", user database and services. The unnamed group
// carries the management service and reads "config/qms.cfg". Its service list is guarded
// by the inherited lock; services add and remove themselves from their own threads.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "server/core/class.h"
#include "server/users/loginthrottle.h"

class qmsTApplication;
class qmsTService;
class qmsTUserDatabase;

class qmsTGroup : public qmsTClass {
 public:
  qmsTGroup(qmsTApplication* application, const std::string& name);
  ~qmsTGroup() override;

  const std::string& Name() const { return name_; }
  qmsTApplication* Application() const { return application_; }
  qmsTUserDatabase* Users() const { return users_.get(); }
  void SetUsers(std::unique_ptr<qmsTUserDatabase> users);

  void AddService(qmsTService* service);
  bool RemoveService(qmsTService* service);
  std::vector<qmsTService*> Services();  // in section-name order
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

#include "server/core/group.h"

#include "server/core/service.h"
#include "server/users/userdatabase.h"

qmsTGroup::qmsTGroup(qmsTApplication* application, const std::string& name)
    : application_(application), name_(name) {
  SetConfigFile(name.empty() ? std::string("config/qms.cfg")
                             : "config/" + name + "/" + name + ".cfg");
}

qmsTGroup::~qmsTGroup() = default;

void qmsTGroup::SetUsers(std::unique_ptr<qmsTUserDatabase> users) { users_ = std::move(users); }

bool qmsTGroup::AddService(qmsTService* service) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  return services_.emplace(service->Section(), service).second;
}

bool qmsTGroup::RemoveService(qmsTService* service) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  auto it = services_.find(service->Section());
  if (it == services_.end() || it->second != service) return false;
  services_.erase(it);
  return true;
}

std::vector<qmsTService*> qmsTGroup::Services() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  std::vector<qmsTService*> out;
  for (auto& [name, s] : services_) out.push_back(s);
  return out;
}

std::vector<qmsTServiceStatus> qmsTGroup::ServiceStatus() {
  std::lock_guard<std::recursive_mutex> g(lock_);
  std::vector<qmsTServiceStatus> out;
  for (auto& [name, s] : services_)
    out.push_back({name, s->Protocol(), s->state.load(), s->PoolCount(), s->ActiveCount(),
                   s->Metrics().Snapshot()});
  return out;
}

bool qmsTGroup::WithSession(const std::string& key, const std::function<void(qmsTSession&)>& f) {
  std::lock_guard<std::recursive_mutex> g(lock_);
  for (auto& [name, s] : services_)
    if (s->WithSession(key, f)) return true;
  return false;
}

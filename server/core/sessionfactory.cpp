#include "server/core/sessionfactory.h"

#include <array>
#include <atomic>

namespace {
std::array<std::atomic<qmsTSessionFactory>, 6> g_factories{};
}

void qmsRegisterSession(int protocol, qmsTSessionFactory factory) {
  if (protocol >= 0 && protocol < static_cast<int>(g_factories.size())) g_factories[protocol] = factory;
}

qmsTSessionFactory qmsFindSession(int protocol) {
  if (protocol < 0 || protocol >= static_cast<int>(g_factories.size())) return nullptr;
  return g_factories[protocol].load();
}

void qmsClearSessionFactories() {
  for (auto& f : g_factories) f = nullptr;
}

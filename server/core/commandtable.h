// qmsTCommand and qmsRunCommand: the command table every protocol session dispatches
// through. A session lists its command words, the states in which each may run and the
// handler named after the command; qmsRunCommand finds the word, checks the state and
// runs the handler, or lets the protocol refuse the command in its own words. Handlers
// therefore never repeat the state check.
//
// States are small numbers (a protocol's state enum); an entry names the states it
// accepts as a bit mask built with qmsStates.
//
// Threads: tables are constant; the functions touch nothing but their arguments.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <type_traits>

// Every state: a command the protocol accepts at any point of the dialogue.
inline constexpr uint32_t kAnyState = 0xFFFFFFFFu;

// The mask of the given states (each below 32).
template <class State>
constexpr uint32_t qmsStates(std::initializer_list<State> states) {
  uint32_t mask = 0;
  for (State s : states) mask |= 1u << static_cast<unsigned>(s);
  return mask;
}

// One entry of a command table: the command word (upper case), the states it may run in
// and its handler, a member function of the session taking Args.
template <class Session, class... Args>
struct qmsTCommand {
  const char* word;
  uint32_t states;
  void (Session::*handler)(Args...);

  template <class State>
  bool Allows(State state) const {
    return (states >> static_cast<unsigned>(state)) & 1u;
  }
};

// The entry of word (compared exactly; callers upper-case it), or null.
template <class Session, class... Args, size_t N>
const qmsTCommand<Session, Args...>* qmsFindCommand(const qmsTCommand<Session, Args...> (&table)[N],
                                                    const std::string& word) {
  for (const auto& entry : table)
    if (word == entry.word) return &entry;
  return nullptr;
}

// Runs the entry of word: its handler when the entry allows state, otherwise
// refuse(entry), the protocol's reply for a command out of its state. False when the
// table has no such word; the caller then sends the protocol's unknown-command reply.
template <class Session, class State, class Refuse, class... Args, size_t N>
bool qmsRunCommand(Session& session, const qmsTCommand<Session, Args...> (&table)[N],
                   const std::string& word, State state, Refuse&& refuse,
                   std::type_identity_t<Args>... args) {
  const qmsTCommand<Session, Args...>* entry = qmsFindCommand(table, word);
  if (!entry) return false;
  if (!entry->Allows(state))
    refuse(*entry);
  else
    (session.*(entry->handler))(args...);
  return true;
}

// jvbTDnsQuery: one DNS query through the system resolver (libresolv), its answer kept as a
// list of simple records from which mail delivery picks the exchangers of a domain in
// preference order, the IPv4 address of a host or the canonical name of an alias.
//
// Each object has its own resolver state, so session threads query at once without sharing
// anything; an object itself belongs to one thread. Names are asked for exactly as given
// (no search-domain suffixes). QMS_DNS_SERVER=ip[:port] in the environment, read when the
// object is created, makes the object ask that one server instead of the ones in
// /etc/resolv.conf; a value that cannot be read makes every query fail rather than fall
// back to the system's servers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

inline constexpr const char* kDnsServerVariable = "QMS_DNS_SERVER";

// One resource record of an answer.
struct jvbTDnsResult {
  std::string Name;                         // owner name, up to 255 characters
  uint32_t RecordType = 0;                  // DNS type
  unsigned char Address[4] = {0, 0, 0, 0};  // A: the IPv4 address in network order
  std::string Host;         // NS, MD, MF, CNAME, MB, MG, MR, PTR, MX, AFSDB, RT: target name
  uint16_t Preference = 0;  // MX, AFSDB, RT
};

class jvbTDnsQuery {
 public:
  static constexpr int kTypeA = 1;
  static constexpr int kTypeNS = 2;
  static constexpr int kTypeCNAME = 5;
  static constexpr int kTypePTR = 12;
  static constexpr int kTypeMX = 15;
  static constexpr int kTypeAFSDB = 18;
  static constexpr int kTypeRT = 21;
  static constexpr size_t kMaxName = 255;

  jvbTDnsQuery();
  ~jvbTDnsQuery();
  jvbTDnsQuery(const jvbTDnsQuery&) = delete;
  jvbTDnsQuery& operator=(const jvbTDnsQuery&) = delete;

  // Asks for records of the type (class IN) owned by name (cut to 255 characters). True
  // when the resolver returned an answer with records; they replace earlier results. On
  // failure (no such name, no records of the type, no server answered) the results are empty.
  bool Query(int type, const std::string& name);

  // First A record whose owner is name (ASCII case ignored). hostOrder suits jvbTSocket;
  // octets are in network order. Outputs are untouched when nothing is found.
  bool FindA(const std::string& name, uint32_t& hostOrder) const;
  bool FindA(const std::string& name, unsigned char (&octets)[4]) const;
  // Target of the first CNAME record whose owner is name (ASCII case ignored).
  bool FindCNAME(const std::string& name, std::string& target) const;
  // The index-th mail exchanger (from 0), ascending preference; equal preferences ordered
  // by host name without regard to case. False when index is outside 0 to count-1.
  bool GetMX(int index, std::string& host) const;

  const std::string& Name() const { return name_; }
  int QueryType() const { return type_; }
  const std::vector<jvbTDnsResult>& Results() const { return results_; }
  // Replaces the results by a list built elsewhere (a cached or hand-made answer).
  void SetResults(std::vector<jvbTDnsResult> results) { results_ = std::move(results); }

  // The servers this object asks: how many, and the first as "a.b.c.d:port" (empty when the
  // resolver could not be set up or the first server is not IPv4).
  int ServerCount() const;
  std::string ServerText() const;

  // Reads a whole DNS message and appends every record of its answer, authority and
  // additional sections, in that order. A record whose data cannot be read (a name running
  // out of its record or the message, a compression loop, an A record not 4 bytes long) is
  // left out, as are the records after an unreadable one in the same section. False when
  // the message's header and sections cannot be read at all.
  static bool ParseMessage(const unsigned char* msg, size_t len, std::vector<jvbTDnsResult>& out);
  // "a.b.c.d" or "a.b.c.d:port" (port 1 to 65535; default 53). addressNet in network order.
  static bool ParseServer(const std::string& text, uint32_t& addressNet, uint16_t& port);

 private:
  struct State;
  bool Ready();

  std::unique_ptr<State> state_;
  std::string name_;
  int type_ = 0;
  std::vector<jvbTDnsResult> results_;
};

#include "toolbox/dnsquery.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <resolv.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "toolbox/platform.h"

struct jvbTDnsQuery::State {
  struct __res_state res;
  bool initialised = false;  // res_ninit succeeded: res_nclose is owed
  bool usable = false;       // initialised and the server setting (if any) applied
};

namespace {

// A DNS message over TCP is at most 65535 bytes; a buffer of that size never truncates.
constexpr size_t kAnswerBuffer = 65536;

std::string CutName(const char* text) {
  size_t n = strnlen(text, jvbTDnsQuery::kMaxName);
  return std::string(text, n);
}

// NS, MD, MF, CNAME, MB, MG, MR, PTR: the data is one host name.
bool CarriesHost(uint32_t type) {
  return (type >= 2 && type <= 5) || (type >= 7 && type <= 9) || type == 12;
}

// MX, AFSDB, RT: a 16-bit preference, then a host name.
bool CarriesPreference(uint32_t type) { return type == 15 || type == 18 || type == 21; }

// Expands the name at data into host; it must lie inside its record (data .. data+room).
bool ReadName(const unsigned char* msg, const unsigned char* eom, const unsigned char* data,
              size_t room, std::string& host) {
  char text[NS_MAXDNAME];
  int used = ns_name_uncompress(msg, eom, data, text, sizeof text);
  if (used < 0 || static_cast<size_t>(used) > room) return false;
  text[sizeof text - 1] = '\0';
  host = CutName(text);
  return true;
}

// Fills the record's data from rr; false when the data is malformed for its type.
bool ReadData(const unsigned char* msg, const unsigned char* eom, const ns_rr& rr,
              jvbTDnsResult& r) {
  const unsigned char* data = ns_rr_rdata(rr);
  size_t len = ns_rr_rdlen(rr);
  if (r.RecordType == static_cast<uint32_t>(jvbTDnsQuery::kTypeA)) {
    if (len != 4) return false;
    memcpy(r.Address, data, 4);
    return true;
  }
  if (CarriesHost(r.RecordType)) return ReadName(msg, eom, data, len, r.Host);
  if (CarriesPreference(r.RecordType)) {
    if (len < 3) return false;  // preference and at least the root label
    r.Preference = static_cast<uint16_t>(ns_get16(data));
    return ReadName(msg, eom, data + 2, len - 2, r.Host);
  }
  return true;  // other types keep no data
}

}  // namespace

jvbTDnsQuery::jvbTDnsQuery() : state_(std::make_unique<State>()) {
  memset(&state_->res, 0, sizeof state_->res);
  Ready();
}

jvbTDnsQuery::~jvbTDnsQuery() {
  if (state_->initialised) res_nclose(&state_->res);
}

// Sets up the resolver state once: system configuration, no search domains, and the
// server named in the environment when there is one.
bool jvbTDnsQuery::Ready() {
  State& s = *state_;
  if (s.usable) return true;
  if (s.initialised) return false;  // the server setting was unusable: stay failed
  if (res_ninit(&s.res) != 0) {
    memset(&s.res, 0, sizeof s.res);
    return false;
  }
  s.initialised = true;
  s.res.options &= ~static_cast<unsigned long>(RES_DEFNAMES | RES_DNSRCH);
  const char* server = getenv(kDnsServerVariable);
  if (server != nullptr && *server != '\0') {
    uint32_t addr = 0;
    uint16_t port = 0;
    if (!ParseServer(server, addr, port)) return false;
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = addr;
    sa.sin_port = htons(port);
    s.res.nsaddr_list[0] = sa;
    s.res.nscount = 1;
  }
  s.usable = true;
  return true;
}

bool jvbTDnsQuery::Query(int type, const std::string& name) {
  results_.clear();
  name_ = name.substr(0, kMaxName);
  type_ = type;
  if (type < 0 || type > 0xFFFF) return false;
  if (name_.find('\0') != std::string::npos) return false;  // would ask for another name
  if (!Ready()) return false;
  std::vector<unsigned char> answer(kAnswerBuffer);
  int n = res_nquery(&state_->res, name_.c_str(), ns_c_in, type, answer.data(),
                     static_cast<int>(answer.size()));
  if (n < 0) return false;
  // A truncated answer may report its full length: read only what the buffer holds.
  size_t len = std::min(static_cast<size_t>(n), answer.size());
  std::vector<jvbTDnsResult> list;
  if (!ParseMessage(answer.data(), len, list)) return false;
  results_ = std::move(list);
  return true;
}

bool jvbTDnsQuery::ParseMessage(const unsigned char* msg, size_t len,
                                std::vector<jvbTDnsResult>& out) {
  if (msg == nullptr) return false;
  len = std::min<size_t>(len, 0xFFFF);
  ns_msg handle;
  if (ns_initparse(msg, static_cast<int>(len), &handle) < 0) return false;
  const unsigned char* eom = msg + len;
  for (ns_sect sect : {ns_s_an, ns_s_ns, ns_s_ar}) {
    int count = ns_msg_count(handle, sect);
    for (int i = 0; i < count; ++i) {
      ns_rr rr;
      if (ns_parserr(&handle, sect, i, &rr) < 0) break;
      rr.name[sizeof rr.name - 1] = '\0';
      jvbTDnsResult r;
      r.Name = CutName(ns_rr_name(rr));
      r.RecordType = ns_rr_type(rr);
      if (ReadData(msg, eom, rr, r)) out.push_back(std::move(r));
    }
  }
  return true;
}

bool jvbTDnsQuery::ParseServer(const std::string& text, uint32_t& addressNet, uint16_t& port) {
  std::string host = text;
  unsigned long p = 53;
  size_t colon = text.find(':');
  if (colon != std::string::npos) {
    host = text.substr(0, colon);
    std::string digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 5) return false;
    for (char c : digits)
      if (c < '0' || c > '9') return false;
    p = std::stoul(digits);
    if (p < 1 || p > 0xFFFF) return false;
  }
  in_addr a{};
  if (inet_pton(AF_INET, host.c_str(), &a) != 1) return false;
  addressNet = a.s_addr;
  port = static_cast<uint16_t>(p);
  return true;
}

int jvbTDnsQuery::ServerCount() const { return state_->usable ? state_->res.nscount : 0; }

std::string jvbTDnsQuery::ServerText() const {
  if (!state_->usable || state_->res.nscount < 1) return {};
  const sockaddr_in& sa = state_->res.nsaddr_list[0];
  if (sa.sin_family != AF_INET) return {};
  char addr[INET_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET, &sa.sin_addr, addr, sizeof addr) == nullptr) return {};
  return std::string(addr) + ":" + std::to_string(ntohs(sa.sin_port));
}

bool jvbTDnsQuery::FindA(const std::string& name, unsigned char (&octets)[4]) const {
  for (const auto& r : results_) {
    if (r.RecordType == static_cast<uint32_t>(kTypeA) && jvb::EqualNoCase(r.Name, name)) {
      memcpy(octets, r.Address, 4);
      return true;
    }
  }
  return false;
}

bool jvbTDnsQuery::FindA(const std::string& name, uint32_t& hostOrder) const {
  unsigned char o[4];
  if (!FindA(name, o)) return false;
  hostOrder = (uint32_t{o[0]} << 24) | (uint32_t{o[1]} << 16) | (uint32_t{o[2]} << 8) | o[3];
  return true;
}

bool jvbTDnsQuery::FindCNAME(const std::string& name, std::string& target) const {
  for (const auto& r : results_) {
    if (r.RecordType == static_cast<uint32_t>(kTypeCNAME) && jvb::EqualNoCase(r.Name, name)) {
      target = r.Host;
      return true;
    }
  }
  return false;
}

// The sort key is the preference as four hex digits followed by the host, so fixed-width
// digits keep numeric order and equal preferences fall back to the host name.
bool jvbTDnsQuery::GetMX(int index, std::string& host) const {
  std::vector<std::string> keys;
  for (const auto& r : results_) {
    if (r.RecordType != static_cast<uint32_t>(kTypeMX)) continue;
    char pref[8];
    snprintf(pref, sizeof pref, "%4.4x", static_cast<unsigned>(r.Preference));
    keys.push_back(pref + r.Host);
  }
  if (index < 0 || static_cast<size_t>(index) >= keys.size()) return false;
  std::sort(keys.begin(), keys.end(), [](const std::string& a, const std::string& b) {
    return jvb::CompareNoCase(a, b) < 0;
  });
  host = keys[static_cast<size_t>(index)].substr(4);
  return true;
}
